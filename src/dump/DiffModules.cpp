// Two modules side by side: sections matched by name (the n-th of a name
// with the n-th), what differs in each pair, FileInfo fields and region sizes.
#include <algorithm>
#include <cstring>
#include <map>

#include "dump/Describe.h"
#include "dump/Modes.h"

namespace {

struct DiffState {
    DumpRun& run;
    size_t differences = 0;
};

void difference(DiffState& d, const std::string& line) {
    ++d.differences;
    dumpPrint(d.run, "%s\n", line.c_str());
}

// "name#n" keys, so that sections of the same name pair up in order; unnamed
// sections pair up by type.
std::vector<std::pair<std::string, const ModuleSection*>> keyedSections(const ModuleImage& m) {
    std::vector<std::pair<std::string, const ModuleSection*>> keyed;
    std::map<std::string, int> seen;
    for (const ModuleSection& s : m.sections) {
        if (s.index == 0) continue;
        const std::string base = s.name.empty() ? "<" + sectionTypeName(s.header.sh_type) + ">" : s.name;
        const int n = seen[base]++;
        keyed.emplace_back(n ? base + "#" + std::to_string(n + 1) : base, &s);
    }
    return keyed;
}

bool sameContents(const ModuleImage& a, const ModuleSection& x, const ModuleImage& b, const ModuleSection& y) {
    if (x.contentsKnown && y.contentsKnown) {
        const ByteSpan p = sectionContents(a, x), q = sectionContents(b, y);
        return p.size() == q.size() && (p.empty() || memcmp(p.data(), q.data(), p.size()) == 0);
    }
    return x.storedCrc == y.storedCrc && x.memorySize() == y.memorySize();
}

void compareField(std::vector<std::string>& what, const char* name, uint32_t a, uint32_t b) {
    if (a != b) what.push_back(std::string(name) + " " + hex32(a) + " vs " + hex32(b));
}

void compareSection(DiffState& d, const std::string& key, const ModuleImage& a, const ModuleSection& x,
                    const ModuleImage& b, const ModuleSection& y) {
    std::vector<std::string> what;
    const Elf32_Shdr &p = x.header, &q = y.header;
    if (p.sh_type != q.sh_type)
        what.push_back("type " + sectionTypeName(p.sh_type) + " vs " + sectionTypeName(q.sh_type));
    if (x.index != y.index) what.push_back("index " + std::to_string(x.index) + " vs " + std::to_string(y.index));
    compareField(what, "address", p.sh_addr, q.sh_addr);
    compareField(what, "memory size", x.memorySize(), y.memorySize());
    if (p.sh_flags != q.sh_flags)
        what.push_back("flags " + sectionFlagLetters(p.sh_flags) + " vs " + sectionFlagLetters(q.sh_flags));
    // The CRC table has no CRC of its own to show.
    if (p.sh_type != SHT_NOBITS && !sameContents(a, x, b, y))
        what.push_back(x.region == Region::crcs ? std::string("contents")
                                                : "contents (CRC " + hex32(x.storedCrc) + " vs " + hex32(y.storedCrc) + ")");
    compareField(what, "stored size", x.hasFileBytes ? p.sh_size : 0, y.hasFileBytes ? q.sh_size : 0);
    compareField(what, "link", p.sh_link, q.sh_link);
    compareField(what, "info", p.sh_info, q.sh_info);
    compareField(what, "alignment", p.sh_addralign, q.sh_addralign);
    if (what.empty()) return;
    std::string line = "section \"" + key + "\": ";
    for (size_t k = 0; k < what.size(); ++k) line += (k ? ", " : "") + what[k];
    difference(d, line);
}

void compareSections(DiffState& d, const ModuleImage& a, const ModuleImage& b) {
    const auto left = keyedSections(a), right = keyedSections(b);
    const std::map<std::string, const ModuleSection*> leftByKey(left.begin(), left.end()),
        rightByKey(right.begin(), right.end());
    for (const auto& entry : left) {
        const auto match = rightByKey.find(entry.first);
        if (match == rightByKey.end())
            difference(d, "section \"" + entry.first + "\": only in the first module");
        else
            compareSection(d, entry.first, a, *entry.second, b, *match->second);
    }
    for (const auto& entry : right)
        if (!leftByKey.count(entry.first))
            difference(d, "section \"" + entry.first + "\": only in the second module");
}

void compareFileInfo(DiffState& d, const FileInfoRecord& a, const FileInfoRecord& b) {
    const std::vector<FileInfoField> x = fileInfoFields(a), y = fileInfoFields(b);
    for (size_t k = 0; k < x.size(); ++k)
        if (x[k].value != y[k].value)
            difference(d, std::string("FileInfo ") + x[k].name + ": " + hex32(x[k].value) + " vs " + hex32(y[k].value));
    if (a.path != b.path) difference(d, "FileInfo path: \"" + a.path + "\" vs \"" + b.path + "\"");
    if (a.tags != b.tags) {
        auto list = [](const FileInfoRecord& i) {
            std::string text;
            for (const auto& [name, value] : i.tags) text += (text.empty() ? "" : " ") + name + "=" + value;
            return text.empty() ? std::string("none") : text;
        };
        difference(d, "FileInfo tags: " + list(a) + " vs " + list(b));
    }
}

void compareHeaders(DiffState& d, const ModuleImage& a, const ModuleImage& b) {
    std::vector<std::string> what;
    if (a.littleEndian != b.littleEndian) what.push_back("byte order");
    compareField(what, "e_entry", a.header.e_entry, b.header.e_entry);
    compareField(what, "e_machine", a.header.e_machine, b.header.e_machine);
    compareField(what, "e_shnum", a.header.e_shnum, b.header.e_shnum);
    compareField(what, "e_shstrndx", a.header.e_shstrndx, b.header.e_shstrndx);
    for (const std::string& w : what) difference(d, "ELF header " + w);
}

void printRegions(DumpRun& run, const FileInfoRecord& a, const FileInfoRecord& b) {
    const struct {
        const char* name;
        uint32_t x, y;
    } rows[] = {{"TEXT", a.textSize, b.textSize},
                {"DATA", a.dataSize, b.dataSize},
                {"LOAD", a.loadSize, b.loadSize},
                {"TEMP", a.tempSize, b.tempSize}};
    dumpPrint(run, "\nRegion sizes:  %-10s  %-10s  change\n", "first", "second");
    for (const auto& r : rows)
        dumpPrint(run, "  %-4s         0x%08X  0x%08X  %+lld\n", r.name, r.x, r.y,
                  static_cast<long long>(r.y) - static_cast<long long>(r.x));
}

}  // namespace

int32_t diffMode(DumpRun& run, const ModuleImage& a, const ModuleImage& b) {
    dumpPrint(run, "first:  %s (%zu bytes)\nsecond: %s (%zu bytes)\n\n", run.options.inputPath.c_str(), a.bytes.size(),
              run.options.secondPath.c_str(), b.bytes.size());
    DiffState d{run};
    compareHeaders(d, a, b);
    compareSections(d, a, b);
    compareFileInfo(d, a.info, b.info);
    const bool sameBytes = a.bytes.size() == b.bytes.size() &&
                           (a.bytes.empty() || memcmp(a.bytes.data(), b.bytes.data(), a.bytes.size()) == 0);
    if (d.differences == 0 && !sameBytes) difference(d, "the files differ in bytes that no field above shows");
    printRegions(run, a.info, b.info);
    dumpPrint(run, "\n%s\n", d.differences ? (std::to_string(d.differences) + " difference" +
                                               (d.differences == 1 ? "" : "s")).c_str()
                                           : "identical");
    return d.differences ? kDumpFindings : kDumpOk;
}
