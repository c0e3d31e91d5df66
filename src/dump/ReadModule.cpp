#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "dump/DumpRun.h"
#include "dump/ModuleImage.h"

namespace {

// Deflate cannot shrink data by more than about 1032 to 1; a size word that
// claims more than that for its stream is not believed, and all sections
// together may not inflate to more than the whole file could hold.
constexpr uint64_t kMaxInflateRatio = 1032;
constexpr uint64_t kInflateSlack = 1 << 20;

Region regionOf(const Elf32_Shdr& h) {
    if (h.sh_type == SHT_SECTION_CRCS) return Region::crcs;
    if (h.sh_type == SHT_FILE_INFO) return Region::fileInfo;
    if (h.sh_type == SHT_NULL && h.sh_size == 0) return Region::none;
    const bool alloc = h.sh_flags & SHF_ALLOC, exec = h.sh_flags & SHF_EXECINSTR;
    const bool table = h.sh_type == SHT_EXPORT_TABLE || h.sh_type == SHT_IMPORT_TABLE;
    // In the order of the builder's placement passes: LOAD takes the tables and
    // anything at loader addresses before TEXT takes the code.
    if (alloc && (table || h.sh_addr >= kLoaderRangeStart)) return Region::load;
    if (alloc && exec) return Region::text;
    if (alloc) return Region::data;
    return Region::temp;
}

void note(ModuleImage& m, std::string where, std::string what) {
    m.findings.push_back({std::move(where), std::move(what)});
}

// The headers in host order, converted as the tool's reader converts them.
Elf32_Ehdr readHeader(const ModuleImage& m) {
    Elf32_Ehdr h;
    memcpy(&h, m.bytes.data(), sizeof h);
    if (!m.littleEndian) swapElfHeader(h);
    return h;
}

Elf32_Shdr readSectionHeader(const ModuleImage& m, const uint8_t* p) {
    Elf32_Shdr h;
    memcpy(&h, p, sizeof h);
    if (!m.littleEndian) swapSectionHeader(h);
    return h;
}

bool readSectionTable(ModuleImage& m) {
    const Elf32_Ehdr& h = m.header;
    if (h.e_shentsize != sizeof(Elf32_Shdr)) {
        note(m, "ELF header", "e_shentsize is " + std::to_string(h.e_shentsize) + ", not 40");
        return false;
    }
    if (h.e_shnum == 0) {
        note(m, "ELF header", "e_shnum is 0: the module has no section table");
        return false;
    }
    const uint64_t end = uint64_t(h.e_shoff) + uint64_t(h.e_shnum) * sizeof(Elf32_Shdr);
    if (end > m.bytes.size()) {
        note(m, "section table", std::to_string(h.e_shnum) + " headers at " + hex32(h.e_shoff) +
                                     " run past the end of the file (" + std::to_string(m.bytes.size()) +
                                     " bytes)");
        return false;
    }
    m.sections.resize(h.e_shnum);
    for (uint32_t i = 0; i < h.e_shnum; ++i) {
        ModuleSection& s = m.sections[i];
        s.index = i;
        s.header = readSectionHeader(m, m.bytes.data() + h.e_shoff + size_t(i) * sizeof(Elf32_Shdr));
        s.region = i == 0 ? Region::none : regionOf(s.header);
        s.compressed = s.header.sh_flags & SHF_DEFLATED;
        s.hasFileBytes = s.header.sh_type != SHT_NOBITS && s.header.sh_size != 0 && s.header.sh_offset != 0;
        s.insideFile = s.hasFileBytes && uint64_t(s.header.sh_offset) + s.header.sh_size <= m.bytes.size();
    }
    return true;
}

void inflateSection(ModuleImage& m, ModuleSection& s, uint64_t& budget) {
    const ByteSpan stored = storedBytes(m, s);
    const std::string where = sectionLabel(s);
    if (stored.size() < 6) {
        note(m, where, "compressed contents of " + std::to_string(stored.size()) +
                           " bytes are too short for a size word and a zlib stream");
        return;
    }
    s.sizeWord = readBe32(stored.data());
    const uint64_t stream = stored.size() - 4;
    if (s.sizeWord > stream * kMaxInflateRatio + 64) {
        note(m, where, "size word " + std::to_string(s.sizeWord) + " is more than a " + std::to_string(stream) +
                           "-byte zlib stream can inflate to");
        return;
    }
    if (s.sizeWord > budget) {
        note(m, where, "not inflated: the sections together inflate to more than the file can hold");
        return;
    }
    budget -= s.sizeWord;
    s.inflated.resize(s.sizeWord);
    uLongf produced = s.sizeWord;
    uLong consumed = uLong(stream);
    // A zero-length destination is still a valid buffer for zlib.
    uint8_t spare = 0;
    const int status = uncompress2(s.sizeWord ? s.inflated.data() : &spare, &produced, stored.data() + 4, &consumed);
    if (status == Z_OK && produced == s.sizeWord && consumed == stream) {
        s.contentsKnown = true;
        return;
    }
    if (status == Z_OK && produced != s.sizeWord)
        note(m, where, "inflates to " + std::to_string(produced) + " bytes, its size word says " +
                           std::to_string(s.sizeWord));
    else if (status == Z_OK)
        note(m, where, std::to_string(stream - consumed) + " bytes follow the end of its zlib stream");
    else if (status == Z_BUF_ERROR && produced == s.sizeWord)
        note(m, where, "inflates to more than its size word " + std::to_string(s.sizeWord) +
                           " (or its zlib stream is cut short)");
    else if (status == Z_BUF_ERROR)
        note(m, where, "zlib stream is cut short");
    else
        note(m, where, std::string("zlib stream is corrupt (") + (status == Z_DATA_ERROR ? "data error" : "error " + std::to_string(status)) + ")");
    s.inflated.clear();
    s.inflated.shrink_to_fit();
}

void inflateOne(ModuleImage& m, ModuleSection& s, uint64_t& budget) {
    if (!s.insideFile || s.contentsKnown) return;
    if (s.compressed)
        inflateSection(m, s, budget);
    else
        s.contentsKnown = true;
}

void readNames(ModuleImage& m) {
    const uint32_t table = m.header.e_shstrndx;
    if (table == 0 || table >= m.sections.size()) return;
    const ByteSpan names = sectionContents(m, m.sections[table]);
    for (ModuleSection& s : m.sections) {
        if (s.index == 0 || s.header.sh_name >= names.size()) continue;
        const uint8_t* start = names.data() + s.header.sh_name;
        const void* nul = memchr(start, 0, names.size() - s.header.sh_name);
        const size_t length = nul ? size_t(static_cast<const uint8_t*>(nul) - start) : names.size() - s.header.sh_name;
        s.name.assign(reinterpret_cast<const char*>(start), length);
    }
}

const ModuleSection* firstOfType(const ModuleImage& m, uint32_t type) {
    for (const ModuleSection& s : m.sections)
        if (s.index != 0 && s.header.sh_type == type) return &s;
    return nullptr;
}

void readCrcs(ModuleImage& m) {
    const ModuleSection* table = firstOfType(m, SHT_SECTION_CRCS);
    if (!table) {
        note(m, "CRCs", "the module has no CRC section");
        return;
    }
    const ByteSpan words = sectionContents(m, *table);
    if (words.size() < 4 * m.sections.size())
        note(m, sectionLabel(*table), "holds " + std::to_string(words.size() / 4) + " CRCs for " +
                                          std::to_string(m.sections.size()) + " sections");
    const size_t count = std::min(words.size() / 4, m.sections.size());
    for (size_t i = 0; i < count; ++i) m.crcs.push_back(readBe32(words.data() + 4 * i));
    for (ModuleSection& s : m.sections) {
        if (s.index >= m.crcs.size()) break;
        s.storedCrc = m.crcs[s.index];
        if (s.region == Region::crcs || !s.contentsKnown) continue;
        const ByteSpan contents = sectionContents(m, s);
        s.computedCrc = uint32_t(crc32(0, contents.data(), uInt(contents.size())));
        s.crcChecked = true;
    }
}

}  // namespace

const char* regionName(Region region) {
    switch (region) {
        case Region::data: return "DATA";
        case Region::load: return "LOAD";
        case Region::text: return "TEXT";
        case Region::temp: return "TEMP";
        case Region::crcs: return "CRCS";
        case Region::fileInfo: return "FILEINFO";
        case Region::none: break;
    }
    return "-";
}

std::string hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string sectionLabel(const ModuleSection& section) {
    return "section " + std::to_string(section.index) + " \"" + section.name + "\"";
}

bool looksLikeElf(ByteSpan bytes) {
    return bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F';
}

bool looksLikeModule(ByteSpan bytes) {
    if (!looksLikeElf(bytes) || bytes.size() < sizeof(Elf32_Ehdr)) return false;
    const bool little = bytes[EI_DATA] == ELFDATA2LSB;
    const uint16_t type = little ? uint16_t(bytes[16] | bytes[17] << 8) : uint16_t(bytes[16] << 8 | bytes[17]);
    return bytes[EI_OSABI] == kModuleOsAbi || type == kModuleType;
}

ByteSpan storedBytes(const ModuleImage& module, const ModuleSection& section) {
    if (!section.insideFile) return {};
    return module.bytes.subspan(section.header.sh_offset, section.header.sh_size);
}

ByteSpan sectionContents(const ModuleImage& module, const ModuleSection& section) {
    if (!section.contentsKnown) return {};
    if (section.compressed) return ByteSpan(section.inflated);
    return storedBytes(module, section);
}

int32_t readModule(ModuleImage& m) {
    if (!looksLikeElf(m.bytes) || m.bytes.size() < sizeof(Elf32_Ehdr)) {
        note(m, "file", "not an ELF file (no ELF header)");
        return kDumpFindings;
    }
    if (m.bytes[EI_CLASS] != ELFCLASS32) {
        note(m, "ELF header", "EI_CLASS is " + std::to_string(m.bytes[EI_CLASS]) + ", not 1 (ELF32)");
        return kDumpFindings;
    }
    // Any encoding byte but 1 means big-endian, to the builder (which copies
    // the input's byte) and to the loader alike, so no value is a problem.
    m.littleEndian = m.bytes[EI_DATA] == ELFDATA2LSB;
    m.header = readHeader(m);
    if (!readSectionTable(m)) return kDumpFindings;
    m.tableRead = true;
    // The section-name table first, so that what inflation finds in the
    // other sections is said with their names.
    uint64_t budget = uint64_t(m.bytes.size()) * kMaxInflateRatio + kInflateSlack;
    if (m.header.e_shstrndx < m.sections.size()) inflateOne(m, m.sections[m.header.e_shstrndx], budget);
    readNames(m);
    for (ModuleSection& s : m.sections) inflateOne(m, s, budget);
    readCrcs(m);
    if (const ModuleSection* info = firstOfType(m, SHT_FILE_INFO)) {
        if (!info->contentsKnown)
            note(m, sectionLabel(*info), "FileInfo contents lie outside the file or cannot be inflated");
        else
            decodeFileInfo(sectionContents(m, *info), m.info, m.findings);
    } else {
        note(m, "FileInfo", "the module has no FileInfo section");
    }
    return kDumpOk;
}
