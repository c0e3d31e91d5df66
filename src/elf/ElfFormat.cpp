#include "elf/ElfFormat.h"

void swapElfHeader(Elf32_Ehdr& h) {
    h.e_type = byteSwap16(h.e_type);
    h.e_machine = byteSwap16(h.e_machine);
    h.e_version = byteSwap32(h.e_version);
    h.e_entry = byteSwap32(h.e_entry);
    h.e_phoff = byteSwap32(h.e_phoff);
    h.e_shoff = byteSwap32(h.e_shoff);
    h.e_flags = byteSwap32(h.e_flags);
    h.e_ehsize = byteSwap16(h.e_ehsize);
    h.e_phentsize = byteSwap16(h.e_phentsize);
    h.e_phnum = byteSwap16(h.e_phnum);
    h.e_shentsize = byteSwap16(h.e_shentsize);
    h.e_shnum = byteSwap16(h.e_shnum);
    h.e_shstrndx = byteSwap16(h.e_shstrndx);
}

void swapSectionHeader(Elf32_Shdr& s) {
    s.sh_name = byteSwap32(s.sh_name);
    s.sh_type = byteSwap32(s.sh_type);
    s.sh_flags = byteSwap32(s.sh_flags);
    s.sh_addr = byteSwap32(s.sh_addr);
    s.sh_offset = byteSwap32(s.sh_offset);
    s.sh_size = byteSwap32(s.sh_size);
    s.sh_link = byteSwap32(s.sh_link);
    s.sh_info = byteSwap32(s.sh_info);
    s.sh_addralign = byteSwap32(s.sh_addralign);
    s.sh_entsize = byteSwap32(s.sh_entsize);
}

void swapProgramHeader(Elf32_Phdr& p) {
    p.p_type = byteSwap32(p.p_type);
    p.p_offset = byteSwap32(p.p_offset);
    p.p_vaddr = byteSwap32(p.p_vaddr);
    p.p_paddr = byteSwap32(p.p_paddr);
    p.p_filesz = byteSwap32(p.p_filesz);
    p.p_memsz = byteSwap32(p.p_memsz);
    p.p_flags = byteSwap32(p.p_flags);
    p.p_align = byteSwap32(p.p_align);
}
