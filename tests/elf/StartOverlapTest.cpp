#include "elf/StartOverlap.h"

#include <gtest/gtest.h>

#include <random>

#include "support/TestContext.h"
#include "elf/ElfReader.h"
#include "support/ElfBuilder.h"

namespace {

// The pairwise form of the test: every span against every later one.
std::vector<bool> startsInsideLaterPairwise(const std::vector<FileSpan>& spans) {
    std::vector<bool> inside(spans.size(), false);
    for (size_t i = 0; i < spans.size(); ++i) {
        if (!spans[i].placed) continue;
        for (size_t j = i + 1; j < spans.size(); ++j) {
            if (!spans[j].placed) continue;
            const uint32_t end = spans[j].offset + spans[j].size;  // 32-bit, may wrap
            if (spans[j].offset <= spans[i].offset && spans[i].offset < end) {
                inside[i] = true;
                break;
            }
        }
    }
    return inside;
}

// Offsets and sizes from a small range, so that spans meet, nest and share
// starts, plus values near 4 GiB whose sums wrap.
uint32_t randomOffset(std::mt19937& rng) {
    switch (rng() % 8) {
    case 0: return 0xFFFFFFFF - rng() % 24;
    case 1: return 0x7FFFFFF0 + rng() % 32;
    default: return rng() % 48;
    }
}

uint32_t randomSize(std::mt19937& rng) {
    switch (rng() % 8) {
    case 0: return 0;
    case 1: return 0xFFFFFFFF - rng() % 40;
    case 2: return 0x80000000 + rng() % 32;
    default: return 1 + rng() % 20;
    }
}

TEST(StartOverlapTest, SweepEqualsPairwiseOnRandomTables) {
    std::mt19937 rng(20240611);
    size_t flagged = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<FileSpan> spans(rng() % 14);
        for (FileSpan& s : spans) s = FileSpan{randomOffset(rng), randomSize(rng), rng() % 5 != 0};
        const std::vector<bool> fast = startsInsideLaterSpan(spans);
        ASSERT_EQ(fast, startsInsideLaterPairwise(spans)) << "round " << round;
        for (bool f : fast) flagged += f;
    }
    EXPECT_GT(flagged, 10000u);  // the tables do overlap
}

TEST(StartOverlapTest, WrappingAndBoundaryCases) {
    // A span ending exactly at 4 GiB wraps to 0 and holds nothing.
    EXPECT_EQ(startsInsideLaterSpan({{0xFFFFFFF8, 1, true}, {0xFFFFFFF0, 0x10, true}}),
              (std::vector<bool>{false, false}));
    EXPECT_EQ(startsInsideLaterSpan({{0xFFFFFFF8, 1, true}, {0xFFFFFFF0, 0xF, true}}),
              (std::vector<bool>{true, false}));
    // Equal starts; the end itself is outside; unplaced spans take no part.
    EXPECT_EQ(startsInsideLaterSpan({{8, 4, true}, {8, 1, true}, {12, 4, true}, {8, 100, false}, {12, 1, true}}),
              (std::vector<bool>{true, false, true, false, false}));
    EXPECT_EQ(startsInsideLaterSpan({{8, 4, true}, {0, 100, false}}), (std::vector<bool>{false, false}));
    EXPECT_EQ(startsInsideLaterSpan({{12, 1, true}, {8, 4, true}, {11, 0, true}}),
              (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(startsInsideLaterSpan({}).empty());
}

TEST(StartOverlapTest, LargeTablesStayFast) {
    // 200000 nested spans: each lies inside the next one.
    std::vector<FileSpan> spans(100000);
    for (uint32_t i = 0; i < spans.size(); ++i) spans[i] = FileSpan{100000 - i, 2 * i + 1, true};
    const std::vector<bool> inside = startsInsideLaterSpan(spans);
    EXPECT_EQ(std::count(inside.begin(), inside.end(), true), 99999);
    EXPECT_FALSE(inside.back());
}

// The placement steps of the reader written out pairwise, in their order:
// sections (header, program headers, section headers, later sections, per
// section), program headers against later ones, then the extents.
uint32_t placementCodePairwise(const std::vector<Elf32_Shdr>& sh, const std::vector<Elf32_Phdr>& ph, uint32_t phoff,
                               uint32_t shoff, uint32_t count) {
    auto placed = [](const Elf32_Shdr& s) { return s.sh_size != 0 && s.sh_type != SHT_NOBITS; };
    auto loaded = [](const Elf32_Phdr& p) { return p.p_filesz != 0 && p.p_type != PT_NULL; };
    const uint32_t shnum = uint32_t(sh.size()), phnum = uint32_t(ph.size());
    for (uint32_t i = 1; i < shnum; ++i) {
        if (!placed(sh[i])) continue;
        const uint32_t o = sh[i].sh_offset;
        if (o < 52) return 0xBAD00024;
        if (phoff != 0 && phnum != 0 && phoff <= o && o < phoff + phnum * 32) return 0xBAD00026;
        if (shoff <= o && o < shoff + shnum * 40) return 0xBAD00027;
        for (uint32_t j = i + 1; j < shnum; ++j)
            if (placed(sh[j]) && sh[j].sh_offset <= o && o < uint32_t(sh[j].sh_offset + sh[j].sh_size))
                return 0xBAD00028;
    }
    for (uint32_t i = 1; i < phnum; ++i) {
        if (!loaded(ph[i])) continue;
        for (uint32_t j = i + 1; j < phnum; ++j)
            if (loaded(ph[j]) && ph[j].p_offset <= ph[i].p_offset &&
                ph[i].p_offset < uint32_t(ph[j].p_offset + ph[j].p_filesz))
                return 0xBAD00032;
    }
    for (uint32_t i = 1; i < shnum; ++i)
        if (placed(sh[i]) && uint64_t(sh[i].sh_offset) + sh[i].sh_size > count) return 0xBAD00025;
    for (uint32_t i = 1; i < phnum; ++i)
        if (loaded(ph[i]) && uint64_t(ph[i].p_offset) + ph[i].p_filesz > count) return 0xBAD00029;
    return 0;
}

uint32_t randomFileOffset(std::mt19937& rng) {
    switch (rng() % 10) {
    case 0: return 0xFFFFFFFF - rng() % 24;
    case 1: return rng() % 60;
    default: return 52 + rng() % 560;
    }
}

uint32_t randomFileSize(std::mt19937& rng) {
    switch (rng() % 10) {
    case 0: return 0;
    case 1: return 0xFFFFFFFF - rng() % 600;
    case 2: return 700 + rng() % 40;
    default: return 1 + rng() % 64;
    }
}

TEST(StartOverlapTest, ReaderGivesThePairwiseCodeOnRandomImages) {
    std::mt19937 rng(77);
    std::map<uint32_t, int> seen;
    for (int round = 0; round < 4000; ++round) {
        resetTestContext();
        ElfBuilder b;
        b.bigEndian = rng() % 2;
        b.withSectionNames = false;
        b.minimumSize = 720;
        const uint32_t sections = rng() % 12;
        const uint32_t programs = rng() % 7;
        const uint32_t types[] = {SHT_PROGBITS, SHT_NOBITS, SHT_NULL, SHT_STRTAB};
        for (uint32_t i = 0; i < sections; ++i) {
            TestSection s;
            s.type = types[rng() % 4];
            s.unplaced = true;
            s.forceOffset = randomFileOffset(rng);
            s.forceSize = randomFileSize(rng);
            b.addSection(s);
        }
        for (uint32_t i = 0; i < programs; ++i) {
            Elf32_Phdr p{};
            p.p_type = rng() % 4 == 0 ? PT_NULL : PT_LOAD;
            p.p_offset = randomFileOffset(rng);
            p.p_filesz = randomFileSize(rng);
            b.addProgramHeader(p);
        }
        std::vector<uint8_t> bytes = b.build();
        const ElfLayout& l = b.layout();

        std::vector<Elf32_Shdr> sh(sections + 1, Elf32_Shdr{});
        for (uint32_t i = 1; i <= sections; ++i) {
            sh[i].sh_type = b.section(i).type;
            sh[i].sh_offset = *b.section(i).forceOffset;
            sh[i].sh_size = *b.section(i).forceSize;
        }
        std::vector<Elf32_Phdr> ph;
        for (const auto& segment : b.segments) ph.push_back(segment.header);
        const uint32_t want = placementCodePairwise(sh, ph, l.phoff, l.shoff, uint32_t(bytes.size()));

        ElfImage image;
        ASSERT_EQ(readElfImage(bytes.data(), uint32_t(bytes.size()), &image), want) << "round " << round;
        ++seen[want];
    }
    // Every placement code, and acceptance, came up.
    for (uint32_t code : {0u, 0xBAD00024u, 0xBAD00025u, 0xBAD00026u, 0xBAD00027u, 0xBAD00028u, 0xBAD00029u,
                          0xBAD00032u})
        EXPECT_GT(seen[code], 20) << std::hex << code;
}

}  // namespace
