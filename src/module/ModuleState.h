// The state of the module build, and the context of the module passes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "elf/ElfFormat.h"
#include "symbols/SymbolState.h"

enum class SectionClass : uint8_t { empty, imports, text, load, data, temp, omit };

// Region indices of the region table (also the number the realign warning prints).
enum RegionIndex : int { TEXT = 0, DATA = 1, LOAD = 2, TEMP = 3 };

struct RegionExtent {
    uint32_t base = 0;
    uint32_t end = 0;
    uint32_t align = 4;
};

struct SectionIndexMap {
    std::vector<int32_t> oldToNew;   // per input section: new index, or -1 when dropped
    std::vector<uint32_t> newToOld;  // per module section: input index
    uint32_t keptCount = 1;          // sections of the module file, the null section included
    uint32_t importSectionCount = 0;
};

// The FileInfo record in host order while it is filled. `bytes` holds the
// whole record (FileInfo size bytes); the fixed fields are kept here and
// written big-endian over its first 96 bytes when the file is built.
struct FileInfoRecord {
    uint32_t magic = 0;             // 0x00
    uint32_t textSize = 0;          // 0x04
    uint32_t textAlign = 0;         // 0x08
    uint32_t dataSize = 0;          // 0x0C
    uint32_t dataAlign = 0;         // 0x10
    uint32_t loadSize = 0;          // 0x14
    uint32_t loadAlign = 0;         // 0x18
    uint32_t tempSize = 0;          // 0x1C
    uint32_t trampAdj = 0;          // 0x20
    uint32_t sdaBase = 0;           // 0x24
    uint32_t sda2Base = 0;          // 0x28
    uint32_t stackSize = 0;         // 0x2C
    uint32_t pathOffset = 0;        // 0x30
    uint32_t flags = 0;             // 0x34
    uint32_t heapSize = 0;          // 0x38
    uint32_t tagsOffset = 0;        // 0x3C
    uint32_t constant5078 = 0;      // 0x40
    uint32_t compressionLevel = 0;  // 0x44
    uint32_t textGrowth = 0;        // 0x48
    uint32_t trailerSize = 0;       // 0x4C
    uint32_t sdkVersion = 0;        // 0x50
    uint32_t sdkRevision = 0;       // 0x54
    uint16_t reserved = 0;          // 0x58
    uint16_t tlsAlignLog2 = 0;      // 0x5A
    uint32_t sizeFileInfo = 0;      // 0x5C
    std::vector<uint8_t> bytes;     // the whole record; path and tags from 0x60
};

// The stored (compressed) form of one section in a buffer of its own,
// released with free(): the compressor's output buffer is shrunk to the
// stream instead of being copied.
struct StoredBytes {
    struct Release {
        void operator()(uint8_t* p) const { free(p); }
    };
    std::unique_ptr<uint8_t, Release> buffer;
    size_t length = 0;

    uint8_t* data() const { return buffer.get(); }
    size_t size() const { return length; }
    bool empty() const { return length == 0; }
    const uint8_t* begin() const { return buffer.get(); }
    const uint8_t* end() const { return buffer.get() + length; }
    void reset() {
        buffer.reset();
        length = 0;
    }
};

struct EarlyWork;   // module/EarlySections.h

struct ModuleState {
    std::vector<SectionClass> sectionClasses;
    RegionExtent regions[4];
    SectionIndexMap indexMap;

    // TLS check
    bool hasTls = false;
    uint16_t tlsAlignLog2 = 0;

    // TARN_ROOT as read at the start of the build, and the FileInfo filepath
    // padding computed from it
    std::string tarnRoot;
    uint32_t filepathPadding = 0;

    FileInfoRecord fileInfo;
    uint32_t fileInfoSize = 0;

    // Trampolines
    uint32_t trampolineLow = 0;
    uint32_t trampolineHigh = 0;
    uint32_t trampolineCount = 0;

    // Output section table and placement. The input header keeps its own
    // e_shnum until the file is written; the module's values are kept here.
    uint32_t inputSectionCount = 0;  // e_shnum of the input
    uint32_t outputSectionCount = 0;  // N: kept sections + 3
    uint16_t outputShstrndx = 0;      // new index of the section-name table
    std::vector<Elf32_Shdr> outputSections;           // N entries
    std::vector<uint32_t> sectionCrcs;                // one per output section (host order)
    std::vector<StoredBytes> storedContents;          // compressed contents per new index; empty when stored as is
    uint32_t crcsOffset = 0;
    uint32_t fileInfoOffset = 0;
    uint32_t fileLength = 0;  // final running offset
    uint32_t tempStoredTotal = 0;

    // The sections' CRCs and compression started with the build, for placement.
    std::shared_ptr<EarlyWork> early;
};

struct ModuleContext : SymbolContext {
    ModuleState module;
};
