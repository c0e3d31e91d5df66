#include "elf/SectionContents.h"

#include <algorithm>

#include "elf/InputState.h"

Elf32_Shdr* inputSectionHeader(ElfContext& ctx, uint32_t index) {
    const ElfImage& image = ctx.input.image;
    if (!image.bytes || index >= image.sectionCount() || !image.sectionHeaders) return nullptr;
    const uint64_t at = uint64_t(index) * image.sectionHeaderSize;
    if (uint64_t(image.sectionHeaders - image.bytes) + at + sizeof(Elf32_Shdr) > image.byteCount) return nullptr;
    return reinterpret_cast<Elf32_Shdr*>(image.sectionHeaders + at);
}

uint8_t* sectionContents(ElfContext& ctx, uint32_t index) {
    auto& own = ctx.input.ownContents;
    auto found = own.find(index);
    if (found != own.end()) return found->second.data();
    const Elf32_Shdr* header = inputSectionHeader(ctx, index);
    const ElfImage& image = ctx.input.image;
    if (!header || header->sh_offset >= image.byteCount) return nullptr;
    return image.bytes + header->sh_offset;
}

uint32_t sectionContentsCapacity(ElfContext& ctx, uint32_t index) {
    auto& own = ctx.input.ownContents;
    auto found = own.find(index);
    if (found != own.end()) return uint32_t(found->second.size());
    const Elf32_Shdr* header = inputSectionHeader(ctx, index);
    const ElfImage& image = ctx.input.image;
    if (!header || header->sh_offset >= image.byteCount) return 0;
    uint32_t left = image.byteCount - header->sh_offset;
    return header->sh_size < left ? header->sh_size : left;
}

uint8_t* replaceSectionContents(ElfContext& ctx, uint32_t index, std::vector<uint8_t> buffer) {
    auto& slot = ctx.input.ownContents[index];
    slot = std::move(buffer);
    return slot.data();
}

void detachSectionsOverHeaders(ElfContext& ctx) {
    const ElfImage& image = ctx.input.image;
    if (!image.bytes) return;
    const Elf32_Ehdr& header = image.header();
    struct Span {
        uint64_t start, end;
    };
    const Span headers[] = {
        {0, std::max<uint64_t>(image.headerSize, sizeof(Elf32_Ehdr))},
        {header.e_phoff, header.e_phoff + uint64_t(header.e_phnum) * image.programHeaderSize},
        {header.e_shoff, header.e_shoff + uint64_t(header.e_shnum) * image.sectionHeaderSize},
    };
    const uint32_t count = image.sectionCount();
    for (uint32_t i = 1; i < count; ++i) {
        const uint32_t capacity = sectionContentsCapacity(ctx, i);
        if (capacity == 0) continue;
        const uint64_t start = inputSectionHeader(ctx, i)->sh_offset;
        const uint64_t end = start + capacity;
        bool overlaps = false;
        for (const Span& span : headers) overlaps |= span.start < span.end && start < span.end && span.start < end;
        if (!overlaps) continue;
        const uint8_t* bytes = sectionContents(ctx, i);
        replaceSectionContents(ctx, i, std::vector<uint8_t>(bytes, bytes + capacity));
    }
}
