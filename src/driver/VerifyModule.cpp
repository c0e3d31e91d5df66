#include "driver/VerifyModule.h"

#include <algorithm>
#include <cstring>

#include "core/Output.h"
#include "elf/ElfFormat.h"

namespace {

constexpr uint32_t kUnset = 0xFFFFFFFF;

struct RegionBounds {
    uint32_t min = kUnset;
    uint32_t max = 0;

    void add(uint32_t offset, uint32_t end) {
        min = std::min(min, offset);
        max = std::max(max, end);
    }
    bool empty() const { return min == kUnset; }
    void collapseOnto(uint32_t at) { min = max = at; }
};

// End of a section in the file; an end beyond 4 GiB lies past any file the
// tool maps, so it is kept at the largest offset.
uint32_t sectionEnd(uint32_t offset, uint32_t size) {
    uint64_t end = uint64_t(offset) + size;
    return end > kUnset ? kUnset : uint32_t(end);
}

}  // namespace

int verifyModuleLayout(const uint8_t* bytes, uint32_t count) {
    if (!bytes || count < sizeof(Elf32_Ehdr)) {
        printOut("***Error: generated file is too small for an ELF header. Return -1.\n");
        return -1;
    }
    Elf32_Ehdr header;
    memcpy(&header, bytes, sizeof header);
    const uint32_t shoff = header.e_shoff;
    const uint32_t shnum = header.e_shnum;
    const uint32_t stride = header.e_shentsize ? header.e_shentsize : uint32_t(sizeof(Elf32_Shdr));

    // Every header read must lie inside the file.
    if (shnum != 0 &&
        uint64_t(shoff) + uint64_t(shnum - 1) * stride + sizeof(Elf32_Shdr) > count) {
        printOut("***Error: section header table runs past the end of the generated file. Return -1.\n");
        return -1;
    }

    const uint32_t secHdrs = shoff;
    uint32_t crcs = kUnset, crcsEnd = 0;
    uint32_t fileInfo = kUnset, fileInfoEnd = 0;
    RegionBounds data, read, text, temp;

    for (uint32_t i = 0; i < shnum; ++i) {
        Elf32_Shdr sh;
        memcpy(&sh, bytes + shoff + uint64_t(i) * stride, sizeof sh);
        if (sh.sh_size == 0) continue;
        const uint32_t end = sectionEnd(sh.sh_offset, sh.sh_size);
        if (sh.sh_type == SHT_FILE_INFO) {
            if (fileInfo != kUnset) {
                printOut("***Error: more than one fileinfo section in target file! return -1.\n");
                return -1;
            }
            fileInfo = sh.sh_offset;
            fileInfoEnd = end;
            continue;
        }
        if (sh.sh_type == SHT_SECTION_CRCS) {
            if (crcs != kUnset) {
                printOut("***Error: more than one crcs section in target file! return -1.\n");
                return -1;
            }
            crcs = sh.sh_offset;
            crcsEnd = end;
            continue;
        }
        if (sh.sh_type == SHT_NOBITS) continue;

        const bool table = sh.sh_type == SHT_IMPORT_TABLE || sh.sh_type == SHT_EXPORT_TABLE;
        if ((sh.sh_flags & SHF_EXECINSTR) && !table)
            text.add(sh.sh_offset, end);
        else if (sh.sh_flags & SHF_ALLOC) {
            if (sh.sh_addr >= 0x10000000 && sh.sh_addr <= 0xBFFFFFFF)
                data.add(sh.sh_offset, end);
            else
                read.add(sh.sh_offset, end);
        } else
            temp.add(sh.sh_offset, end);
    }

    // An empty region collapses onto the end of the one before it; an empty
    // DATA region onto the end of the header table, CRCs and FileInfo.
    if (data.empty()) {
        uint32_t after = sectionEnd(shoff, shnum * stride);
        if (crcs != kUnset) after = std::max(after, crcsEnd);
        if (fileInfo != kUnset) after = std::max(after, fileInfoEnd);
        data.collapseOnto(after);
    }
    if (read.empty()) read.collapseOnto(data.max);
    if (text.empty()) text.collapseOnto(read.max);
    if (temp.empty()) temp.collapseOnto(text.max);

    const char* failure = nullptr;
    if (secHdrs >= data.min || fileInfo >= data.min || crcs >= data.min)
        failure = "***Error: SecHrs, FileInfo, or CRCs in bad spot in file. Return -1.\n";
    else if (data.min > data.max)
        failure = "***Error: DataMin > DataMax. break.\n";
    else if (data.min > read.min)
        failure = "***Error: DataMin > ReadMin. break.\n";
    else if (data.max > read.min)
        failure = "***Error: DataMax > ReadMin. break.\n";
    else if (read.min > read.max)
        failure = "***Error: ReadMin > ReadMax. break.\n";
    else if (read.min > text.min)
        failure = "***Error: ReadMin > TextMin. break.\n";
    else if (read.max > text.min)
        failure = "***Error: ReadMax > TextMin. break.\n";
    else if (text.min > text.max)
        failure = "***Error: TextMin > TextMax. break.\n";
    else if (text.min > temp.min)
        failure = "***Error: TextMin > TempMin. break.\n";
    else if (text.max > temp.min)
        failure = "***Error: TextMax > TempMin. break.\n";
    else if (temp.min > temp.max)
        failure = "***Error: TempMin > TempMax. break.\n";
    else if (temp.min > count)
        failure = "***Error: TempMin > eof. break.\n";
    else if (temp.max > count)
        failure = "***Error: TempMax > eof. break.\n";
    if (!failure) return 0;

    printOut("%s", failure);
    printOut("foff_SecHdrs  = 0x%08X\n", secHdrs);
    printOut("foff_CRCs     = 0x%08X\n", crcs);
    printOut("foff_FileInfo = 0x%08X\n", fileInfo);
    printOut("foff_DataMin  = 0x%08X\n", data.min);
    printOut("foff_DataMax  = 0x%08X\n", data.max);
    printOut("foff_ReadMin  = 0x%08X\n", read.min);
    printOut("foff_ReadMax  = 0x%08X\n", read.max);
    printOut("foff_TextMin  = 0x%08X\n", text.min);
    printOut("foff_TextMax  = 0x%08X\n", text.max);
    printOut("foff_TempMin  = 0x%08X\n", temp.min);
    printOut("foff_TempMax  = 0x%08X\n", temp.max);
    return -1;
}
