#include "dump/Describe.h"

#include <cstdio>

namespace {
constexpr uint32_t SHF_INFO_LINK = 0x40;
}  // namespace

std::string sectionTypeName(uint32_t type) {
    switch (type) {
        case SHT_NULL: return "NULL";
        case SHT_PROGBITS: return "PROGBITS";
        case SHT_SYMTAB: return "SYMTAB";
        case SHT_STRTAB: return "STRTAB";
        case SHT_RELA: return "RELA";
        case SHT_NOBITS: return "NOBITS";
        case SHT_REL: return "REL";
        case SHT_EXPORT_TABLE: return "EXPORTS";
        case SHT_IMPORT_TABLE: return "IMPORTS";
        case SHT_SECTION_CRCS: return "CRCS";
        case SHT_FILE_INFO: return "FILEINFO";
        default: break;
    }
    char text[16];
    snprintf(text, sizeof text, "0x%08X", type);
    return text;
}

std::string sectionFlagLetters(uint32_t flags) {
    std::string letters;
    if (flags & SHF_WRITE) letters += 'W';
    if (flags & SHF_ALLOC) letters += 'A';
    if (flags & SHF_EXECINSTR) letters += 'X';
    if (flags & SHF_INFO_LINK) letters += 'I';
    if (flags & SHF_TLS_DATA) letters += 'T';
    if (flags & SHF_DEFLATED) letters += 'Z';
    const uint32_t known = SHF_WRITE | SHF_ALLOC | SHF_EXECINSTR | SHF_INFO_LINK | SHF_TLS_DATA | SHF_DEFLATED;
    if (flags & ~known) letters += '+';
    return letters.empty() ? "-" : letters;
}

const char* moduleKindName(const ModuleImage& module) { return module.info.flags & 2 ? "QDX" : "QDL"; }

double storedRatio(uint64_t memory, uint64_t stored) { return memory ? 100.0 * double(stored) / double(memory) : 100.0; }

ModuleTotals moduleTotals(const ModuleImage& module) {
    ModuleTotals totals;
    for (const ModuleSection& s : module.sections) {
        if (!s.hasFileBytes) continue;
        totals.memoryBytes += s.memorySize();
        totals.storedBytes += s.header.sh_size;
    }
    return totals;
}

std::vector<FileInfoField> fileInfoFields(const FileInfoRecord& i) {
    return {{"magic", i.magic},
            {"textSize", i.textSize},
            {"textAlign", i.textAlign},
            {"dataSize", i.dataSize},
            {"dataAlign", i.dataAlign},
            {"loadSize", i.loadSize},
            {"loadAlign", i.loadAlign},
            {"tempSize", i.tempSize},
            {"trampAdj", i.trampAdj},
            {"sdaBase", i.sdaBase},
            {"sda2Base", i.sda2Base},
            {"stackSize", i.stackSize},
            {"pathOffset", i.pathOffset},
            {"flags", i.flags},
            {"heapSize", i.heapSize},
            {"tagsOffset", i.tagsOffset},
            {"constant", i.constant},
            {"compressionLevel", i.compressionLevel},
            {"trampGrowth", i.trampGrowth},
            {"trailerSize", i.trailerSize},
            {"sdkVersion", i.sdkVersion},
            {"sdkRevision", i.sdkRevision},
            {"reserved", i.reserved},
            {"tlsAlignLog2", i.tlsAlignLog2},
            {"requestedFileInfoSize", i.requestedSize}};
}

std::string fileInfoFlagNames(uint32_t flags) {
    std::string names;
    auto add = [&](const char* name) { names += names.empty() ? name : std::string(", ") + name; };
    if (flags & 1) add("dynamic-only");
    if (flags & 2) add("QDX");
    if (flags & 8) add("TLS");
    if (flags & ~0xBu) add("unknown bits");
    return names.empty() ? "none" : names;
}
