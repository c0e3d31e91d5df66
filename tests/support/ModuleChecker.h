// An independent reader of written modules for the tests: it parses a QDL or
// QDX file with its own code and checks what the loader relies on.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CheckedSection {
    uint32_t name = 0, type = 0, flags = 0, addr = 0, offset = 0, size = 0, link = 0, info = 0, align = 0, entsize = 0;
    std::vector<uint8_t> contents;  // uncompressed (inflated when compressed); empty for NOBITS
};

// The FileInfo record decoded from its big-endian form.
struct DecodedFileInfo {
    uint32_t magic = 0, textSize = 0, textAlign = 0, dataSize = 0, dataAlign = 0, loadSize = 0, loadAlign = 0;
    uint32_t tempSize = 0, trampAdj = 0, sdaBase = 0, sda2Base = 0, stackSize = 0, pathOffset = 0, flags = 0;
    uint32_t heapSize = 0, tagsOffset = 0, constant = 0, compressionLevel = 0, trampGrowth = 0, trailerSize = 0;
    uint32_t sdkVersion = 0, sdkRevision = 0, requestedSize = 0;
    uint16_t reserved = 0, tlsAlignLog2 = 0;
    std::string path;
    std::vector<std::pair<std::string, std::string>> tags;  // in the order written
};

struct CheckedSymbol {
    std::string name;
    uint32_t value = 0, size = 0;
    uint8_t info = 0, other = 0;
    uint16_t shndx = 0;
};

struct CheckedRelocation {
    uint32_t offset = 0, info = 0;
    int32_t addend = 0;
    uint32_t type() const { return info & 0xFF; }
    uint32_t symbol() const { return info >> 8; }
};

struct CheckedModule {
    // Set by a test that wrote FileInfo's region sizes by hand before the
    // module was placed: qdldump's check then leaves the region rules out.
    bool regionsSetByHand = false;
    // Set for modules built with -padall or the size options, which change
    // the sizes after placement: they no longer tell which passes ran.
    bool sizesChangedAfterPlacement = false;
    bool littleEndian = false;
    uint16_t type = 0;
    uint16_t shstrndx = 0;
    std::vector<CheckedSection> sections;
    std::vector<uint32_t> crcs;
    std::vector<uint8_t> fileInfo;  // as written (big-endian)
    DecodedFileInfo info;
    std::vector<uint8_t> elfHeader;  // the first 52 bytes as written
    uint64_t fileLength = 0;
    // Where the file has to end: behind the last placed section, rounded up
    // to 64, or at the start of the DATA group when nothing is placed.
    uint64_t expectedLength = 0;

    // The symbols of the first SHT_SYMTAB section (names from its linked
    // string table), in table order; empty without one.
    std::vector<CheckedSymbol> symbols() const;
    // The entries of a SHT_RELA section.
    std::vector<CheckedRelocation> relocations(size_t index) const;

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

// Compares a module with the linked input it was made from: the ELF header
// fields the module copies, and the contents of every kept SHT_PROGBITS
// section that the tool does not rewrite (found by name), byte for byte
// after inflating. Returns the problems found.
std::vector<std::string> compareWithInput(const CheckedModule& module, const std::vector<uint8_t>& input);

// The problems of a module made from `input` that the builder is not to
// blame for: when two sections of the input share file bytes, the passes
// that rewrite symbol and string tables in place write through both (a
// name rewritten in one table is a symbol field in the other), as the
// builder is specified to, so an import table's signature, taken from the
// names before, need not match them after. Every other problem stays.
std::vector<std::string> problemsOfTheBuilder(const std::vector<std::string>& problems,
                                              const std::vector<uint8_t>& input);

std::vector<uint8_t> readWholeFile(const std::string& path);
