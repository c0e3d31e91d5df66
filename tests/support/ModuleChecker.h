// An independent reader of written modules for the tests: it parses a QDL or
// QDX file with its own code and checks what the loader relies on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CheckedSection {
    uint32_t name = 0, type = 0, flags = 0, addr = 0, offset = 0, size = 0, link = 0, info = 0, align = 0, entsize = 0;
    std::vector<uint8_t> contents;  // uncompressed (inflated when compressed); empty for NOBITS
};

struct CheckedModule {
    bool littleEndian = false;
    uint16_t type = 0;
    uint16_t shstrndx = 0;
    std::vector<CheckedSection> sections;
    std::vector<uint32_t> crcs;
    std::vector<uint8_t> fileInfo;  // as written (big-endian)

    uint32_t fileInfoWord(uint32_t offset) const;
    std::string sectionName(size_t index) const;
    // The first section of that name, or -1.
    int findSection(const std::string& name) const;
};

// Parses `bytes` and returns every problem found (empty when the module is
// sound): header fields as the module format writes them, the table layout,
// 64-byte alignment, the DATA, LOAD, TEXT, TEMP order, every CRC, every
// compressed section inflating to its stated size, the FileInfo magic.
std::vector<std::string> checkModule(const std::vector<uint8_t>& bytes, CheckedModule& module);

std::vector<uint8_t> readWholeFile(const std::string& path);
