#include "module/SectionTable.h"

#include "module/ModuleState.h"
#include "elf/SectionContents.h"

namespace {

// New index of an input section, for a field that names one; indices at or
// above the input's section count are left as they are.
uint32_t remapSectionIndex(ModuleContext& ctx, uint32_t index) {
    const ModuleState& module = ctx.module;
    if (index >= module.inputSectionCount) return index;
    if (index >= module.indexMap.oldToNew.size()) return 0xFFFFFFFF;
    return uint32_t(module.indexMap.oldToNew[index]);
}

// How many entries of `entrySize` bytes the section holds and its contents reach.
uint32_t readableEntries(ModuleContext& ctx, uint32_t inputIndex, const Elf32_Shdr& header, uint32_t entrySize) {
    const uint32_t count = header.sh_size / entrySize;
    const uint32_t readable = sectionContentsCapacity(ctx, inputIndex) / entrySize;
    return count < readable ? count : readable;
}

// Relocation entries back in the file's byte order.
void convertRelocationsToFileOrder(ModuleContext& ctx, uint32_t inputIndex, const Elf32_Shdr& header) {
    uint8_t* contents = sectionContents(ctx, inputIndex);
    if (!contents) return;
    const uint32_t count = readableEntries(ctx, inputIndex, header, 12);
    bool swap = !ctx.input.image.littleEndian();
    for (uint32_t k = 0; k < count; ++k) {
        auto* entry = reinterpret_cast<Elf32_Rela*>(contents + size_t(k) * 12);
        if (swap) swapRela(*entry);
    }
}

// SHT_REL entries back in the file's byte order. The reader turned them to
// host order (with the file's stride, unless the section was flagged as
// compressed); the module keeps them, so they are turned back the same way.
void convertRelEntriesToFileOrder(ModuleContext& ctx, uint32_t inputIndex, const Elf32_Shdr& header) {
    if (header.sh_flags & SHF_DEFLATED) return;
    uint8_t* contents = sectionContents(ctx, inputIndex);
    if (!contents || ctx.input.image.littleEndian()) return;
    const uint32_t stride = header.sh_entsize ? header.sh_entsize : 8;
    if (stride < 8) return;
    const uint64_t capacity = sectionContentsCapacity(ctx, inputIndex);
    const uint32_t count = header.sh_size / stride;
    for (uint32_t k = 0; k < count && uint64_t(k) * stride + 8 <= capacity; ++k)
        swapRel(*reinterpret_cast<Elf32_Rel*>(contents + size_t(k) * stride));
}

// Symbols renumbered to the module's section indices and back in the file's
// byte order.
void convertSymbolsToFileOrder(ModuleContext& ctx, uint32_t inputIndex, const Elf32_Shdr& header) {
    uint8_t* contents = sectionContents(ctx, inputIndex);
    if (!contents) return;
    const uint32_t count = readableEntries(ctx, inputIndex, header, 16);
    bool swap = !ctx.input.image.littleEndian();
    for (uint32_t k = 0; k < count; ++k) {
        auto* symbol = reinterpret_cast<Elf32_Sym*>(contents + size_t(k) * 16);
        if (symbol->st_shndx < ctx.module.inputSectionCount)
            symbol->st_shndx = uint16_t(remapSectionIndex(ctx, symbol->st_shndx));
        if (swap) swapSymbol(*symbol);
    }
}

}  // namespace

int buildSectionTable(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    const Elf32_Ehdr& header = ctx.input.image.header();
    module.inputSectionCount = header.e_shnum;
    const uint32_t n = module.indexMap.keptCount + 2;
    module.outputSectionCount = n;
    module.outputSections.assign(n, Elf32_Shdr{});
    module.outputShstrndx = header.e_shstrndx < module.inputSectionCount
                                ? uint16_t(remapSectionIndex(ctx, header.e_shstrndx))
                                : uint16_t(header.e_shstrndx);

    for (uint32_t i = 1; i + 2 < n; ++i) {
        const uint32_t old = i < module.indexMap.newToOld.size() ? module.indexMap.newToOld[i] : 0;
        const Elf32_Shdr* input = old ? inputSectionHeader(ctx, old) : nullptr;
        if (!input) continue;  // no such input section: the entry stays all zero
        Elf32_Shdr section = *input;
        section.sh_offset = 0;
        if (section.sh_type == SHT_RELA) {
            section.sh_link = remapSectionIndex(ctx, section.sh_link);
            section.sh_info = remapSectionIndex(ctx, section.sh_info);
            convertRelocationsToFileOrder(ctx, old, section);
        } else if (section.sh_type == SHT_SYMTAB) {
            section.sh_link = remapSectionIndex(ctx, section.sh_link);
            convertSymbolsToFileOrder(ctx, old, section);
        } else if (section.sh_type == SHT_REL) {
            convertRelEntriesToFileOrder(ctx, old, section);
        }
        module.outputSections[i] = section;
    }
    return 0;
}
