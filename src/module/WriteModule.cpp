#include "module/WriteModule.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/Output.h"
#include "core/Platform.h"
#include "module/ModuleState.h"
#include "elf/SectionContents.h"
#include "module/FileInfo.h"

namespace {

// The input's ELF header turned into the module's, in the file's byte order.
Elf32_Ehdr moduleElfHeader(ModuleContext& ctx) {
    const ModuleState& module = ctx.module;
    // A copy: the input header keeps describing the input's sections, whose
    // contents are still to be copied.
    Elf32_Ehdr header = ctx.input.image.header();
    header.e_phentsize = 0;
    header.e_phnum = 0;
    header.e_phoff = 0;
    header.e_flags = 0;
    header.e_ident[EI_OSABI] = 0xB7;
    header.e_ident[EI_ABIVERSION] = 0x1E;
    header.e_type = 0xFE01;
    header.e_ehsize = 0x34;
    header.e_shoff = 0x40;
    // The table written has 40-byte entries; an input that says 0 there (which
    // means 40) must not leave 0 in the module.
    header.e_shentsize = uint16_t(sizeof(Elf32_Shdr));
    header.e_shnum = uint16_t(module.outputSectionCount);
    header.e_shstrndx = module.outputShstrndx;
    Elf32_Ehdr written = header;
    if (!ctx.input.image.littleEndian()) swapElfHeader(written);
    return written;
}

// A zero-filled section has no bytes in the file: its header says offset 0.
void clearZeroFilledOffsets(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    for (uint32_t i = 1; i + 2 < module.outputSectionCount; ++i) {
        Elf32_Shdr& s = module.outputSections[i];
        if (s.sh_type == SHT_NOBITS) s.sh_offset = 0;
    }
}

// Writes the stored contents of every placed section at its offset. The
// uncompressed ones come straight from the input section they were made of;
// bytes the input does not hold, and the gaps between sections, stay zero.
// Each compressed copy is released as soon as it is written.
bool writeSectionContents(ModuleContext& ctx, AtomicFile& file) {
    ModuleState& module = ctx.module;
    const uint32_t n = module.outputSectionCount;
    for (uint32_t i = 1; i + 2 < n; ++i) {
        const Elf32_Shdr& s = module.outputSections[i];
        if (s.sh_size == 0 || s.sh_offset == 0 || s.sh_type == SHT_NOBITS) continue;
        // Only what this build compressed has a stored copy; a flag that the
        // input already carried says nothing about these bytes.
        StoredBytes& stored = module.storedContents[i];
        const uint8_t* bytes = stored.data();
        size_t length = stored.size();
        if (stored.empty()) {
            const uint32_t old = module.indexMap.newToOld[i];
            bytes = sectionContents(ctx, old);
            length = bytes ? sectionContentsCapacity(ctx, old) : 0;
            if (length > s.sh_size) length = s.sh_size;
        }
        if (length && (!atomicFileSeek(file, s.sh_offset) || !atomicFileWrite(file, bytes, length))) return false;
        stored.reset();
    }
    return true;
}

void copySectionHeaders(ModuleContext& ctx, uint8_t* image) {
    const ModuleState& module = ctx.module;
    const bool swap = !ctx.input.image.littleEndian();
    for (uint32_t i = 1; i < module.outputSectionCount; ++i) {
        Elf32_Shdr s = module.outputSections[i];
        if (swap) swapSectionHeader(s);
        memcpy(image + 0x40 + size_t(i) * 40, &s, sizeof s);
    }
}

void copyFileInfoAndCrcs(ModuleContext& ctx, uint8_t* image) {
    ModuleState& module = ctx.module;
    const uint32_t n = module.outputSectionCount;
    std::vector<uint8_t> info = fileInfoBytesForFile(ctx);
    info.resize(module.fileInfoSize, 0);
    memcpy(image + module.fileInfoOffset, info.data(), info.size());
    module.sectionCrcs[n - 1] = uint32_t(crc32(0, info.data(), uInt(info.size())));
    for (uint32_t i = 0; i < n; ++i) writeBe32(image + module.crcsOffset + 4 * size_t(i), module.sectionCrcs[i]);
}

}  // namespace

int writeModuleFile(ModuleContext& ctx, AtomicFile& written) {
    ModuleState& module = ctx.module;
    clearZeroFilledOffsets(ctx);

    // The ELF header, the section header table, the CRCs and FileInfo lie in
    // front of the first group; they are put together in memory. The
    // sections follow, each written at its offset, and the file is then
    // given its full length: the gaps between them, and zero-filled room
    // that a section takes in the file, are zeros the file need not hold in
    // memory.
    const uint64_t headLength = std::min<uint64_t>(
        (uint64_t(module.fileInfoOffset) + module.fileInfoSize + 63) & ~uint64_t(63), module.fileLength);
    std::unique_ptr<uint8_t, decltype(&free)> head(static_cast<uint8_t*>(calloc(headLength ? headLength : 1, 1)),
                                                   &free);
    if (!head) {
        printOut("***Error: Mem alloc failed.\n");
        return -1;
    }
    const Elf32_Ehdr header = moduleElfHeader(ctx);
    memcpy(head.get(), &header, sizeof header);
    copyFileInfoAndCrcs(ctx, head.get());
    copySectionHeaders(ctx, head.get());

    AtomicFile file;
    if (atomicFileOpen(file, ctx.settings.outputPath) != 0) {
        printOut("***Error: Could not open outfile file for writing.\n");
        return -1;
    }
    if (!atomicFileWrite(file, head.get(), size_t(headLength)) || !writeSectionContents(ctx, file) ||
        !atomicFileResize(file, module.fileLength)) {
        atomicFileAbort(file);
        printOut("***Error: Failed writing output file.\n");
        return -1;
    }
    if (atomicFileClose(file) != 0) {
        printOut("***Error: Failed writing output file.\n");
        return -1;
    }
    // It takes the output name once the written module passes its check.
    written = std::move(file);
    return 0;
}
