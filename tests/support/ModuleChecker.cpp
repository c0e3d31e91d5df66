#include "ModuleChecker.h"

#include "dump/CheckModule.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

struct Reader {
    const std::vector<uint8_t>& bytes;
    bool little;
    uint32_t u32(size_t at) const {
        if (at + 4 > bytes.size()) return 0;
        const uint8_t* p = &bytes[at];
        return little ? (p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24)
                      : (uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
    }
    uint16_t u16(size_t at) const {
        if (at + 2 > bytes.size()) return 0;
        return little ? uint16_t(bytes[at] | bytes[at + 1] << 8) : uint16_t(bytes[at] << 8 | bytes[at + 1]);
    }
};

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

std::string hex(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

enum Group { groupData = 0, groupLoad = 1, groupText = 2, groupTemp = 3 };

// Reads a NUL-terminated string at `at`; false when it runs past the end.
bool cString(const std::vector<uint8_t>& bytes, size_t at, std::string& text) {
    text.clear();
    for (size_t k = at; k < bytes.size(); ++k) {
        if (bytes[k] == 0) return true;
        text += char(bytes[k]);
    }
    return false;
}

template <typename Fail>
void decodeFileInfo(CheckedModule& module, Fail fail) {
    const std::vector<uint8_t>& record = module.fileInfo;
    DecodedFileInfo& d = module.info;
    if (record.size() < 0x61) {
        fail("FileInfo shorter than 97 bytes");
        return;
    }
    auto w = [&](uint32_t at) { return be32(&record[at]); };
    d.magic = w(0x00);
    d.textSize = w(0x04);
    d.textAlign = w(0x08);
    d.dataSize = w(0x0C);
    d.dataAlign = w(0x10);
    d.loadSize = w(0x14);
    d.loadAlign = w(0x18);
    d.tempSize = w(0x1C);
    d.trampAdj = w(0x20);
    d.sdaBase = w(0x24);
    d.sda2Base = w(0x28);
    d.stackSize = w(0x2C);
    d.pathOffset = w(0x30);
    d.flags = w(0x34);
    d.heapSize = w(0x38);
    d.tagsOffset = w(0x3C);
    d.constant = w(0x40);
    d.compressionLevel = w(0x44);
    d.trampGrowth = w(0x48);
    d.trailerSize = w(0x4C);
    d.sdkVersion = w(0x50);
    d.sdkRevision = w(0x54);
    d.reserved = uint16_t(record[0x58] << 8 | record[0x59]);
    d.tlsAlignLog2 = uint16_t(record[0x5A] << 8 | record[0x5B]);
    d.requestedSize = w(0x5C);

    if (d.magic != 0xB71E0402) fail("FileInfo magic is wrong");
    if (d.pathOffset != 0x60) fail("FileInfo path offset is not 0x60");
    if (d.constant != 0x5078) fail("FileInfo word at 0x40 is not 0x5078");
    if (d.reserved != 0) fail("FileInfo reserved half-word is not 0");
    if (d.flags & ~0xBu) fail("FileInfo flags hold unknown bits " + hex(d.flags));
    if (!(d.flags & 8) && d.tlsAlignLog2 != 0) fail("FileInfo TLS alignment without the TLS flag");
    if (d.heapSize < 0x8000) fail("FileInfo heap size below 0x8000");
    if (d.stackSize == 0) fail("FileInfo stack size is 0");
    if (d.sdaBase == 0 || d.sda2Base == 0) fail("FileInfo small-data base is 0");
    if (d.compressionLevel != 0xFFFFFFFF && (d.compressionLevel < 1 || d.compressionLevel > 9))
        fail("FileInfo compression level " + hex(d.compressionLevel));
    if (d.requestedSize != 0 && d.requestedSize < 96) fail("FileInfo requested size below 96");
    // A region's alignment is the largest sh_addralign of its sections, at
    // least 4; hostile inputs may give any value, so only the bound is checked.
    for (uint32_t align : {d.textAlign, d.dataAlign, d.loadAlign})
        if (align < 4) fail("FileInfo region alignment " + hex(align) + " is below 4");
    {
        const uint32_t trailer = (uint32_t(record.size()) - 96 + d.loadAlign - 1) & ~(d.loadAlign - 1);
        if (d.trailerSize != trailer) fail("FileInfo trailer size " + hex(d.trailerSize) + ", expected " + hex(trailer));
    }
    if (d.textSize == 0 && d.trampAdj != 0) fail("FileInfo TrampAdj without code");

    size_t end = 0x60;
    if (!cString(record, 0x60, d.path)) {
        fail("FileInfo path is not terminated");
        return;
    }
    end = 0x60 + d.path.size() + 1;
    if (d.tagsOffset != 0) {
        if (d.tagsOffset != end) fail("FileInfo tags do not follow the path directly");
        size_t at = d.tagsOffset;
        while (at < record.size() && record[at] != 0) {
            std::string name, value;
            if (!cString(record, at, name) || !cString(record, at + name.size() + 1, value)) {
                fail("FileInfo tag runs past the record");
                return;
            }
            d.tags.emplace_back(name, value);
            at += name.size() + value.size() + 2;
        }
        if (at + 3 > record.size()) {
            fail("FileInfo tags area lacks its three closing zero bytes");
            return;
        }
        end = at + 3;
    }
    for (size_t k = end; k < record.size(); ++k)
        if (record[k] != 0) {
            fail("FileInfo byte " + hex(uint32_t(k)) + " behind the strings is not zero");
            break;
        }
}

}  // namespace

uint32_t CheckedModule::fileInfoWord(uint32_t offset) const {
    if (offset + 4 > fileInfo.size()) return 0;
    return be32(&fileInfo[offset]);
}

std::string CheckedModule::sectionName(size_t index) const {
    if (shstrndx == 0 || shstrndx >= sections.size() || index >= sections.size()) return "";
    const std::vector<uint8_t>& names = sections[shstrndx].contents;
    std::string name;
    for (size_t k = sections[index].name; k < names.size() && names[k]; ++k) name += char(names[k]);
    return name;
}

int CheckedModule::findSection(const std::string& name) const {
    for (size_t i = 1; i < sections.size(); ++i)
        if (sectionName(i) == name) return int(i);
    return -1;
}

std::vector<std::string> checkModule(const std::vector<uint8_t>& bytes, CheckedModule& module) {
    std::vector<std::string> problems;
    auto fail = [&](const std::string& text) { problems.push_back(text); };
    if (bytes.size() < 0x40 || bytes[0] != 0x7F || bytes[1] != 'E' || bytes[2] != 'L' || bytes[3] != 'F') {
        fail("not an ELF file");
        return problems;
    }
    module.littleEndian = bytes[5] == 1;
    Reader r{bytes, module.littleEndian};
    module.fileLength = bytes.size();
    module.elfHeader.assign(bytes.begin(), bytes.begin() + 52);
    // EI_CLASS, EI_DATA and EI_VERSION are the input's (compareWithInput).
    if (bytes[7] != 0xB7) fail("EI_OSABI is not 0xB7");
    if (bytes[8] != 0x1E) fail("EI_ABIVERSION is not 0x1E");
    module.type = r.u16(16);
    if (module.type != 0xFE01) fail("e_type is not 0xFE01");
    if (r.u32(28) != 0) fail("e_phoff is not 0");
    if (r.u32(32) != 0x40) fail("e_shoff is not 0x40");
    if (r.u32(36) != 0) fail("e_flags is not 0");
    if (r.u16(40) != 52) fail("e_ehsize is not 52");
    if (r.u16(42) != 0 || r.u16(44) != 0) fail("program header fields are not 0");
    for (size_t k = 52; k < 64; ++k)
        if (bytes[k]) fail("byte " + std::to_string(k) + " behind the ELF header is not zero");
    if (r.u16(46) != 40) fail("e_shentsize is not 40");
    const uint32_t n = r.u16(48);
    module.shstrndx = r.u16(50);
    if (bytes.size() % 64) fail("file length is not a multiple of 64");
    if (n < 3 || 0x40 + 44ull * n > bytes.size()) {
        fail("section count " + std::to_string(n) + " does not fit");
        return problems;
    }
    module.sections.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        CheckedSection& s = module.sections[i];
        const size_t at = 0x40 + size_t(i) * 40;
        s.name = r.u32(at);
        s.type = r.u32(at + 4);
        s.flags = r.u32(at + 8);
        s.addr = r.u32(at + 12);
        s.offset = r.u32(at + 16);
        s.size = r.u32(at + 20);
        s.link = r.u32(at + 24);
        s.info = r.u32(at + 28);
        s.align = r.u32(at + 32);
        s.entsize = r.u32(at + 36);
    }
    for (size_t k = 0; k < 40; ++k)
        if (bytes[0x40 + k]) fail("section header 0 is not all zero");
    const CheckedSection& crcs = module.sections[n - 2];
    const CheckedSection& info = module.sections[n - 1];
    if (crcs.type != 0x80000003 || crcs.offset != 0x40 + 40 * n || crcs.size != 4 * n || crcs.align != 4 ||
        crcs.entsize != 4)
        fail("CRCs section header is not as written by the tool");
    const uint32_t infoOffset = (0x40 + 44 * n + 63) & ~63u;
    if (info.type != 0x80000004 || info.offset != infoOffset || info.align != 4)
        fail("FileInfo section header is not as written by the tool");
    if (uint64_t(info.offset) + info.size > bytes.size()) {
        fail("FileInfo runs past the end");
        return problems;
    }
    module.fileInfo.assign(bytes.begin() + info.offset, bytes.begin() + info.offset + info.size);
    decodeFileInfo(module, fail);
    for (uint32_t i = 0; i < n; ++i) module.crcs.push_back(be32(&bytes[crcs.offset + 4 * i]));
    if (module.crcs[0] != 0) fail("CRC 0 is not 0");
    if (module.crcs[n - 2] != 0) fail("the CRC of the CRCs section is not 0");
    if (module.crcs[n - 1] != uint32_t(crc32(0, module.fileInfo.data(), uInt(module.fileInfo.size()))))
        fail("FileInfo CRC is wrong");

    struct Placed {
        uint32_t offset, end, index;
        int group;
    };
    std::vector<Placed> placed;
    for (uint32_t i = 1; i + 2 < n; ++i) {
        CheckedSection& s = module.sections[i];
        const std::string what = "section " + std::to_string(i);
        if (s.type == 8) {
            if (s.offset != 0) fail(what + ": NOBITS with an offset");
            if (module.crcs[i] != 0) fail(what + ": NOBITS with a CRC");
            continue;
        }
        if (s.size == 0 || s.offset == 0) {
            if (module.crcs[i] != 0) fail(what + ": not placed, yet with a CRC");
            continue;
        }
        if (s.offset % 64) fail(what + ": offset " + hex(s.offset) + " not on a 64-byte boundary");
        if (uint64_t(s.offset) + s.size > bytes.size()) {
            fail(what + ": runs past the end");
            continue;
        }
        const bool exec = s.flags & 4, alloc = s.flags & 2;
        const bool table = s.type == 0x80000001 || s.type == 0x80000002;
        int group = groupTemp;
        if (alloc && exec && !table) group = groupText;
        else if (alloc && (table || s.addr >= 0xC0000000)) group = groupLoad;
        else if (alloc) group = groupData;
        if (group == groupData && !(s.flags & 1)) fail(what + ": DATA section without SHF_WRITE");
        placed.push_back({s.offset, uint32_t((uint64_t(s.offset) + s.size + 63) & ~uint64_t(63)), i, group});
        std::vector<uint8_t> stored(bytes.begin() + s.offset, bytes.begin() + s.offset + s.size);
        if (s.flags & 0x08000000) {
            if (stored.size() < 6) {
                fail(what + ": compressed contents too short");
                continue;
            }
            uLongf length = be32(stored.data());
            s.contents.resize(length);
            const int status = uncompress(s.contents.data(), &length, stored.data() + 4, uLong(stored.size() - 4));
            if (status != Z_OK || length != s.contents.size()) fail(what + ": does not inflate to its stated size");
            if (stored.size() >= s.contents.size()) fail(what + ": compressed but not smaller");
        } else {
            s.contents = std::move(stored);
        }
        if (module.crcs[i] != uint32_t(crc32(0, s.contents.data(), uInt(s.contents.size()))))
            fail(what + ": CRC is wrong");
    }
    std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) { return a.offset < b.offset; });
    uint32_t lastEnd = (info.offset + info.size + 63) & ~63u;
    int lastGroup = groupData;
    uint32_t lastIndex = 0;
    for (const Placed& p : placed) {
        const std::string what = "section " + std::to_string(p.index);
        if (p.group < lastGroup) fail(what + ": out of the DATA, LOAD, TEXT, TEMP order");
        if (p.group == lastGroup && p.index < lastIndex) fail(what + ": out of index order in its group");
        if (p.offset < lastEnd) fail(what + ": overlaps what lies before it");
        lastGroup = p.group;
        lastIndex = p.index;
        lastEnd = p.end;
    }
    module.expectedLength = lastEnd;
    if (lastEnd > bytes.size())
        fail("file length " + std::to_string(bytes.size()) + " does not end behind the last section");
    // Every module a test checks must also pass qdldump's check. A section
    // that runs past 4 GiB is the input's fault, and the builder writes it as
    // it is told (its region ends wrap), so qdldump's naming of it is expected.
    // So is its naming of a LOAD size or alignment that misses an export
    // table below the loader range: the builder places such a table with LOAD
    // by its type but counts it in DATA by its address, as it is specified to.
    const bool exportBelowLoaderRange = std::any_of(module.sections.begin(), module.sections.end(), [](const CheckedSection& s) {
        return s.type == SHT_EXPORT_TABLE && (s.flags & SHF_ALLOC) && s.size != 0 && s.addr < kLoaderRangeStart;
    });
    CheckRules rules;
    rules.regionSizes = !module.regionsSetByHand && !module.sizesChangedAfterPlacement;
    rules.passesFromSizes = !module.sizesChangedAfterPlacement;
    for (const Finding& finding : checkModuleBytes(bytes, rules)) {
        if (finding.what.ends_with("run past the end of the 32-bit address space")) continue;
        if (exportBelowLoaderRange && finding.where == "FileInfo LOAD") continue;
        fail("qdldump --check: " + findingLine(finding));
    }
    return problems;
}

std::vector<CheckedSymbol> CheckedModule::symbols() const {
    std::vector<CheckedSymbol> result;
    for (const CheckedSection& table : sections) {
        if (table.type != 2) continue;
        const std::vector<uint8_t>* strings = table.link < sections.size() ? &sections[table.link].contents : nullptr;
        Reader r{table.contents, littleEndian};
        for (size_t at = 0; at + 16 <= table.contents.size(); at += 16) {
            CheckedSymbol symbol;
            const uint32_t name = r.u32(at);
            symbol.value = r.u32(at + 4);
            symbol.size = r.u32(at + 8);
            symbol.info = table.contents[at + 12];
            symbol.other = table.contents[at + 13];
            symbol.shndx = r.u16(at + 14);
            if (strings) cString(*strings, name, symbol.name);
            result.push_back(symbol);
        }
        break;
    }
    return result;
}

std::vector<CheckedRelocation> CheckedModule::relocations(size_t index) const {
    std::vector<CheckedRelocation> result;
    if (index >= sections.size() || sections[index].type != 4) return result;
    const std::vector<uint8_t>& entries = sections[index].contents;
    Reader r{entries, littleEndian};
    for (size_t at = 0; at + 12 <= entries.size(); at += 12)
        result.push_back({r.u32(at), r.u32(at + 4), int32_t(r.u32(at + 8))});
    return result;
}

namespace {

bool inputSectionsShareBytes(const std::vector<uint8_t>& input) {
    if (input.size() < 52) return false;
    const Reader r{input, input[5] == 1};
    const uint32_t shoff = r.u32(32);
    const uint32_t shentsize = r.u16(46) ? r.u16(46) : 40;
    const uint32_t shnum = r.u16(48);
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (uint32_t i = 1; i < shnum; ++i) {
        const size_t h = size_t(shoff) + size_t(i) * shentsize;
        if (h + 40 > input.size()) break;
        const uint32_t type = r.u32(h + 4), offset = r.u32(h + 16), size = r.u32(h + 20);
        if (type == 8 || size == 0) continue;   // SHT_NOBITS
        ranges.push_back({offset, uint64_t(offset) + size});
    }
    std::sort(ranges.begin(), ranges.end());
    for (size_t k = 1; k < ranges.size(); ++k)
        if (ranges[k].first < ranges[k - 1].second) return true;
    return false;
}

}  // namespace

std::vector<std::string> problemsOfTheBuilder(const std::vector<std::string>& problems,
                                              const std::vector<uint8_t>& input) {
    if (problems.empty() || !inputSectionsShareBytes(input)) return problems;
    std::vector<std::string> kept;
    for (const std::string& problem : problems)
        if (problem.find(": import signature ") == std::string::npos) kept.push_back(problem);
    return kept;
}

std::vector<std::string> compareWithInput(const CheckedModule& module, const std::vector<uint8_t>& input) {
    std::vector<std::string> problems;
    auto fail = [&](const std::string& text) { problems.push_back(text); };
    if (input.size() < 52 || input[0] != 0x7F || input[1] != 'E' || input[2] != 'L' || input[3] != 'F') {
        fail("the input is not an ELF file");
        return problems;
    }
    Reader r{input, input[5] == 1};
    if (module.littleEndian != (input[5] == 1)) fail("the module's byte order differs from the input's");
    // Fields copied from the input header: e_ident apart from OS/ABI and ABI
    // version, e_machine, e_version, e_entry, e_shentsize.
    if (module.elfHeader.size() == 52) {
        for (size_t k : {4, 5, 6, 9, 10, 11, 12, 13, 14, 15, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 46, 47})
            if (module.elfHeader[k] != input[k]) fail("header byte " + std::to_string(k) + " is not the input's");
    }
    const uint32_t shoff = r.u32(32), shnum = r.u16(48), shstrndx = r.u16(50);
    if (uint64_t(shoff) + uint64_t(shnum) * 40 > input.size() || shstrndx >= shnum) {
        fail("the input's section table does not fit");
        return problems;
    }
    auto header = [&](uint32_t i, uint32_t field) { return r.u32(shoff + size_t(i) * 40 + field); };
    const uint32_t names = header(shstrndx, 16);
    for (size_t i = 1; i + 2 < module.sections.size(); ++i) {
        const CheckedSection& s = module.sections[i];
        if (s.type != 1 || s.size == 0 || s.offset == 0) continue;
        const std::string name = module.sectionName(i);
        bool found = false;
        for (uint32_t k = 1; k < shnum && !found; ++k) {
            std::string inputName;
            cString(input, size_t(names) + header(k, 0), inputName);
            if (inputName != name || header(k, 4) != 1) continue;
            found = true;
            const uint32_t offset = header(k, 16), size = header(k, 20);
            if (uint64_t(offset) + size > input.size()) {
                fail(name + ": input contents run past the input");
                continue;
            }
            if (s.contents.size() != size ||
                !std::equal(s.contents.begin(), s.contents.end(), input.begin() + offset))
                fail(name + ": contents differ from the input's");
            if ((s.flags & 2) && s.addr != header(k, 12)) fail(name + ": address differs from the input's");
        }
        if (!found) fail(name + ": no section of that name in the input");
    }
    return problems;
}

std::vector<uint8_t> readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
