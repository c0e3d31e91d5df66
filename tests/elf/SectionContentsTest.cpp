// Section contents as the passes reach them: the mapped bytes of a sound
// input, and copies of their own for sections whose bytes overlap a header.
#include <gtest/gtest.h>

#include <cstring>

#include "support/TestContext.h"
#include "elf/ElfReader.h"
#include "elf/SectionContents.h"
#include "support/ElfBuilder.h"

namespace {

int load(std::vector<uint8_t>& bytes) {
    resetTestContext();
    return loadInputElf(ctx, 6, "in.elf", bytes.data(), uint32_t(bytes.size()));
}

}  // namespace

TEST(SectionContents, SoundInputIsReachedInTheMappedBytes) {
    BasicInput basic = makeBasicInput();
    std::vector<uint8_t> bytes = basic.builder.build();
    ASSERT_EQ(load(bytes), 0);
    for (uint32_t i = 1; i < ctx.input.image.sectionCount(); ++i) {
        if (sectionContentsCapacity(ctx, i) == 0) continue;
        EXPECT_EQ(sectionContents(ctx, i), bytes.data() + inputSectionHeader(ctx, i)->sh_offset) << i;
    }
}

TEST(SectionContents, SectionsOverlappingAHeaderGetCopiesThatPassesMayRewrite) {
    // A section may start outside the headers and run into them (the reader
    // refuses only starts inside them), here into the section header table.
    // Writing its contents must leave every header as the reader left it.
    {
        BasicInput basic = makeBasicInput();
        // A name length that leaves a gap in front of the section header table.
        std::string name = ".n";
        uint32_t notes = 0;
        std::vector<uint8_t> bytes;
        for (;; name += 'x') {
            ElfBuilder b = basic.builder;
            notes = b.addSection({.name = name, .data = std::vector<uint8_t>(48, 0x11)});
            bytes = b.build();
            const ElfLayout& layout = b.layout();
            const uint32_t namesEnd = layout.sectionOffsets[layout.shstrndx] + layout.sectionSizes[layout.shstrndx];
            if (namesEnd == layout.shoff) continue;
            b.patch32(bytes, layout.sectionHeaderField(notes, offsetof(Elf32_Shdr, sh_offset)), namesEnd);
            break;
        }
        ASSERT_EQ(load(bytes), 0);
        const uint32_t offset = inputSectionHeader(ctx, notes)->sh_offset;
        const std::vector<uint8_t> before = bytes;
        uint8_t* contents = sectionContents(ctx, notes);
        ASSERT_NE(contents, nullptr);
        EXPECT_NE(contents, bytes.data() + offset);
        ASSERT_EQ(sectionContentsCapacity(ctx, notes), 48u);
        EXPECT_EQ(memcmp(contents, bytes.data() + offset, 48), 0);  // what the file holds there
        memset(contents, 0xEE, 48);
        EXPECT_EQ(bytes, before);
        // The other sections are not copied.
        EXPECT_EQ(sectionContents(ctx, basic.text), bytes.data() + inputSectionHeader(ctx, basic.text)->sh_offset);
    }
}
