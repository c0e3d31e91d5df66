#include <algorithm>
#include <cctype>

#include "dump/Modes.h"

// A section by index (all digits) or by name (the first of that name).
const ModuleSection* findModuleSection(const ModuleImage& m, const std::string& wanted) {
    const bool number = !wanted.empty() && wanted.size() < 10 &&
                        std::all_of(wanted.begin(), wanted.end(), [](char c) { return isdigit(uint8_t(c)); });
    if (number) {
        const unsigned long index = std::stoul(wanted);
        return index != 0 && index < m.sections.size() ? &m.sections[index] : nullptr;
    }
    for (const ModuleSection& s : m.sections)
        if (s.index != 0 && s.name == wanted) return &s;
    return nullptr;
}

int32_t extractMode(DumpRun& run, const ModuleImage& m) {
    const std::string& wanted = run.options.sectionName;
    const ModuleSection* s = findModuleSection(m, wanted);
    if (!s) {
        dumpPrint(run, "qdldump: \"%s\" has no section \"%s\"\n", run.options.inputPath.c_str(), wanted.c_str());
        return kDumpFailed;
    }
    if (s->header.sh_type == SHT_NOBITS) {
        dumpPrint(run, "qdldump: %s is NOBITS: it has no bytes in the file\n", sectionLabel(*s).c_str());
        return kDumpFailed;
    }
    if (s->header.sh_size != 0 && !s->contentsKnown) {
        dumpPrint(run, "qdldump: %s: its contents cannot be read or inflated (qdldump --check says why)\n",
                  sectionLabel(*s).c_str());
        return kDumpFailed;
    }
    const ByteSpan contents = sectionContents(m, *s);
    const int32_t result = writeOutputFile(run, run.options.outputPath, std::vector<uint8_t>(contents.begin(), contents.end()));
    if (result == kDumpOk)
        dumpPrint(run, "%s: %zu bytes of %s\n", run.options.outputPath.c_str(), contents.size(),
                  sectionLabel(*s).c_str());
    return result;
}
