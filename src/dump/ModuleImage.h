// A module file (QDL or QDX) as the dumper reads it: the header and section
// table in host order, each section's stored and uncompressed bytes, the CRC
// table and the decoded FileInfo record. Every size and offset read from the
// file is bounded before it is used.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "elf/ElfFormat.h"

using ByteSpan = std::span<const uint8_t>;

// Where a section's contents go when the module is loaded.
enum class Region { none, data, load, text, temp, crcs, fileInfo };
const char* regionName(Region region);

// One problem found in a module: the part it concerns and what is wrong.
struct Finding {
    std::string where;
    std::string what;
};

struct ModuleSection {
    uint32_t index = 0;
    Elf32_Shdr header{};  // host byte order
    std::string name;
    Region region = Region::none;
    bool hasFileBytes = false;  // not NOBITS, with a size and an offset
    bool insideFile = false;    // the stored bytes lie inside the file
    bool compressed = false;    // SHF_DEFLATED
    uint32_t sizeWord = 0;      // a compressed section's uncompressed size
    bool contentsKnown = false; // its uncompressed bytes are available
    std::vector<uint8_t> inflated;
    uint32_t storedCrc = 0;
    uint32_t computedCrc = 0;
    bool crcChecked = false;

    // The size the section takes in memory (uncompressed).
    uint32_t memorySize() const { return compressed ? sizeWord : header.sh_size; }
};

struct FileInfoRecord {
    bool present = false;  // the section was found and holds the fixed 96 bytes
    uint32_t magic = 0, textSize = 0, textAlign = 0, dataSize = 0, dataAlign = 0, loadSize = 0, loadAlign = 0;
    uint32_t tempSize = 0, trampAdj = 0, sdaBase = 0, sda2Base = 0, stackSize = 0, pathOffset = 0, flags = 0;
    uint32_t heapSize = 0, tagsOffset = 0, constant = 0, compressionLevel = 0, trampGrowth = 0, trailerSize = 0;
    uint32_t sdkVersion = 0, sdkRevision = 0, requestedSize = 0;
    uint16_t reserved = 0, tlsAlignLog2 = 0;
    std::string path;
    std::vector<std::pair<std::string, std::string>> tags;
};

struct ModuleImage {
    ByteSpan bytes;
    bool littleEndian = false;
    Elf32_Ehdr header{};     // host byte order
    bool tableRead = false;  // the section header table lies inside the file
    std::vector<ModuleSection> sections;
    std::vector<uint32_t> crcs;  // the CRC table as stored, one word per section
    FileInfoRecord info;
    std::vector<Finding> findings;  // problems met while reading
};

constexpr uint32_t kModuleOsAbi = 0xB7;
constexpr uint32_t kModuleAbiVersion = 0x1E;
constexpr uint16_t kModuleType = 0xFE01;
constexpr uint32_t kFileInfoMagic = 0xB71E0402;
constexpr uint32_t kFileInfoConstant = 0x5078;
constexpr uint32_t kFileInfoFixedSize = 0x60;

// True when the bytes start like an ELF file (magic only).
bool looksLikeElf(ByteSpan bytes);
// True when the ELF header carries the module's identification.
bool looksLikeModule(ByteSpan bytes);

// Reads the module in `module.bytes` (which must outlive it). Returns kDumpOk
// when the section table could be read (problems found on the way are in
// `findings`), kDumpFindings when the file cannot be read as a module at all.
int32_t readModule(ModuleImage& module);

// The stored bytes of a section (empty when it has none inside the file) and
// its uncompressed contents (empty when unknown).
ByteSpan storedBytes(const ModuleImage& module, const ModuleSection& section);
ByteSpan sectionContents(const ModuleImage& module, const ModuleSection& section);

// "section 3 \".text\"", "FileInfo", ... for findings and messages.
std::string sectionLabel(const ModuleSection& section);

// Decodes the FileInfo record (big-endian) and notes what is malformed.
void decodeFileInfo(ByteSpan record, FileInfoRecord& info, std::vector<Finding>& findings);

// 32-bit and 16-bit fields in the module's byte order.
inline uint32_t moduleWord(const ModuleImage& m, const uint8_t* p) { return readWord(p, m.littleEndian); }
inline uint16_t moduleHalf(const ModuleImage& m, const uint8_t* p) {
    return m.littleEndian ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]);
}

std::string hex32(uint32_t value);
