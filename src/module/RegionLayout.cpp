#include "module/RegionLayout.h"

#include <cstring>

#include "core/Output.h"
#include "module/ModuleState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

constexpr uint32_t kTrampolineSize = 16;
constexpr uint32_t kBranchReach = 0x1FFFFFC;

uint32_t roundUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// The first PT_TLS program header (32-byte entries); entries that would lie
// beyond the end of the file are not read.
bool findTlsHeader(ModuleContext& ctx, Elf32_Phdr& tls) {
    const ElfImage& image = ctx.input.image;
    if (!image.bytes || !image.programHeaders) return false;
    const uint64_t start = uint64_t(image.programHeaders - image.bytes);
    const uint32_t count = image.header().e_phnum;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t offset = start + uint64_t(i) * sizeof(Elf32_Phdr);
        if (offset + sizeof(Elf32_Phdr) > image.byteCount) break;
        memcpy(&tls, image.programHeaders + uint64_t(i) * sizeof(Elf32_Phdr), sizeof tls);
        if (tls.p_type == PT_TLS) return true;
    }
    return false;
}

// Whether a REL24 call from section `target` to `symbolIndex` goes through a
// trampoline: calls to undefined symbols and to imports do.
bool needsTrampoline(ModuleContext& ctx, uint32_t symbolIndex, uint32_t target) {
    uint32_t symbolCount = 0;
    const Elf32_Sym* symbols = viewSymbols(ctx, symbolCount);
    if (!symbols || symbolIndex >= symbolCount) return false;
    const uint16_t shndx = symbols[symbolIndex].st_shndx;
    if (shndx == target) return false;
    if (shndx == 0) return true;
    if (shndx > SHN_LORESERVE || shndx >= ctx.input.image.sectionCount()) return false;
    return inputSectionHeader(ctx, shndx)->sh_type == SHT_IMPORT_TABLE;
}

}  // namespace

int checkTlsLayout(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    module.hasTls = false;
    module.tlsAlignLog2 = 0;
    Elf32_Phdr tls;
    if (!findTlsHeader(ctx, tls)) return 0;
    uint32_t lowest = 0xFFFFFFFF;
    uint32_t highest = 0;
    uint32_t alignment = 0;
    for (uint32_t i = 1; i < ctx.input.image.sectionCount(); ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(ctx, i);
        if (s.sh_size == 0 || !(s.sh_flags & SHF_TLS_DATA)) continue;
        if (s.sh_addr < lowest) lowest = s.sh_addr;
        if (s.sh_addr + s.sh_size > highest) highest = s.sh_addr + s.sh_size;
        if (s.sh_addralign > alignment) alignment = s.sh_addralign;
    }
    if (tls.p_vaddr != lowest || tls.p_memsz != highest - lowest || tls.p_align != alignment) {
        printOut("***Error: TLS Program Header does not match TLS sections.\n");
        return -1;
    }
    if (alignment == 0) {
        module.hasTls = true;
        return 0;
    }
    for (uint16_t n = 0; n < 32; ++n) {
        if (alignment == (uint32_t(1) << n)) {
            module.tlsAlignLog2 = n;
            module.hasTls = true;
            return 0;
        }
    }
    printOut("***Error: TLS Program Header alignment is not a power of two.\n");
    return -1;
}

int reserveTrampolines(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    const RegionExtent& text = module.regions[TEXT];
    FileInfoRecord& info = module.fileInfo;
    if (text.end == text.base) {
        info.textSize = 0;
        info.trampAdj = 0;
        return 0;
    }
    uint32_t low = text.base & ~15u;
    uint32_t high = roundUp(text.end, 16);
    uint32_t count = 0;
    const uint32_t n = ctx.input.image.sectionCount();
    for (uint32_t r = 1; r < n; ++r) {
        const Elf32_Shdr& relocations = *inputSectionHeader(ctx, r);
        if (relocations.sh_size == 0 || relocations.sh_type != SHT_RELA) continue;
        if (relocations.sh_info >= n || !(inputSectionHeader(ctx, relocations.sh_info)->sh_flags & SHF_EXECINSTR)) continue;
        const EntrySpan<Elf32_Rela> entries = relocationEntries(ctx, r);
        for (uint32_t k = 0; k < entries.count; ++k) {
            Elf32_Rela entry;
            memcpy(&entry, entries.entryBytes(k), sizeof entry);
            if (relocationType(entry.r_info) != R_PPC_REL24) continue;
            if (!needsTrampoline(ctx, relocationSymbol(entry.r_info), relocations.sh_info)) continue;
            ++count;
            if (high - entry.r_offset <= kBranchReach) {
                high += kTrampolineSize;
            } else {
                low -= kTrampolineSize;
                if (entry.r_offset - low > kBranchReach) {
                    printOut("***Error: Text is too big to permit a relative relocation to a trampoline to a target "
                             "section!.\n");
                    return -1;
                }
            }
        }
    }
    module.trampolineLow = low;
    module.trampolineHigh = high;
    module.trampolineCount = count;
    const uint32_t alignment = text.align ? text.align : 1;
    const uint32_t alignedLow = (low / alignment) * alignment;
    info.textSize = high - alignedLow;
    info.trampAdj = text.base - alignedLow;
    if (ctx.settings.verbose) {
        const uint32_t regionSize = text.end - text.base;
        printOut("TEXT ADJUSTED from 0x%8.8x to 0x%8.8x for %d TRAMPOLINES\n", regionSize, info.textSize, count);
        printOut("TEXT TRAMP ADDITION is %d\n", info.textSize - regionSize);
        info.textGrowth = info.textSize - regionSize;
    }
    return 0;
}

int checkZeroFilledCode(ModuleContext& ctx) {
    for (uint32_t i = 1; i < ctx.input.image.sectionCount(); ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(ctx, i);
        if (!(s.sh_flags & SHF_EXECINSTR) || s.sh_type == SHT_EXPORT_TABLE || !(s.sh_type & 0x8)) continue;
        std::string_view name = sectionNameAt(ctx, i);
        printOut("*** Error: Placing a zero filled section '%.*s'(%d) in the code area is not allowed.\n",
                 int(name.size()), name.data(), i);
        return -1;
    }
    return 0;
}

bool checkRegionLimit(ModuleContext& ctx, uint32_t alignment, int32_t limit, const char* regionName, const char* optionName, int32_t size) {
    const char* path = ctx.settings.outputPath.c_str();
    const int32_t freeBytes = int32_t(uint32_t(limit) - uint32_t(size));
    bool failed = false;
    // Signed 32-bit remainder, taken in 64 bits so that no divisor traps; an
    // alignment of 0 asks for nothing.
    const int32_t signedAlignment = int32_t(alignment);
    if (signedAlignment != 0 && int64_t(limit) % int64_t(signedAlignment) != 0) {
        printOut("Error: \"%s\" %s %d is not aligned to %s segment %d byte alignment (try %d).\n", path, optionName,
                 limit, regionName, alignment, int32_t(roundUp(uint32_t(limit), alignment)));
        failed = true;
    }
    if (size > limit) {
        printOut("Error: %s has %s size of %d is larger then limit from %s %d\n", path, regionName, size, optionName,
                 limit);
        return true;
    }
    if (size != 0) {
        const double percent = double(freeBytes) / double(size) * 100.0;
        if (percent <= 1.0) {
            printOut("Warning: %s has %s size of %d which leaves %6.2f%% (%d bytes) free\n", path, regionName, size,
                     percent, freeBytes);
            printOut("Warning: %s based on %s %d\n", path, optionName, limit);
        }
    }
    return failed;
}

int finishRegionSizes(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    FileInfoRecord& info = module.fileInfo;
    const ToolSettings& options = ctx.settings;

    const uint32_t loadAlign = info.loadAlign ? info.loadAlign : 1;
    const uint32_t trailer = roundUp(module.fileInfoSize - 96, loadAlign);
    info.loadSize += trailer;
    info.trailerSize = trailer;

    if (options.paddingBySize) {
        if (checkRegionLimit(ctx, info.dataAlign, options.sizeData, "DATA", "-sizedata", int32_t(info.dataSize))) return -1;
        if (checkRegionLimit(ctx, info.loadAlign, options.sizeLoad, "LOAD", "-sizeload", int32_t(info.loadSize))) return -1;
        if (checkRegionLimit(ctx, 4, options.sizeTemp, "TEMP", "-sizetemp", int32_t(module.tempStoredTotal))) return -1;
        if (checkRegionLimit(ctx, info.textAlign, options.sizeText, "TEXT", "-sizetext", int32_t(info.textSize))) return -1;
        info.dataSize = uint32_t(options.sizeData);
        info.loadSize = uint32_t(options.sizeLoad);
        info.tempSize = uint32_t(options.sizeTemp);
        info.textSize = uint32_t(options.sizeText);
    }
    if (options.padAllPercent != 0) {
        const uint32_t percent = uint32_t(options.padAllPercent);
        auto pad = [percent](uint32_t size, uint32_t alignment) {
            const uint32_t padded = size + (size * percent) / 100;
            return alignment ? roundUp(padded, alignment) : padded;
        };
        info.dataSize = pad(info.dataSize, info.dataAlign);
        info.loadSize = pad(info.loadSize, info.loadAlign);
        info.tempSize = pad(info.tempSize, info.loadAlign);
        info.textSize = pad(info.textSize, info.textAlign);
    }
    return 0;
}
