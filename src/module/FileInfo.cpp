#include "module/FileInfo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/Output.h"
#include "driver/ToolState.h"

namespace {

constexpr uint32_t kFileInfoConstant = 0x5078;
constexpr uint32_t kFlagDynamicOnly = 0x1;
constexpr uint32_t kFlagQdx = 0x2;
constexpr uint32_t kFlagTls = 0x8;

// A tag name matches a keyword when it equals the keyword's first characters
// over the name's length.
bool nameMatches(std::string_view name, const char* keyword) {
    const size_t keywordLength = strlen(keyword);
    if (name.size() > keywordLength) return false;
    return memcmp(name.data(), keyword, name.size()) == 0;
}

// The value's leading unsigned decimal number, read as %u reads it.
bool readNumber(const TagEntry& tag, uint32_t& number) {
    std::string value(tag.value());
    unsigned parsed = 0;
    if (sscanf(value.c_str(), "%u", &parsed) != 1) return false;
    number = parsed;
    return true;
}

// Takes the SDK version and revision tags out of the list; returns the
// tags area size T.
uint32_t takeOutSdkTags(FileInfoRecord& record) {
    auto& tags = settings().loaderTags;
    const bool hadTags = !tags.empty();
    uint32_t tagsSize = 0;
    for (size_t k = 0; k < tags.size();) {
        const TagEntry& tag = tags[k];
        uint32_t number = 0;
        if (nameMatches(tag.name(), "TARN_OS_SDK_REVISION")) {
            if (readNumber(tag, number)) {
                record.sdkRevision = number;
                tags.erase(tags.begin() + long(k));
                continue;
            }
        } else if (nameMatches(tag.name(), "TARN_OS_SDK_VERSION")) {
            if (readNumber(tag, number)) {
                record.sdkVersion = number;
                tags.erase(tags.begin() + long(k));
                continue;
            }
        }
        tagsSize += tag.nameLength + tag.valueLength + 2;
        ++k;
    }
    if (hadTags) tagsSize += 3;
    return tagsSize;
}

void writeTagsArea(FileInfoRecord& record, uint32_t position) {
    record.tagsOffset = position;
    for (const TagEntry& tag : settings().loaderTags) {
        for (std::string_view text : {tag.name(), tag.value()}) {
            if (position + text.size() + 1 > record.bytes.size()) return;
            memcpy(&record.bytes[position], text.data(), text.size());
            position += uint32_t(text.size()) + 1;
        }
    }
}

}  // namespace

int readTarnRoot() {
    const char* root = getenv("TARN_ROOT");
    if (!root) {
        printOut("***Error: TARN_ROOT is not defined\n");
        return -1;
    }
    toolState().module.tarnRoot = root;
    return 0;
}

void computeFilepathPadding() {
    ModuleState& module = toolState().module;
    const std::string& root = module.tarnRoot;
    int32_t length = int32_t(root.size());
    if (root.compare(0, 10, "/cygdrive/") == 0) length -= 9;
    module.filepathPadding = length < 84 ? uint32_t(84 - length) : 0;
    if (settings().verbose)
        printOut("Found TARN_ROOT = %s filepath_padding = %d TARN_ROOT len = %d delta = %d\n", root.c_str(),
                 module.filepathPadding, length, 31 - length);
}

int buildFileInfo() {
    ModuleState& module = toolState().module;
    const ToolSettings& options = settings();
    FileInfoRecord& record = module.fileInfo;
    record = FileInfoRecord{};

    const uint32_t tagsSize = takeOutSdkTags(record);
    const uint64_t size = 97 + uint64_t(uint32_t(options.outputFullPathLength)) + module.filepathPadding + tagsSize;
    if (size > 0x7FFFFFFF) {
        printOut("***Error: Mem alloc failed.\n");
        return -1;
    }
    module.fileInfoSize = uint32_t(size);
    record.bytes.assign(size_t(size), 0);

    record.magic = kFileInfoMagic;
    record.constant5078 = kFileInfoConstant;
    record.compressionLevel = uint32_t(options.compressionLevel);
    record.trailerSize = module.fileInfoSize - kFileInfoFixedSize;
    record.sizeFileInfo = options.sizeFileInfo;
    if (options.dynamicOnly) record.flags |= kFlagDynamicOnly;
    if (options.isQdx) record.flags |= kFlagQdx;
    if (module.hasTls) record.flags |= kFlagTls;
    record.tlsAlignLog2 = module.tlsAlignLog2;

    record.pathOffset = kFileInfoFixedSize;
    uint32_t pathLength = options.fileInfoPathLength;
    if (pathLength > options.fileInfoPath.size()) pathLength = uint32_t(options.fileInfoPath.size());
    if (kFileInfoFixedSize + uint64_t(pathLength) + 1 > size) pathLength = uint32_t(size - kFileInfoFixedSize - 1);
    memcpy(&record.bytes[kFileInfoFixedSize], options.fileInfoPath.data(), pathLength);
    if (!options.loaderTags.empty()) writeTagsArea(record, kFileInfoFixedSize + pathLength + 1);

    const RegionExtent* regions = module.regions;
    record.dataSize = regions[DATA].end - regions[DATA].base;
    record.loadSize = regions[LOAD].end - regions[LOAD].base;
    record.tempSize = regions[TEMP].end;

    record.sdaBase = options.sdaBase;
    record.sda2Base = options.sda2Base;
    record.stackSize = options.stackSize;
    record.heapSize = options.heapSize;
    return 0;
}

std::vector<uint8_t> fileInfoBytesForFile() {
    const FileInfoRecord& record = toolState().module.fileInfo;
    std::vector<uint8_t> bytes = record.bytes;
    if (bytes.size() < kFileInfoFixedSize) bytes.resize(kFileInfoFixedSize, 0);
    const uint32_t words[] = {
        record.magic,       record.textSize,   record.textAlign,  record.dataSize,         record.dataAlign,
        record.loadSize,    record.loadAlign,  record.tempSize,   record.trampAdj,         record.sdaBase,
        record.sda2Base,    record.stackSize,  record.pathOffset, record.flags,            record.heapSize,
        record.tagsOffset,  record.constant5078, record.compressionLevel, record.textGrowth, record.trailerSize,
        record.sdkVersion,  record.sdkRevision,
    };
    static_assert(sizeof words / sizeof words[0] == 22);
    for (size_t k = 0; k < 22; ++k) writeBe32(&bytes[4 * k], words[k]);
    writeBe16(&bytes[0x58], record.reserved);
    writeBe16(&bytes[0x5A], record.tlsAlignLog2);
    writeBe32(&bytes[0x5C], record.sizeFileInfo);
    return bytes;
}
