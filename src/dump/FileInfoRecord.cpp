#include <cstring>

#include "dump/ModuleImage.h"

namespace {

// A NUL-terminated string at `at`; false when no NUL ends it inside the record.
bool recordString(ByteSpan record, size_t at, std::string& text) {
    if (at >= record.size()) return false;
    const void* nul = memchr(record.data() + at, 0, record.size() - at);
    if (!nul) return false;
    text.assign(reinterpret_cast<const char*>(record.data() + at), static_cast<const uint8_t*>(nul) - record.data() - at);
    return true;
}

void readFixedPart(ByteSpan record, FileInfoRecord& d) {
    auto w = [&](uint32_t at) { return readBe32(record.data() + at); };
    d.magic = w(0x00);
    d.textSize = w(0x04);
    d.textAlign = w(0x08);
    d.dataSize = w(0x0C);
    d.dataAlign = w(0x10);
    d.loadSize = w(0x14);
    d.loadAlign = w(0x18);
    d.tempSize = w(0x1C);
    d.trampAdj = w(0x20);
    d.sdaBase = w(0x24);
    d.sda2Base = w(0x28);
    d.stackSize = w(0x2C);
    d.pathOffset = w(0x30);
    d.flags = w(0x34);
    d.heapSize = w(0x38);
    d.tagsOffset = w(0x3C);
    d.constant = w(0x40);
    d.compressionLevel = w(0x44);
    d.trampGrowth = w(0x48);
    d.trailerSize = w(0x4C);
    d.sdkVersion = w(0x50);
    d.sdkRevision = w(0x54);
    d.reserved = readBe16(record.data() + 0x58);
    d.tlsAlignLog2 = readBe16(record.data() + 0x5A);
    d.requestedSize = w(0x5C);
}

// The tags area: name, NUL, value, NUL, ... then three zero bytes. Returns
// the offset behind it, or 0 when it is malformed.
size_t readTags(ByteSpan record, FileInfoRecord& d, std::vector<Finding>& findings) {
    size_t at = d.tagsOffset;
    while (at < record.size() && record[at] != 0) {
        std::string name, value;
        if (!recordString(record, at, name) || !recordString(record, at + name.size() + 1, value)) {
            findings.push_back({"FileInfo", "tag at offset " + hex32(uint32_t(at)) + " runs past the record"});
            return 0;
        }
        d.tags.emplace_back(name, value);
        at += name.size() + value.size() + 2;
    }
    if (at + 3 > record.size()) {
        findings.push_back({"FileInfo", "tags area lacks its three closing zero bytes"});
        return 0;
    }
    return at + 3;
}

void checkFields(const FileInfoRecord& d, size_t recordSize, std::vector<Finding>& findings) {
    auto fail = [&](const std::string& what) { findings.push_back({"FileInfo", what}); };
    if (d.magic != kFileInfoMagic) fail("magic is " + hex32(d.magic) + ", not " + hex32(kFileInfoMagic));
    if (d.pathOffset != kFileInfoFixedSize) fail("path offset is " + hex32(d.pathOffset) + ", not 0x00000060");
    if (d.constant != kFileInfoConstant) fail("word at 0x40 is " + hex32(d.constant) + ", not 0x00005078");
    if (d.reserved != 0) fail("reserved half-word at 0x58 is not 0");
    if (d.flags & ~0xBu) fail("flags " + hex32(d.flags) + " hold unknown bits");
    if (!(d.flags & 8) && d.tlsAlignLog2 != 0) fail("TLS alignment is set without the TLS flag");
    if (d.tlsAlignLog2 > 31) fail("TLS alignment 2^" + std::to_string(d.tlsAlignLog2) + " is too large");
    if (d.heapSize < 0x8000) fail("heap size " + hex32(d.heapSize) + " is below 0x00008000");
    if (d.stackSize == 0) fail("stack size is 0");
    if (d.compressionLevel != 0xFFFFFFFF && (d.compressionLevel < 1 || d.compressionLevel > 9))
        fail("compression level " + hex32(d.compressionLevel) + " is not -1 or 1 to 9");
    if (d.requestedSize != 0 && d.requestedSize < 96) fail("requested FileInfo size is below 96");
    const struct {
        const char* name;
        uint32_t align;
    } aligns[] = {{"TEXT", d.textAlign}, {"DATA", d.dataAlign}, {"LOAD", d.loadAlign}};
    for (const auto& a : aligns)
        if (a.align < 4) fail(std::string(a.name) + " alignment " + std::to_string(a.align) + " is below 4");
    if (d.loadAlign != 0) {
        const uint32_t trailer = (uint32_t(recordSize) - 96 + d.loadAlign - 1) & ~(d.loadAlign - 1);
        if (d.trailerSize != trailer)
            fail("trailer size " + hex32(d.trailerSize) + " is not the strings' size rounded to the LOAD alignment (" +
                 hex32(trailer) + ")");
    }
    if (d.textSize == 0 && d.trampAdj != 0) fail("TrampAdj " + hex32(d.trampAdj) + " without code");
}

}  // namespace

void decodeFileInfo(ByteSpan record, FileInfoRecord& d, std::vector<Finding>& findings) {
    if (record.size() < kFileInfoFixedSize + 1) {
        findings.push_back({"FileInfo", "record of " + std::to_string(record.size()) +
                                            " bytes is shorter than its fixed part and path (97 bytes)"});
        return;
    }
    d.present = true;
    readFixedPart(record, d);
    checkFields(d, record.size(), findings);
    if (!recordString(record, kFileInfoFixedSize, d.path)) {
        findings.push_back({"FileInfo", "path at 0x60 is not terminated inside the record"});
        return;
    }
    size_t end = kFileInfoFixedSize + d.path.size() + 1;
    if (d.tagsOffset != 0) {
        if (d.tagsOffset != end)
            findings.push_back({"FileInfo", "tags offset " + hex32(d.tagsOffset) + " does not follow the path (" +
                                                hex32(uint32_t(end)) + ")"});
        end = readTags(record, d, findings);
        if (end == 0) return;
    }
    for (size_t k = end; k < record.size(); ++k)
        if (record[k] != 0) {
            findings.push_back({"FileInfo", "byte " + hex32(uint32_t(k)) + " behind the strings is not zero"});
            break;
        }
}
