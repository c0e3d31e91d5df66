#include "dump/CheckModule.h"

#include <algorithm>

#include "dump/DumpRun.h"
#include "dump/ImportTables.h"

namespace {

using Findings = std::vector<Finding>;

uint64_t align64(uint64_t offset) { return (offset + 63) & ~uint64_t(63); }

void checkHeader(const ModuleImage& m, Findings& out) {
    const Elf32_Ehdr& h = m.header;
    auto fail = [&](const std::string& what) { out.push_back({"ELF header", what}); };
    if (h.e_ident[EI_OSABI] != kModuleOsAbi) fail("EI_OSABI is " + hex32(h.e_ident[EI_OSABI]) + ", not 0xB7");
    if (h.e_ident[EI_ABIVERSION] != kModuleAbiVersion)
        fail("EI_ABIVERSION is " + hex32(h.e_ident[EI_ABIVERSION]) + ", not 0x1E");
    if (h.e_type != kModuleType) fail("e_type is " + hex32(h.e_type) + ", not 0xFE01");
    if (h.e_phoff != 0 || h.e_phnum != 0 || h.e_phentsize != 0) fail("program header fields are not 0");
    if (h.e_shoff != 0x40) fail("e_shoff is " + hex32(h.e_shoff) + ", not 0x40");
    if (h.e_flags != 0) fail("e_flags is " + hex32(h.e_flags) + ", not 0");
    if (h.e_ehsize != sizeof(Elf32_Ehdr)) fail("e_ehsize is " + std::to_string(h.e_ehsize) + ", not 52");
    if (m.bytes.size() >= 0x40 && std::any_of(m.bytes.begin() + 52, m.bytes.begin() + 0x40, [](uint8_t b) { return b; }))
        fail("bytes 52 to 63 behind the header are not zero");
    if (h.e_shstrndx >= m.sections.size())
        fail("e_shstrndx " + std::to_string(h.e_shstrndx) + " names no section");
}

void checkSpecialSections(const ModuleImage& m, Findings& out) {
    const uint32_t n = uint32_t(m.sections.size());
    if (n < 3) {
        out.push_back({"section table", "holds " + std::to_string(n) + " sections, fewer than 3"});
        return;
    }
    const Elf32_Shdr& zero = m.sections[0].header;
    if (zero.sh_name || zero.sh_type || zero.sh_flags || zero.sh_addr || zero.sh_offset || zero.sh_size ||
        zero.sh_link || zero.sh_info || zero.sh_addralign || zero.sh_entsize)
        out.push_back({"section 0", "header is not all zero"});
    for (const ModuleSection& s : m.sections) {
        const bool crcs = s.header.sh_type == SHT_SECTION_CRCS, info = s.header.sh_type == SHT_FILE_INFO;
        if ((crcs && s.index != n - 2) || (info && s.index != n - 1))
            out.push_back({sectionLabel(s), std::string(crcs ? "CRC" : "FileInfo") + " section out of its place " +
                                                std::to_string(crcs ? n - 2 : n - 1)});
    }
    const Elf32_Shdr& c = m.sections[n - 2].header;
    if (c.sh_type != SHT_SECTION_CRCS || c.sh_offset != 0x40 + 40 * n || c.sh_size != 4 * n || c.sh_flags != 0 ||
        c.sh_addralign != 4 || c.sh_entsize != 4)
        out.push_back({sectionLabel(m.sections[n - 2]), "CRC section header is not type 0x80000003 at " +
                                                            hex32(0x40 + 40 * n) + " with " + std::to_string(4 * n) +
                                                            " bytes"});
    const Elf32_Shdr& f = m.sections[n - 1].header;
    const uint32_t infoOffset = uint32_t(align64(0x40 + 44ull * n));
    if (f.sh_type != SHT_FILE_INFO || f.sh_offset != infoOffset || f.sh_flags != 0 || f.sh_addralign != 4)
        out.push_back({sectionLabel(m.sections[n - 1]),
                       "FileInfo section header is not type 0x80000004 at " + hex32(infoOffset)});
}

void checkCrcs(const ModuleImage& m, Findings& out) {
    for (const ModuleSection& s : m.sections) {
        if (s.index >= m.crcs.size()) break;
        if (s.crcChecked && s.storedCrc != s.computedCrc)
            out.push_back({sectionLabel(s), "CRC " + hex32(s.storedCrc) + " stored, " + hex32(s.computedCrc) +
                                                " computed" + (s.compressed ? " (of the inflated bytes)" : "")});
        const bool noCrc = s.index == 0 || s.region == Region::crcs || !s.hasFileBytes;
        if (noCrc && s.storedCrc != 0)
            out.push_back({sectionLabel(s), "CRC " + hex32(s.storedCrc) + " stored for a section without contents, not 0"});
    }
}

void checkSectionBytes(const ModuleImage& m, const ModuleSection& s, Findings& out) {
    const Elf32_Shdr& h = s.header;
    auto fail = [&](const std::string& what) { out.push_back({sectionLabel(s), what}); };
    if (h.sh_type == SHT_NOBITS) {
        if (h.sh_offset != 0) fail("NOBITS section with file offset " + hex32(h.sh_offset));
        // No bytes are stored for it, so the compressed flag describes nothing:
        // the builder keeps the input's flags on such a section and the loader
        // zero-fills it by its type.
        return;
    }
    if (!s.hasFileBytes) {
        if (s.compressed) fail("marked compressed but has no stored bytes");
        return;
    }
    if (h.sh_offset % 64) fail("offset " + hex32(h.sh_offset) + " is not on a 64-byte boundary");
    if (!s.insideFile)
        fail("bytes " + hex32(h.sh_offset) + " to " + hex32(uint32_t(h.sh_offset + uint64_t(h.sh_size))) +
             " run past the end of the file (" + std::to_string(m.bytes.size()) + " bytes)");
    if (s.compressed && s.contentsKnown && h.sh_size >= s.sizeWord)
        fail("compressed, yet its " + std::to_string(h.sh_size) + " stored bytes are not fewer than its " +
             std::to_string(s.sizeWord) + " bytes");
    if (s.region == Region::data && !(h.sh_flags & SHF_WRITE)) fail("DATA section without SHF_WRITE");
}

// Where the module builder puts each section: four passes over the sections
// in index order (DATA, LOAD, TEXT, then TEMP for whatever has no place yet),
// each pass running when FileInfo gives its region a size, every section at
// the running offset, which moves on by its stored size rounded up to 64.
// A NOBITS section of the DATA pass takes no room; one taken by another pass
// does, though its header says offset 0.
struct Placement {
    std::vector<uint64_t> offset;  // 0: not placed
    uint64_t end = 0;
};

bool takenByPass(int pass, const Elf32_Shdr& h) {
    const bool alloc = h.sh_flags & SHF_ALLOC, exec = h.sh_flags & SHF_EXECINSTR;
    const bool table = h.sh_type == SHT_EXPORT_TABLE || h.sh_type == SHT_IMPORT_TABLE;
    switch (pass) {
        case 0: return alloc && !exec && !table && h.sh_addr < kLoaderRangeStart;
        case 1: return alloc && (table || h.sh_addr >= kLoaderRangeStart);
        case 2: return alloc && exec && !table;
        default: return true;
    }
}

// A pass runs when its region's size is not 0. The builder decides that on
// the sizes it computed; when the sizes in FileInfo were changed afterwards
// (by -padall or the size options) they cannot tell, and every pass is taken
// to run: a region with sections had a size.
Placement simulatePlacement(const ModuleImage& m, bool passesFromSizes) {
    Placement p;
    p.offset.assign(m.sections.size(), 0);
    const Elf32_Shdr& info = m.sections.back().header;
    uint64_t running = align64(uint64_t(info.sh_offset) + info.sh_size);
    const uint32_t sizes[4] = {m.info.dataSize, m.info.loadSize, m.info.textSize, m.info.tempSize};
    std::vector<bool> taken(m.sections.size(), false);
    for (int pass = 0; pass < 4; ++pass) {
        if (passesFromSizes && sizes[pass] == 0) continue;
        for (size_t i = 1; i + 2 < m.sections.size(); ++i) {
            const Elf32_Shdr& h = m.sections[i].header;
            if (taken[i] || h.sh_size == 0 || !takenByPass(pass, h)) continue;
            taken[i] = true;
            p.offset[i] = running;
            if (!(pass == 0 && h.sh_type == SHT_NOBITS)) running = align64(running + h.sh_size);
        }
    }
    p.end = running;
    return p;
}

// The builder fills every gap with zero bytes; anything else there is damage
// that no CRC covers.
void checkGap(const ModuleImage& m, uint64_t from, uint64_t to, const std::string& label, Findings& out) {
    to = std::min<uint64_t>(to, m.bytes.size());
    if (from >= to) return;
    const auto begin = m.bytes.begin() + std::ptrdiff_t(from), end = m.bytes.begin() + std::ptrdiff_t(to);
    const auto count = std::count_if(begin, end, [](uint8_t b) { return b != 0; });
    if (count)
        out.push_back({label, std::to_string(count) + " non-zero bytes in the padding at " + hex32(uint32_t(from)) +
                                  " to " + hex32(uint32_t(to))});
}

int regionOrder(Region r) {
    switch (r) {
        case Region::data: return 0;
        case Region::load: return 1;
        case Region::text: return 2;
        default: return 3;
    }
}

// Sections in file order: DATA, LOAD, TEXT, TEMP, each group in index order,
// none overlapping another or the headers, zeros between them.
void checkOrder(const ModuleImage& m, Findings& out) {
    std::vector<const ModuleSection*> placed;
    for (const ModuleSection& s : m.sections)
        if (s.index + 2 < m.sections.size() && s.index != 0 && s.insideFile) placed.push_back(&s);
    std::sort(placed.begin(), placed.end(), [](const ModuleSection* a, const ModuleSection* b) {
        return a->header.sh_offset < b->header.sh_offset;
    });
    const ModuleSection& info = m.sections.back();
    const uint64_t crcsEnd = 0x40 + 44ull * m.sections.size();
    checkGap(m, crcsEnd, std::min<uint64_t>(info.header.sh_offset, align64(crcsEnd)), sectionLabel(info), out);
    uint64_t end = uint64_t(info.header.sh_offset) + info.header.sh_size;
    const ModuleSection* previous = nullptr;
    for (const ModuleSection* s : placed) {
        const std::string label = sectionLabel(*s);
        const uint64_t offset = s->header.sh_offset;
        if (previous && regionOrder(s->region) < regionOrder(previous->region))
            out.push_back({label, std::string(regionName(s->region)) + " section lies behind " +
                                      regionName(previous->region) + " " + sectionLabel(*previous) +
                                      ", out of the DATA, LOAD, TEXT, TEMP order"});
        else if (previous && s->region == previous->region && s->index < previous->index)
            out.push_back({label, "lies behind " + sectionLabel(*previous) + ", out of index order in " +
                                      regionName(s->region)});
        if (offset < end)
            out.push_back({label, "bytes at " + hex32(uint32_t(offset)) + " overlap " +
                                      (previous ? sectionLabel(*previous) : "the headers, CRCs or FileInfo")});
        else
            checkGap(m, end, offset, label, out);
        end = std::max(end, offset + s->header.sh_size);
        previous = s;
    }
    checkGap(m, end, m.bytes.size(), "file", out);
}

void checkLayout(const ModuleImage& m, bool passesFromSizes, Findings& out) {
    checkOrder(m, out);
    if (!m.info.present) return;
    const Placement p = simulatePlacement(m, passesFromSizes);
    for (const ModuleSection& s : m.sections) {
        if (!s.hasFileBytes || s.index == 0 || s.index + 2 >= m.sections.size()) continue;
        if (s.header.sh_offset != p.offset[s.index])
            out.push_back({sectionLabel(s), "lies at " + hex32(s.header.sh_offset) + ", the builder places it at " +
                                                (p.offset[s.index] ? hex32(uint32_t(p.offset[s.index]))
                                                                   : std::string("no offset (no pass takes it)"))});
    }
    if (m.bytes.size() != p.end)
        out.push_back({"file", "length " + std::to_string(m.bytes.size()) + " is not " + std::to_string(p.end) +
                                   ", where the builder ends it behind its last section"});
}

struct Span {
    uint64_t low = UINT64_MAX, high = 0, align = 0, total = 0;
    const ModuleSection* widest = nullptr;
    bool empty() const { return high == 0; }
    void add(const ModuleSection& s, bool countAlign) {
        low = std::min<uint64_t>(low, s.header.sh_addr);
        high = std::max<uint64_t>(high, uint64_t(s.header.sh_addr) + s.memorySize());
        if (countAlign && s.header.sh_addralign > align) {
            align = s.header.sh_addralign;
            widest = &s;
        }
    }
};

void checkRegion(const char* name, const Span& span, uint64_t start, uint32_t size, uint32_t align, Findings& out) {
    if (span.empty()) return;
    if (span.high - std::min(start, span.low) > size)
        out.push_back({std::string("FileInfo ") + name, "size " + hex32(size) + " does not cover its sections (" +
                                                            hex32(uint32_t(std::min(start, span.low))) + " to " +
                                                            hex32(uint32_t(span.high)) + ")"});
    if (span.widest && span.align > align)
        out.push_back({std::string("FileInfo ") + name, "alignment " + std::to_string(align) + " is below the " +
                                                            std::to_string(span.align) + " of " +
                                                            sectionLabel(*span.widest)});
}

void checkAddressRange(const ModuleSection& s, uint32_t low, uint32_t high, const char* range, Findings& out) {
    if (s.header.sh_addr < low || s.header.sh_addr > high)
        out.push_back({sectionLabel(s), "address " + hex32(s.header.sh_addr) + " is outside the " + range + " (" +
                                            hex32(low) + " to " + hex32(high) + ")"});
}

// A section whose address and size add up past 4 GiB cannot be loaded. The
// builder adds them modulo 2^32, as it adds every region end, so such a
// section is named on its own and left out of its region's span.
bool endsPastAddressSpace(const ModuleSection& s, Findings& out) {
    const uint64_t end = uint64_t(s.header.sh_addr) + s.memorySize();
    if (end <= 0x100000000ull) return false;
    out.push_back({sectionLabel(s), "address " + hex32(s.header.sh_addr) + " and size " + hex32(s.memorySize()) +
                                        " run past the end of the 32-bit address space"});
    return true;
}

void checkRegions(const ModuleImage& m, Findings& out) {
    if (!m.info.present) return;
    Span text, data, load;
    uint64_t tempStored = 0;
    for (const ModuleSection& s : m.sections) {
        if (s.index == 0 || s.index + 2 >= m.sections.size() || s.header.sh_size == 0) continue;
        const bool inMemory = s.region == Region::text || s.region == Region::data || s.region == Region::load;
        if (inMemory && endsPastAddressSpace(s, out)) continue;
        const bool imports = s.header.sh_type == SHT_IMPORT_TABLE;
        if (s.region == Region::text) {
            checkAddressRange(s, kCodeRangeStart, kCodeRangeEnd, "code range", out);
            text.add(s, true);
        } else if (s.region == Region::data) {
            checkAddressRange(s, kDataRangeStart, kDataRangeEnd, "data range", out);
            data.add(s, true);
        } else if (s.region == Region::load) {
            load.add(s, !imports);
        } else if (s.region == Region::temp) {
            tempStored += s.header.sh_size;
        }
    }
    const FileInfoRecord& i = m.info;
    checkRegion("TEXT", text, uint64_t(kCodeRangeStart) - std::min(i.trampAdj, kCodeRangeStart), i.textSize,
                i.textAlign, out);
    checkRegion("DATA", data, kDataRangeStart, i.dataSize, i.dataAlign, out);
    checkRegion("LOAD", load, UINT64_MAX, i.loadSize, i.loadAlign, out);
    if (tempStored > i.tempSize)
        out.push_back({"FileInfo TEMP", "size " + hex32(i.tempSize) + " is below the " + std::to_string(tempStored) +
                                            " bytes of its sections"});
}

void checkImportTables(const ModuleImage& m, Findings& out) {
    const std::vector<ModuleSymbol> symbols = readSymbols(m);
    for (const ImportTable& t : readImportTables(m, symbols)) {
        const ModuleSection& s = m.sections[t.section];
        auto fail = [&](const std::string& what) { out.push_back({sectionLabel(s), what}); };
        if (!s.contentsKnown) continue;  // already named by the reading
        if (!t.headerKnown) {
            fail("import table shorter than its 8-byte header");
            continue;
        }
        if (!t.nameTerminated) fail("module name at offset 8 is not terminated inside the table");
        if (t.count != t.computedCount)
            fail("import count " + std::to_string(t.count) + " stored, " + std::to_string(t.computedCount) +
                 " symbols lie in the table");
        if (t.signature != t.computedSignature)
            fail("import signature " + hex32(t.signature) + " stored, " + hex32(t.computedSignature) +
                 " computed from its symbols");
        uint64_t slot = uint64_t(s.header.sh_addr) + (t.hasSectionSymbol ? 8 : 0);
        for (const ModuleSymbol* y : t.imports) {
            if (y->value != slot)
                fail("symbol \"" + y->name + "\" at " + hex32(y->value) + ", its import slot is " +
                     hex32(uint32_t(slot)));
            slot += 8;
        }
        if (slot > uint64_t(s.header.sh_addr) + s.memorySize())
            fail("import slots end at " + hex32(uint32_t(slot)) + ", past the table's " +
                 std::to_string(s.memorySize()) + " bytes");
    }
}

}  // namespace

std::string findingLine(const Finding& finding) { return finding.where + ": " + finding.what; }

std::vector<Finding> checkModule(const ModuleImage& m, const CheckRules& rules) {
    Findings out = m.findings;
    if (!m.tableRead) return out;
    checkHeader(m, out);
    checkSpecialSections(m, out);
    if (m.sections.size() < 3) return out;
    checkCrcs(m, out);
    for (const ModuleSection& s : m.sections)
        if (s.index != 0 && s.index + 2 < m.sections.size()) checkSectionBytes(m, s, out);
    checkLayout(m, rules.passesFromSizes, out);
    if (rules.regionSizes) checkRegions(m, out);
    checkImportTables(m, out);
    return out;
}

std::vector<Finding> checkModuleBytes(ByteSpan bytes, const CheckRules& rules) {
    ModuleImage module;
    module.bytes = bytes;
    readModule(module);
    return checkModule(module, rules);
}
