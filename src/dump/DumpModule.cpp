#include "dump/CheckModule.h"
#include "dump/Describe.h"
#include "dump/ImportTables.h"
#include "dump/Modes.h"

namespace {

void printHeader(DumpRun& run, const ModuleImage& m) {
    const Elf32_Ehdr& h = m.header;
    dumpPrint(run, "%s: %s module, %s-endian, %zu sections, %zu bytes\n", run.options.inputPath.c_str(),
              moduleKindName(m), m.littleEndian ? "little" : "big", m.sections.size(), m.bytes.size());
    dumpPrint(run, "ELF header: e_type 0x%04X, OS/ABI 0x%02X, ABI version 0x%02X, e_machine %u, e_entry 0x%08X,\n",
              h.e_type, h.e_ident[EI_OSABI], h.e_ident[EI_ABIVERSION], h.e_machine, h.e_entry);
    dumpPrint(run, "            e_shoff 0x%X, e_shstrndx %u, e_flags 0x%X, no program headers%s\n", h.e_shoff,
              h.e_shstrndx, h.e_flags, h.e_phnum ? " (but e_phnum is not 0)" : "");
}

const char* crcVerdict(const ModuleSection& s) {
    if (!s.crcChecked) return s.region == Region::crcs ? "" : s.hasFileBytes ? "?" : "";
    return s.storedCrc == s.computedCrc ? "OK" : "BAD";
}

void printSections(DumpRun& run, const ModuleImage& m) {
    dumpPrint(run, "\nSections:\n");
    dumpPrint(run, "  [Nr] %-24s %-9s %-8s %-10s %-10s %-10s %6s %-10s %-5s %s\n", "Name", "Type", "Region",
              "Address", "MemSize", "Stored", "Ratio", "Offset", "Flags", "CRC");
    for (const ModuleSection& s : m.sections) {
        if (s.index == 0) continue;
        const Elf32_Shdr& h = s.header;
        char ratio[16] = "";
        if (s.hasFileBytes) snprintf(ratio, sizeof ratio, "%5.1f%%", storedRatio(s.memorySize(), h.sh_size));
        dumpPrint(run, "  [%2u] %-24s %-9s %-8s 0x%08X 0x%08X 0x%08X %6s 0x%08X %-5s 0x%08X %s\n", s.index,
                  s.name.c_str(), sectionTypeName(h.sh_type).c_str(), regionName(s.region), h.sh_addr,
                  s.memorySize(), s.hasFileBytes ? h.sh_size : 0, ratio, h.sh_offset,
                  sectionFlagLetters(h.sh_flags).c_str(), s.storedCrc, crcVerdict(s));
    }
    dumpPrint(run, "  Flags: W write, A alloc, X execute, I info link, T thread-local, Z compressed\n");
}

void printRegions(DumpRun& run, const FileInfoRecord& i) {
    dumpPrint(run, "\nRegions (from FileInfo):\n");
    dumpPrint(run, "  TEXT  size 0x%08X  align %-6u TrampAdj 0x%08X\n", i.textSize, i.textAlign, i.trampAdj);
    dumpPrint(run, "  DATA  size 0x%08X  align %u\n", i.dataSize, i.dataAlign);
    dumpPrint(run, "  LOAD  size 0x%08X  align %-6u (with 0x%X bytes of FileInfo strings)\n", i.loadSize,
              i.loadAlign, i.trailerSize);
    dumpPrint(run, "  TEMP  size 0x%08X\n", i.tempSize);
}

void printFileInfo(DumpRun& run, const FileInfoRecord& i) {
    dumpPrint(run, "\nFileInfo:\n");
    for (const FileInfoField& f : fileInfoFields(i)) {
        dumpPrint(run, "  %-22s 0x%08X", f.name, f.value);
        if (std::string(f.name) == "flags") dumpPrint(run, "  (%s)", fileInfoFlagNames(f.value).c_str());
        if (std::string(f.name) == "compressionLevel" && f.value == 0xFFFFFFFF) dumpPrint(run, "  (zlib default)");
        dumpPrint(run, "\n");
    }
    dumpPrint(run, "  %-22s \"%s\"\n", "path", i.path.c_str());
    if (i.tags.empty()) dumpPrint(run, "  %-22s none\n", "loader tags");
    for (const auto& [name, value] : i.tags) dumpPrint(run, "  %-22s %s=%s\n", "loader tag", name.c_str(), value.c_str());
}

void printImportTables(DumpRun& run, const ModuleImage& m) {
    const std::vector<ModuleSymbol> symbols = readSymbols(m);
    const std::vector<ImportTable> tables = readImportTables(m, symbols);
    dumpPrint(run, "\nImport tables: %zu\n", tables.size());
    for (const ImportTable& t : tables) {
        const ModuleSection& s = m.sections[t.section];
        dumpPrint(run, "  %s from \"%s\" at 0x%08X: count %u%s, signature 0x%08X %s\n", sectionLabel(s).c_str(),
                  t.moduleName.c_str(), s.header.sh_addr, t.count, t.count == t.computedCount ? "" : " (BAD)",
                  t.signature, t.signature == t.computedSignature ? "OK" : "BAD");
        for (const ModuleSymbol* y : t.imports)
            dumpPrint(run, "    0x%08X  %s%s\n", y->value, y->name.c_str(),
                      (y->info & 0xF) == STT_TLS ? " (thread-local)" : "");
    }
}

void printTotals(DumpRun& run, const ModuleImage& m) {
    const ModuleTotals t = moduleTotals(m);
    dumpPrint(run, "\nTotals: %llu bytes of contents stored in %llu bytes (%.1f%%); file %zu bytes\n",
              static_cast<unsigned long long>(t.memoryBytes), static_cast<unsigned long long>(t.storedBytes),
              storedRatio(t.memoryBytes, t.storedBytes), m.bytes.size());
}

}  // namespace

int32_t dumpModuleMode(DumpRun& run, const ModuleImage& m) {
    printHeader(run, m);
    printSections(run, m);
    if (m.info.present) {
        printRegions(run, m.info);
        printFileInfo(run, m.info);
    }
    printImportTables(run, m);
    printTotals(run, m);
    const std::vector<Finding> findings = checkModule(m);
    if (!findings.empty())
        dumpPrint(run, "\n%zu problem%s found; run qdldump --check for the list\n", findings.size(),
                  findings.size() == 1 ? "" : "s");
    return kDumpOk;
}
