// ELF32 structures and constants shared by every subsystem, plus the module
// format's own section types and flags.
//
// The structures are packed: the tables of a hostile input may start at any
// byte offset, and every access through these records must stay well defined.
#pragma once

#include <cstdint>
#include <cstring>

#define QDL_PACKED __attribute__((packed))

struct QDL_PACKED Elf32_Ehdr {
    uint8_t e_ident[16];
    uint16_t e_type;
    uint16_t e_machine;
    uint32_t e_version;
    uint32_t e_entry;
    uint32_t e_phoff;
    uint32_t e_shoff;
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;
};

struct QDL_PACKED Elf32_Shdr {
    uint32_t sh_name;
    uint32_t sh_type;
    uint32_t sh_flags;
    uint32_t sh_addr;
    uint32_t sh_offset;
    uint32_t sh_size;
    uint32_t sh_link;
    uint32_t sh_info;
    uint32_t sh_addralign;
    uint32_t sh_entsize;
};

struct QDL_PACKED Elf32_Phdr {
    uint32_t p_type;
    uint32_t p_offset;
    uint32_t p_vaddr;
    uint32_t p_paddr;
    uint32_t p_filesz;
    uint32_t p_memsz;
    uint32_t p_flags;
    uint32_t p_align;
};

struct QDL_PACKED Elf32_Sym {
    uint32_t st_name;
    uint32_t st_value;
    uint32_t st_size;
    uint8_t st_info;
    uint8_t st_other;
    uint16_t st_shndx;
};

struct QDL_PACKED Elf32_Rel {
    uint32_t r_offset;
    uint32_t r_info;
};

struct QDL_PACKED Elf32_Rela {
    uint32_t r_offset;
    uint32_t r_info;
    int32_t r_addend;
};

static_assert(sizeof(Elf32_Ehdr) == 52);
static_assert(sizeof(Elf32_Shdr) == 40);
static_assert(sizeof(Elf32_Phdr) == 32);
static_assert(sizeof(Elf32_Sym) == 16);
static_assert(sizeof(Elf32_Rel) == 8);
static_assert(sizeof(Elf32_Rela) == 12);

// e_ident
constexpr int EI_CLASS = 4;
constexpr int EI_DATA = 5;
constexpr int EI_VERSION = 6;
constexpr int EI_OSABI = 7;
constexpr int EI_ABIVERSION = 8;
constexpr uint8_t ELFCLASS32 = 1;
constexpr uint8_t ELFDATA2LSB = 1;
constexpr uint8_t ELFDATA2MSB = 2;

constexpr uint16_t ET_REL = 1;
constexpr uint16_t EM_PPC = 20;

// Section types
constexpr uint32_t SHT_NULL = 0;
constexpr uint32_t SHT_PROGBITS = 1;
constexpr uint32_t SHT_SYMTAB = 2;
constexpr uint32_t SHT_STRTAB = 3;
constexpr uint32_t SHT_RELA = 4;
constexpr uint32_t SHT_NOBITS = 8;
constexpr uint32_t SHT_REL = 9;

// Module section types
constexpr uint32_t SHT_EXPORT_TABLE = 0x80000001;
constexpr uint32_t SHT_IMPORT_TABLE = 0x80000002;
constexpr uint32_t SHT_SECTION_CRCS = 0x80000003;
constexpr uint32_t SHT_FILE_INFO = 0x80000004;

// Section flags
constexpr uint32_t SHF_WRITE = 0x1;
constexpr uint32_t SHF_ALLOC = 0x2;
constexpr uint32_t SHF_EXECINSTR = 0x4;
constexpr uint32_t SHF_TLS_DATA = 0x04000000;  // thread-local section (input)
constexpr uint32_t SHF_DEFLATED = 0x08000000;  // stored contents are compressed

// Special section indices
constexpr uint16_t SHN_UNDEF = 0;
constexpr uint16_t SHN_LORESERVE = 0xFF00;
constexpr uint16_t SHN_ABS = 0xFFF1;
constexpr uint16_t SHN_COMMON = 0xFFF2;

// Symbol bindings and types
constexpr uint8_t STB_LOCAL = 0;
constexpr uint8_t STB_GLOBAL = 1;
constexpr uint8_t STB_WEAK = 2;
constexpr uint8_t STT_NOTYPE = 0;
constexpr uint8_t STT_OBJECT = 1;
constexpr uint8_t STT_FUNC = 2;
constexpr uint8_t STT_SECTION = 3;
constexpr uint8_t STT_FILE = 4;
constexpr uint8_t STT_COMMON = 5;
constexpr uint8_t STT_TLS = 6;

inline uint8_t symbolBinding(const Elf32_Sym& s) { return s.st_info >> 4; }
inline uint8_t symbolType(const Elf32_Sym& s) { return s.st_info & 0xF; }

// Program header types
constexpr uint32_t PT_NULL = 0;
constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PT_TLS = 7;

// PowerPC relocation types used by the checks
constexpr uint8_t R_PPC_NONE = 0;
constexpr uint8_t R_PPC_ADDR32 = 1;
constexpr uint8_t R_PPC_REL24 = 10;
constexpr uint8_t R_PPC_DTPREL32 = 78;
constexpr uint8_t R_PPC_EMB_SDAI16 = 106;
constexpr uint8_t R_PPC_EMB_SDA2I16 = 107;
constexpr uint8_t R_PPC_EMB_SDA2REL = 108;
constexpr uint8_t R_PPC_EMB_SDA21 = 109;
constexpr uint8_t R_PPC_EMB_RELSDA = 116;
constexpr uint8_t R_PPC_DIAB_SDA21_LO = 180;
constexpr uint8_t R_PPC_DIAB_SDA21_HI = 181;
constexpr uint8_t R_PPC_DIAB_SDA21_HA = 182;
constexpr uint8_t R_PPC_DIAB_RELSDA_LO = 183;
constexpr uint8_t R_PPC_DIAB_RELSDA_HI = 184;
constexpr uint8_t R_PPC_DIAB_RELSDA_HA = 185;

inline uint32_t relocationType(uint32_t r_info) { return r_info & 0xFF; }
inline uint32_t relocationSymbol(uint32_t r_info) { return r_info >> 8; }

// Address ranges of a module
constexpr uint32_t kCodeRangeStart = 0x02000000;
constexpr uint32_t kCodeRangeEnd = 0x0FFFFFFF;
constexpr uint32_t kDataRangeStart = 0x10000000;
constexpr uint32_t kDataRangeEnd = 0xBFFFFFFF;
constexpr uint32_t kLoaderRangeStart = 0xC0000000;
constexpr uint32_t kLoaderRangeEnd = 0xFFFFFFFF;

// Byte order helpers
inline uint16_t byteSwap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t byteSwap32(uint32_t v) { return __builtin_bswap32(v); }

inline uint32_t readBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void writeBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint16_t readBe16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline void writeBe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void writeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// A 32-bit word in the byte order that an image's EI_DATA byte names:
// little-endian when it is 1, big-endian otherwise.
inline uint32_t readWord(const uint8_t* p, bool littleEndian) { return littleEndian ? readLe32(p) : readBe32(p); }
inline void writeWord(uint8_t* p, uint32_t v, bool littleEndian) {
    if (littleEndian)
        writeLe32(p, v);
    else
        writeBe32(p, v);
}

// In-place conversions between the file's byte order and the host's (the
// host is little-endian; a big-endian file is swapped, a little-endian one is
// left alone by the callers).
void swapElfHeader(Elf32_Ehdr& h);
void swapSectionHeader(Elf32_Shdr& s);
void swapProgramHeader(Elf32_Phdr& p);
// The table entries are converted by the hundred thousand: inline.
inline void swapSymbol(Elf32_Sym& s) {
    s.st_name = byteSwap32(s.st_name);
    s.st_value = byteSwap32(s.st_value);
    s.st_size = byteSwap32(s.st_size);
    s.st_shndx = byteSwap16(s.st_shndx);
}

inline void swapRel(Elf32_Rel& r) {
    r.r_offset = byteSwap32(r.r_offset);
    r.r_info = byteSwap32(r.r_info);
}

inline void swapRela(Elf32_Rela& r) {
    r.r_offset = byteSwap32(r.r_offset);
    r.r_info = byteSwap32(r.r_info);
    r.r_addend = int32_t(byteSwap32(uint32_t(r.r_addend)));
}
