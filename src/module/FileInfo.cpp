#include "module/FileInfo.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/CygdrivePath.h"
#include "core/Output.h"
#include "module/ModuleState.h"

namespace {

constexpr uint32_t kFileInfoConstant = 0x00005078;
constexpr uint32_t kPathOffset = 0x60;
constexpr uint32_t kRootLengthForNoPadding = 84;

constexpr uint32_t kFlagDynamicOnly = 0x1;
constexpr uint32_t kFlagQdx = 0x2;
constexpr uint32_t kFlagTls = 0x8;

constexpr std::string_view kSdkRevisionTag = "TARN_OS_SDK_REVISION";
constexpr std::string_view kSdkVersionTag = "TARN_OS_SDK_VERSION";

// A tag name matches a keyword when it equals the keyword's first characters
// over the name's length, so a leading part of the keyword matches too.
bool nameMatches(std::string_view name, std::string_view keyword) {
    return name.size() <= keyword.size() && keyword.substr(0, name.size()) == name;
}

// The number at the start of a tag value, read as an unsigned decimal
// conversion reads it: leading white space and a sign are accepted and text
// after the number is ignored.
bool leadingNumber(std::string_view value, uint32_t& number) {
    const std::string text(value);
    unsigned parsed = 0;
    if (sscanf(text.c_str(), "%u", &parsed) != 1) return false;
    number = parsed;
    return true;
}

// The length of TARN_ROOT as its drive-letter form counts it.
uint32_t tarnRootLength(const std::string& root) {
    uint32_t length = uint32_t(root.size());
    if (isCygdrivePath(root)) length -= uint32_t(kCygdrivePrefix.size() - 1);  // "/cygdrive/c" is "c:"
    return length;
}

// Takes the SDK version and revision tags out of the list and returns the
// room the remaining tags need in the record (T).
uint64_t takeSdkTags(ModuleContext& ctx, FileInfoRecord& info) {
    std::vector<TagEntry>& tags = ctx.settings.loaderTags;
    const bool hadTags = !tags.empty();
    uint64_t room = 0;
    for (size_t i = 0; i < tags.size();) {
        const TagEntry& tag = tags[i];
        uint32_t number = 0;
        if (nameMatches(tag.name(), kSdkRevisionTag) && leadingNumber(tag.value(), number)) {
            info.sdkRevision = number;
            tags.erase(tags.begin() + std::ptrdiff_t(i));
            continue;
        }
        if (!nameMatches(tag.name(), kSdkRevisionTag) && nameMatches(tag.name(), kSdkVersionTag) &&
            leadingNumber(tag.value(), number)) {
            info.sdkVersion = number;
            tags.erase(tags.begin() + std::ptrdiff_t(i));
            continue;
        }
        room += uint64_t(tag.nameLength) + tag.valueLength + 2;
        ++i;
    }
    if (hadTags) room += 3;
    return room;
}

uint32_t sdaBaseOrDefault(uint32_t base) { return base ? base : kDefaultSdaBase; }

}  // namespace

int readTarnRoot(ModuleContext& ctx) {
    const char* root = getenv("TARN_ROOT");
    if (!root) {
        printOut("***Error: TARN_ROOT is not defined\n");
        return -1;
    }
    ctx.module.tarnRoot = root;
    return 0;
}

void computeFilepathPadding(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    const uint32_t rootLength = tarnRootLength(module.tarnRoot);
    module.filepathPadding = rootLength < kRootLengthForNoPadding ? kRootLengthForNoPadding - rootLength : 0;
    if (ctx.settings.verbose)
        printOut("Found TARN_ROOT = %s filepath_padding = %d TARN_ROOT len = %d delta = %d\n",
                 module.tarnRoot.c_str(), int(module.filepathPadding), int(rootLength), 31 - int(rootLength));
}

int buildFileInfo(ModuleContext& ctx) {
    ToolSettings& s = ctx.settings;
    ModuleState& module = ctx.module;
    FileInfoRecord& info = module.fileInfo;

    info.sdkVersion = 0;
    info.sdkRevision = 0;
    const uint64_t tagRoom = takeSdkTags(ctx, info);

    // The stored path may be shorter than the full output path (a source
    // root taken off); the space reserved is that of the full path.
    const uint32_t pathLength = uint32_t(s.fileInfoPath.size());
    const uint64_t fullPathLength = s.outputFullPathLength > 0 ? uint64_t(s.outputFullPathLength) : 0;
    uint64_t size = kFileInfoFixedSize + 1 + fullPathLength + module.filepathPadding + tagRoom;
    // The path and the tags always fit, whatever the lengths say.
    const uint64_t needed = kFileInfoFixedSize + uint64_t(pathLength) + 1 + tagRoom;
    if (size < needed) size = needed;
    if (size > 0x7FFFFFFF) {
        printOut("***Error: Mem alloc failed.\n");
        return -1;
    }

    info.bytes.assign(size_t(size), 0);
    module.fileInfoSize = uint32_t(size);

    info.magic = kFileInfoMagic;
    info.constant5078 = kFileInfoConstant;
    info.compressionLevel = uint32_t(s.compressionLevel);
    info.trailerSize = uint32_t(size) - kFileInfoFixedSize;
    info.sizeFileInfo = s.sizeFileInfo;

    info.flags = 0;
    if (s.dynamicOnly) info.flags |= kFlagDynamicOnly;
    if (s.isQdx) info.flags |= kFlagQdx;
    if (module.hasTls) info.flags |= kFlagTls;
    info.tlsAlignLog2 = module.hasTls ? module.tlsAlignLog2 : 0;
    info.reserved = 0;

    info.pathOffset = kPathOffset;
    memcpy(info.bytes.data() + kPathOffset, s.fileInfoPath.data(), pathLength);

    info.tagsOffset = 0;
    if (!s.loaderTags.empty()) {
        info.tagsOffset = kPathOffset + pathLength + 1;
        uint8_t* next = info.bytes.data() + info.tagsOffset;
        for (const TagEntry& tag : s.loaderTags) {
            const std::string_view name = tag.name();
            const std::string_view value = tag.value();
            memcpy(next, name.data(), name.size());
            next += name.size() + 1;
            memcpy(next, value.data(), value.size());
            next += value.size() + 1;
        }
        // three more zero bytes end the area; the buffer is zero-filled
    }

    const RegionExtent* regions = module.regions;
    info.dataSize = regions[DATA].end - regions[DATA].base;
    info.loadSize = regions[LOAD].end - regions[LOAD].base;
    info.tempSize = regions[TEMP].end;

    info.sdaBase = sdaBaseOrDefault(ctx.input.smallData.sdaBase);
    info.sda2Base = sdaBaseOrDefault(ctx.input.smallData.sda2Base);
    info.stackSize = s.stackSize ? s.stackSize : kDefaultStackSize;
    info.heapSize = s.heapSize < kMinimumHeapSize ? kMinimumHeapSize : s.heapSize;
    return 0;
}

std::vector<uint8_t> fileInfoBytesForFile(ModuleContext& ctx) {
    const ToolSettings& s = ctx.settings;
    const FileInfoRecord& info = ctx.module.fileInfo;
    std::vector<uint8_t> out = info.bytes;
    if (out.size() < kFileInfoFixedSize) out.resize(kFileInfoFixedSize, 0);
    uint8_t* p = out.data();

    const uint32_t fields[] = {
        info.magic,
        info.textSize,
        info.textAlign,
        info.dataSize,
        info.dataAlign,
        info.loadSize,
        info.loadAlign,
        info.tempSize,
        info.trampAdj,
        sdaBaseOrDefault(ctx.input.smallData.sdaBase),
        sdaBaseOrDefault(ctx.input.smallData.sda2Base),
        s.stackSize ? s.stackSize : kDefaultStackSize,
        info.pathOffset,
        info.flags,
        s.heapSize < kMinimumHeapSize ? kMinimumHeapSize : s.heapSize,
        info.tagsOffset,
        info.constant5078,
        info.compressionLevel,
        info.textGrowth,
        info.trailerSize,
        info.sdkVersion,
        info.sdkRevision,
    };
    static_assert(sizeof(fields) == 0x58);
    for (size_t k = 0; k < sizeof(fields) / sizeof(fields[0]); ++k) writeBe32(p + 4 * k, fields[k]);
    writeBe16(p + 0x58, info.reserved);
    writeBe16(p + 0x5A, info.tlsAlignLog2);
    writeBe32(p + 0x5C, info.sizeFileInfo);
    return out;
}
