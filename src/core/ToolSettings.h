// The options of one run and the settings derived from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One loader tag: the whole "<x>=<y>" text, the name being its first
// nameLength bytes and the value everything after the first "=".
struct TagEntry {
    std::string text;
    uint32_t nameLength = 0;
    uint32_t valueLength = 0;

    std::string_view name() const { return std::string_view(text).substr(0, nameLength); }
    std::string_view value() const { return std::string_view(text).substr(nameLength + 1, valueLength); }
};

// The loader's defaults: a smaller stack size than the default is taken as
// given, a heap below the minimum is raised to it.
constexpr uint32_t kDefaultStackSize = 0x10000;
constexpr uint32_t kMinimumHeapSize = 0x8000;

struct ToolSettings {
    std::string programName;  // argv[0], for the failure banner

    std::string importLibraryPath;
    bool importLibraryPathGiven = false;  // -l was used
    std::string outputPath;
    std::string inputPath;

    bool stripSymbolStrings = false;  // -s
    bool verbose = false;             // -v
    bool verbose2 = false;            // -v2
    bool verbose3 = false;            // -v3
    bool newSymbolTable = true;       // -new / -old

    uint32_t stackSize = 0;  // -stack (kDefaultStackSize when not given)
    uint32_t heapSize = 0;   // -h (at least kMinimumHeapSize once complete)

    int32_t padAllPercent = 0;  // -padall
    int32_t sizeData = -1;      // -sizedata
    int32_t sizeText = -1;      // -sizetext
    int32_t sizeTemp = -1;      // -sizetemp
    int32_t sizeLoad = -1;      // -sizeload
    uint32_t sizeFileInfo = 0;  // -sizefileinfo

    bool compress = true;          // -zx turns it off
    int32_t compressionLevel = -1;  // -z1 .. -z9; -1 is zlib's default (6)

    bool isQdx = false;
    bool forceQdx = false;    // -f
    bool checkNoSda = false;  // -checknosda; forced on for every QDL
    bool dynamicOnly = false; // -d

    std::vector<TagEntry> loaderTags;  // newest first: index 0 is the head

    bool warnEmptyRela = false;  // -warnemptyrela
    bool noImportLibrary = false;  // -nolib
    bool allowCode32 = false;      // -x32

    std::vector<std::string> sourceRoots;  // -dbg_source_root, command-line order

    std::string fileInfoPath;  // 8-bit module path stored in FileInfo
    int32_t outputFullPathLength = 0;
    bool paddingBySize = false;
};
