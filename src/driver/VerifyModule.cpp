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

// Where the written module put its header table, CRCs, FileInfo and the four
// regions.
struct ModuleLayout {
    uint32_t secHdrs = 0;
    uint32_t crcs = kUnset, crcsEnd = 0;
    uint32_t fileInfo = kUnset, fileInfoEnd = 0;
    RegionBounds data, read, text, temp;
};

// Takes one section into the layout; a second CRC or FileInfo section is
// refused.
int addSection(ModuleLayout& layout, const Elf32_Shdr& sh) {
    if (sh.sh_size == 0) return 0;
    const uint32_t end = sectionEnd(sh.sh_offset, sh.sh_size);
    if (sh.sh_type == SHT_FILE_INFO) {
        if (layout.fileInfo != kUnset) {
            printOut("***Error: more than one fileinfo section in target file! return -1.\n");
            return -1;
        }
        layout.fileInfo = sh.sh_offset;
        layout.fileInfoEnd = end;
        return 0;
    }
    if (sh.sh_type == SHT_SECTION_CRCS) {
        if (layout.crcs != kUnset) {
            printOut("***Error: more than one crcs section in target file! return -1.\n");
            return -1;
        }
        layout.crcs = sh.sh_offset;
        layout.crcsEnd = end;
        return 0;
    }
    if (sh.sh_type == SHT_NOBITS) return 0;

    const bool table = sh.sh_type == SHT_IMPORT_TABLE || sh.sh_type == SHT_EXPORT_TABLE;
    if ((sh.sh_flags & SHF_EXECINSTR) && !table)
        layout.text.add(sh.sh_offset, end);
    else if (sh.sh_flags & SHF_ALLOC) {
        if (sh.sh_addr >= 0x10000000 && sh.sh_addr <= 0xBFFFFFFF)
            layout.data.add(sh.sh_offset, end);
        else
            layout.read.add(sh.sh_offset, end);
    } else
        layout.temp.add(sh.sh_offset, end);
    return 0;
}

// An empty region collapses onto the end of the one before it; an empty
// DATA region onto the end of the header table, CRCs and FileInfo.
void collapseEmptyRegions(ModuleLayout& layout, uint32_t headerTableEnd) {
    if (layout.data.empty()) {
        uint32_t after = headerTableEnd;
        if (layout.crcs != kUnset) after = std::max(after, layout.crcsEnd);
        if (layout.fileInfo != kUnset) after = std::max(after, layout.fileInfoEnd);
        layout.data.collapseOnto(after);
    }
    if (layout.read.empty()) layout.read.collapseOnto(layout.data.max);
    if (layout.text.empty()) layout.text.collapseOnto(layout.read.max);
    if (layout.temp.empty()) layout.temp.collapseOnto(layout.text.max);
}

// The first rule of the file order the layout breaks, or null.
const char* layoutFault(const ModuleLayout& layout, uint32_t count) {
    const RegionBounds &data = layout.data, &read = layout.read, &text = layout.text, &temp = layout.temp;
    if (layout.secHdrs >= data.min || layout.fileInfo >= data.min || layout.crcs >= data.min)
        return "***Error: SecHrs, FileInfo, or CRCs in bad spot in file. Return -1.\n";
    if (data.min > data.max) return "***Error: DataMin > DataMax. break.\n";
    if (data.min > read.min) return "***Error: DataMin > ReadMin. break.\n";
    if (data.max > read.min) return "***Error: DataMax > ReadMin. break.\n";
    if (read.min > read.max) return "***Error: ReadMin > ReadMax. break.\n";
    if (read.min > text.min) return "***Error: ReadMin > TextMin. break.\n";
    if (read.max > text.min) return "***Error: ReadMax > TextMin. break.\n";
    if (text.min > text.max) return "***Error: TextMin > TextMax. break.\n";
    if (text.min > temp.min) return "***Error: TextMin > TempMin. break.\n";
    if (text.max > temp.min) return "***Error: TextMax > TempMin. break.\n";
    if (temp.min > temp.max) return "***Error: TempMin > TempMax. break.\n";
    if (temp.min > count) return "***Error: TempMin > eof. break.\n";
    if (temp.max > count) return "***Error: TempMax > eof. break.\n";
    return nullptr;
}

void printLayout(const ModuleLayout& layout) {
    printOut("foff_SecHdrs  = 0x%08X\n", layout.secHdrs);
    printOut("foff_CRCs     = 0x%08X\n", layout.crcs);
    printOut("foff_FileInfo = 0x%08X\n", layout.fileInfo);
    printOut("foff_DataMin  = 0x%08X\n", layout.data.min);
    printOut("foff_DataMax  = 0x%08X\n", layout.data.max);
    printOut("foff_ReadMin  = 0x%08X\n", layout.read.min);
    printOut("foff_ReadMax  = 0x%08X\n", layout.read.max);
    printOut("foff_TextMin  = 0x%08X\n", layout.text.min);
    printOut("foff_TextMax  = 0x%08X\n", layout.text.max);
    printOut("foff_TempMin  = 0x%08X\n", layout.temp.min);
    printOut("foff_TempMax  = 0x%08X\n", layout.temp.max);
}

}  // namespace

int verifyModuleLayout(const uint8_t* bytes, uint32_t count) {
    if (!bytes || count < sizeof(Elf32_Ehdr)) {
        printOut("***Error: generated file is too small for an ELF header. Return -1.\n");
        return -1;
    }
    // The headers are read in copies, in host order.
    const bool swap = bytes[EI_DATA] != ELFDATA2LSB;
    Elf32_Ehdr header;
    memcpy(&header, bytes, sizeof header);
    if (swap) swapElfHeader(header);
    const uint32_t shoff = header.e_shoff;
    const uint32_t shnum = header.e_shnum;
    const uint32_t stride = header.e_shentsize ? header.e_shentsize : uint32_t(sizeof(Elf32_Shdr));

    // Every header read must lie inside the file.
    if (shnum != 0 &&
        uint64_t(shoff) + uint64_t(shnum - 1) * stride + sizeof(Elf32_Shdr) > count) {
        printOut("***Error: section header table runs past the end of the generated file. Return -1.\n");
        return -1;
    }

    ModuleLayout layout;
    layout.secHdrs = shoff;
    for (uint32_t i = 0; i < shnum; ++i) {
        Elf32_Shdr sh;
        memcpy(&sh, bytes + shoff + uint64_t(i) * stride, sizeof sh);
        if (swap) swapSectionHeader(sh);
        if (int result = addSection(layout, sh)) return result;
    }
    collapseEmptyRegions(layout, sectionEnd(shoff, shnum * stride));

    const char* failure = layoutFault(layout, count);
    if (!failure) return 0;
    printOut("%s", failure);
    printLayout(layout);
    return -1;
}
