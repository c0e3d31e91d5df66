#include "ModuleChecker.h"

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
    if (module.fileInfoWord(0) != 0xB71E0402) fail("FileInfo magic is wrong");
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
        if (s.size == 0 || s.offset == 0) continue;
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
        placed.push_back({s.offset, (s.offset + s.size + 63) & ~63u, i, group});
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
    if (lastEnd > bytes.size())
        fail("file length " + std::to_string(bytes.size()) + " does not end behind the last section");
    return problems;
}

std::vector<uint8_t> readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
