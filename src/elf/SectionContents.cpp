#include "elf/SectionContents.h"

#include "driver/ToolState.h"

Elf32_Shdr* inputSectionHeader(uint32_t index) {
    const ElfImage& image = inputImage();
    if (!image.bytes || index >= image.sectionCount() || !image.sectionHeaders) return nullptr;
    return reinterpret_cast<Elf32_Shdr*>(image.sectionHeaders + size_t(index) * 40);
}

uint8_t* sectionContents(uint32_t index) {
    auto& own = toolState().input.ownContents;
    auto found = own.find(index);
    if (found != own.end()) return found->second.data();
    const Elf32_Shdr* header = inputSectionHeader(index);
    const ElfImage& image = inputImage();
    if (!header || header->sh_offset >= image.byteCount) return nullptr;
    return image.bytes + header->sh_offset;
}

uint32_t sectionContentsCapacity(uint32_t index) {
    auto& own = toolState().input.ownContents;
    auto found = own.find(index);
    if (found != own.end()) return uint32_t(found->second.size());
    const Elf32_Shdr* header = inputSectionHeader(index);
    const ElfImage& image = inputImage();
    if (!header || header->sh_offset >= image.byteCount) return 0;
    uint32_t left = image.byteCount - header->sh_offset;
    return header->sh_size < left ? header->sh_size : left;
}

uint8_t* replaceSectionContents(uint32_t index, std::vector<uint8_t> buffer) {
    auto& slot = toolState().input.ownContents[index];
    slot = std::move(buffer);
    return slot.data();
}
