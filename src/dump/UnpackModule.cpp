// Unpacking: the module as an ordinary ELF32 file of its byte order, every
// section inflated and no longer marked compressed, so that the GNU tools
// read it. Section headers, names, symbols and relocations are kept as they
// are; the CRC and FileInfo sections stay as sections of their own types.
#include <algorithm>
#include <cstring>

#include "dump/CheckModule.h"
#include "dump/Modes.h"

namespace {

constexpr uint16_t ET_EXEC = 2;

uint64_t alignUp(uint64_t value, uint64_t to) { return (value + to - 1) / to * to; }

void putHalf(std::vector<uint8_t>& out, size_t at, uint16_t v, bool little) {
    out[at] = uint8_t(little ? v : v >> 8);
    out[at + 1] = uint8_t(little ? v >> 8 : v);
}

void putHeader(std::vector<uint8_t>& out, const ModuleImage& m, uint32_t shoff) {
    const bool little = m.littleEndian;
    memcpy(out.data(), m.header.e_ident, 16);
    out[EI_OSABI] = 0;
    out[EI_ABIVERSION] = 0;
    putHalf(out, 16, ET_EXEC, little);
    putHalf(out, 18, m.header.e_machine, little);
    writeWord(out.data() + 20, m.header.e_version, little);
    writeWord(out.data() + 24, m.header.e_entry, little);
    writeWord(out.data() + 32, shoff, little);
    putHalf(out, 40, sizeof(Elf32_Ehdr), little);
    putHalf(out, 46, sizeof(Elf32_Shdr), little);
    putHalf(out, 48, uint16_t(m.sections.size()), little);
    putHalf(out, 50, m.header.e_shstrndx, little);
}

void putSectionHeader(std::vector<uint8_t>& out, size_t at, const Elf32_Shdr& h, bool little) {
    const uint32_t fields[10] = {h.sh_name, h.sh_type,  h.sh_flags, h.sh_addr,      h.sh_offset,
                                 h.sh_size, h.sh_link, h.sh_info,  h.sh_addralign, h.sh_entsize};
    for (int k = 0; k < 10; ++k) writeWord(out.data() + at + 4 * k, fields[k], little);
}

// GNU tools refuse a symbol table whose sh_info (the first global symbol)
// lies beyond its symbols; the module builder keeps the input's value after
// shrinking the table, so the unpacked file gets the real first global.
void fixFirstGlobal(const ModuleImage& m, const ModuleSection& s, Elf32_Shdr& h) {
    const ByteSpan entries = sectionContents(m, s);
    const uint32_t count = uint32_t(entries.size() / sizeof(Elf32_Sym));
    if (h.sh_type != SHT_SYMTAB || h.sh_info <= count) return;
    uint32_t first = 1;
    while (first < count && (entries[first * sizeof(Elf32_Sym) + 12] >> 4) == STB_LOCAL) ++first;
    h.sh_info = std::min(first, count);
}

}  // namespace

// Builds the unpacked file; sections whose contents cannot be read are
// written empty and counted in `missing`.
std::vector<uint8_t> unpackModule(const ModuleImage& m, std::vector<const ModuleSection*>& missing) {
    std::vector<Elf32_Shdr> headers;
    uint64_t offset = 64;
    for (const ModuleSection& s : m.sections) {
        Elf32_Shdr h = s.header;
        h.sh_flags &= ~SHF_DEFLATED;
        if (s.index != 0 && h.sh_type != SHT_NOBITS && h.sh_size != 0) {
            if (!s.contentsKnown) missing.push_back(&s);
            h.sh_size = uint32_t(sectionContents(m, s).size());
            h.sh_offset = uint32_t(offset);
            offset = alignUp(offset + h.sh_size, 64);
            fixFirstGlobal(m, s, h);
        } else if (s.index != 0) {
            h.sh_offset = uint32_t(offset);
        }
        headers.push_back(h);
    }
    const uint64_t shoff = offset;
    std::vector<uint8_t> out(shoff + headers.size() * sizeof(Elf32_Shdr));
    putHeader(out, m, uint32_t(shoff));
    for (const ModuleSection& s : m.sections) {
        const ByteSpan contents = sectionContents(m, s);
        if (s.index != 0 && s.header.sh_type != SHT_NOBITS && !contents.empty())
            memcpy(out.data() + headers[s.index].sh_offset, contents.data(), contents.size());
        putSectionHeader(out, shoff + s.index * sizeof(Elf32_Shdr), headers[s.index], m.littleEndian);
    }
    return out;
}

int32_t unpackMode(DumpRun& run, const ModuleImage& m) {
    std::vector<const ModuleSection*> missing;
    const std::vector<uint8_t> file = unpackModule(m, missing);
    if (file.size() > 0xFFFFFFFFull) {
        dumpPrint(run, "qdldump: the unpacked module would be larger than 4 GiB\n");
        return kDumpFailed;
    }
    for (const ModuleSection* s : missing)
        dumpPrint(run, "qdldump: %s: contents cannot be read or inflated; written empty\n", sectionLabel(*s).c_str());
    const int32_t result = writeOutputFile(run, run.options.outputPath, file);
    if (result != kDumpOk) return result;
    dumpPrint(run, "%s: %zu sections unpacked, %zu bytes\n", run.options.outputPath.c_str(), m.sections.size(),
              file.size());
    return missing.empty() ? kDumpOk : kDumpFindings;
}
