// The last steps of the module build run on a staged state: the input read,
// the kept sections chosen and FileInfo filled by hand, then the output
// section table, placement, region sizes and the write.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/ModuleChecker.h"
#include "support/ElfBuilder.h"

namespace moduletest {

// Reads the built input and keeps the listed input sections (in input
// order) as the classification would; FileInfo is a zeroed 0x80-byte record
// with its constant fields, every region size 0.
::testing::AssertionResult stage(ElfBuilder& b, std::vector<uint8_t>& bytes, const std::vector<uint32_t>& kept);

struct Finished {
    int result = 0;
    std::string out;
    std::vector<uint8_t> module;
};

// The steps of this stage in their order, stopping at the first failure.
Finished finishBuild();

// The written module read back; every problem the checker finds fails the test.
CheckedModule checked(const std::vector<uint8_t>& bytes);

uint32_t streamLength(const std::vector<uint8_t>& data, int level = -1);
std::vector<uint8_t> counting(uint32_t size);
std::vector<uint8_t> randomBytes(size_t size, unsigned seed);
std::vector<uint8_t> sliceOf(const std::vector<uint8_t>& bytes, size_t offset, size_t length);

// Sections of every group:
//   1 .text     code at 0x02000000, 16 bytes
//   2 .data     256 zero bytes at 0x10000000
//   3 .bss      NOBITS, 64 bytes at 0x10000100
//   4 .rodata   read-only, 20 bytes at 0x10000200
//   5 .fexports export table at 0xC0000000, 16 bytes
//   6 .symtab (null + main), 7 .strtab, 8 .rela.text, 9 .shstrtab
struct GroupsInput {
    ElfBuilder b;
    uint32_t text, data, bss, rodata, exports, symtab, strtab, rela, names;
};

GroupsInput groupsInput(bool bigEndian = true);

// The region sizes and alignments of the groups input.
void setGroupSizes();

}  // namespace moduletest
