#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/Output.h"
#include "support/TestContext.h"
#include "elf/ElfFormat.h"
#include "module/FileInfo.h"
#include "module/LoaderTags.h"

namespace {

// Sets an environment variable for one scope and puts the old value back.
struct ScopedEnv {
    std::string name;
    std::optional<std::string> old;
    ScopedEnv(const char* n, const char* value) : name(n) {
        if (const char* v = getenv(n)) old = v;
        if (value)
            setenv(n, value, 1);
        else
            unsetenv(n);
    }
    ~ScopedEnv() {
        if (old)
            setenv(name.c_str(), old->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

const std::string kModulePath = "/work/out/app.qdl";  // P = 17

class FileInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetTestContext();
        ToolSettings& s = ctx.settings;
        s.fileInfoPath = kModulePath;
        s.outputFullPathLength = int32_t(kModulePath.size());
        s.stackSize = 0x10000;
        s.heapSize = 0x8000;
        ctx.input.smallData = {0x8000, 0x8000};
    }

    // TARN_ROOT as the build reads it, and the padding from it.
    void useRoot(const std::string& root) {
        ctx.module.tarnRoot = root;
        computeFilepathPadding(ctx);
    }

    std::vector<uint8_t> build() {
        EXPECT_EQ(buildFileInfo(ctx), 0);
        return fileInfoBytesForFile(ctx);
    }
};

uint32_t be32(const std::vector<uint8_t>& bytes, size_t at) { return readBe32(bytes.data() + at); }
std::string textAt(const std::vector<uint8_t>& bytes, size_t at, size_t n) {
    return std::string(reinterpret_cast<const char*>(bytes.data() + at), n);
}

TEST_F(FileInfoTest, TarnRootMustBeSet) {
    ScopedEnv unset("TARN_ROOT", nullptr);
    std::string out;
    beginOutputCapture(&out);
    EXPECT_EQ(readTarnRoot(ctx), -1);
    endOutputCapture();
    EXPECT_EQ(out, "***Error: TARN_ROOT is not defined\n");

    ScopedEnv set("TARN_ROOT", "/opt/sdk");
    EXPECT_EQ(readTarnRoot(ctx), 0);
    EXPECT_EQ(ctx.module.tarnRoot, "/opt/sdk");
}

TEST_F(FileInfoTest, FilepathPaddingFromTheRootLength) {
    ctx.settings.verbose = true;
    std::string out;
    beginOutputCapture(&out);
    useRoot("/cygdrive/c/sdk");  // counted as c:/sdk
    EXPECT_EQ(ctx.module.filepathPadding, 78u);
    useRoot(std::string(83, 'r'));
    EXPECT_EQ(ctx.module.filepathPadding, 1u);
    useRoot(std::string(84, 'r'));
    EXPECT_EQ(ctx.module.filepathPadding, 0u);
    useRoot(std::string(200, 'r'));
    EXPECT_EQ(ctx.module.filepathPadding, 0u);
    endOutputCapture();
    EXPECT_EQ(out.substr(0, out.find('\n') + 1),
              "Found TARN_ROOT = /cygdrive/c/sdk filepath_padding = 78 TARN_ROOT len = 6 delta = 25\n");
    EXPECT_NE(out.find("filepath_padding = 0 TARN_ROOT len = 200 delta = -169\n"), std::string::npos);

    ctx.settings.verbose = false;
    out.clear();
    beginOutputCapture(&out);
    useRoot("/opt/sdk");
    endOutputCapture();
    EXPECT_EQ(out, "");
    EXPECT_EQ(ctx.module.filepathPadding, 76u);
}

TEST_F(FileInfoTest, NoTagsGivesTheBareSize) {
    useRoot("/opt/sdk");  // F = 76
    std::vector<uint8_t> bytes = build();
    EXPECT_EQ(ctx.module.fileInfoSize, 97u + 17 + 76);
    EXPECT_EQ(bytes.size(), 97u + 17 + 76);
    EXPECT_EQ(be32(bytes, 0x3C), 0u);  // no tags area
    EXPECT_EQ(be32(bytes, 0x30), 0x60u);
    EXPECT_EQ(textAt(bytes, 0x60, 18), kModulePath + std::string(1, '\0'));
    EXPECT_EQ(be32(bytes, 0x4C), 17u + 76 + 1);  // trailer: size - 96
    for (size_t i = 0x60 + 17; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0) << i;
}

TEST_F(FileInfoTest, SdkTagsAreTakenOutButTheTerminatorStaysCounted) {
    useRoot(std::string(90, 'r'));  // F = 0
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_VERSION=211"));
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_REVISION=7"));
    std::vector<uint8_t> bytes = build();
    EXPECT_EQ(ctx.module.fileInfoSize, 97u + 17 + 3);
    EXPECT_EQ(be32(bytes, 0x50), 211u);
    EXPECT_EQ(be32(bytes, 0x54), 7u);
    EXPECT_EQ(be32(bytes, 0x3C), 0u);
    EXPECT_TRUE(ctx.settings.loaderTags.empty());
}

TEST_F(FileInfoTest, NonNumericSdkTagIsAnOrdinaryTag) {
    useRoot(std::string(90, 'r'));
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_VERSION=abc"));
    ASSERT_TRUE(addTagOption(ctx, "K=v"));
    std::vector<uint8_t> bytes = build();
    // T = 3 + (19 + 3 + 2) + (1 + 1 + 2)
    EXPECT_EQ(ctx.module.fileInfoSize, 97u + 17 + 3 + 24 + 4);
    EXPECT_EQ(be32(bytes, 0x50), 0u);
    const uint32_t tags = be32(bytes, 0x3C);
    EXPECT_EQ(tags, 0x60u + 17 + 1);
    const std::string expected = std::string("K\0v\0TARN_OS_SDK_VERSION\0abc\0\0\0\0", 31);
    EXPECT_EQ(textAt(bytes, tags, expected.size()), expected);
    EXPECT_EQ(tags + expected.size(), bytes.size());
}

TEST_F(FileInfoTest, SdkNumbersAreReadAsUnsignedDecimals) {
    useRoot(std::string(90, 'r'));
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_VERSION= +12beta"));
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_REVISION=-1"));
    std::vector<uint8_t> bytes = build();
    EXPECT_EQ(be32(bytes, 0x50), 12u);
    EXPECT_EQ(be32(bytes, 0x54), 0xFFFFFFFFu);
    EXPECT_TRUE(ctx.settings.loaderTags.empty());
}

TEST_F(FileInfoTest, LeadingPartOfAKeywordMatchesRevisionFirst) {
    useRoot(std::string(90, 'r'));
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_=5"));       // both keywords begin so: the revision
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_V=6"));      // only the version
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_REVISIONX=9"));  // longer than the keyword: no match
    std::vector<uint8_t> bytes = build();
    EXPECT_EQ(be32(bytes, 0x54), 5u);
    EXPECT_EQ(be32(bytes, 0x50), 6u);
    ASSERT_EQ(ctx.settings.loaderTags.size(), 1u);
    EXPECT_EQ(ctx.settings.loaderTags[0].name(), "TARN_OS_SDK_REVISIONX");
}

TEST_F(FileInfoTest, RevisionNamedTagWithoutNumberIsNotTriedAsVersion) {
    useRoot(std::string(90, 'r'));
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_=x"));
    std::vector<uint8_t> bytes = build();
    EXPECT_EQ(be32(bytes, 0x50), 0u);
    EXPECT_EQ(be32(bytes, 0x54), 0u);
    EXPECT_EQ(ctx.settings.loaderTags.size(), 1u);
}

TEST_F(FileInfoTest, OldestOfRepeatedSdkTagsGivesTheNumber) {
    // File entries come first in the list; the last one walked wins.
    useRoot(std::string(90, 'r'));
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_VERSION=1"));
    ASSERT_TRUE(addTagOption(ctx, "TARN_OS_SDK_VERSIO=2"));
    std::vector<uint8_t> bytes = build();
    EXPECT_EQ(be32(bytes, 0x50), 1u);
}

TEST_F(FileInfoTest, SizeFileInfoOnlyChangesItsField) {
    useRoot("/opt/sdk");
    std::vector<uint8_t> plain = build();
    SetUp();
    useRoot("/opt/sdk");
    ctx.settings.sizeFileInfo = 4096;
    std::vector<uint8_t> requested = build();
    ASSERT_EQ(plain.size(), requested.size());
    EXPECT_EQ(be32(requested, 0x5C), 4096u);
    for (size_t i = 0; i < plain.size(); ++i) {
        if (i < 0x5C || i >= 0x60) {
            EXPECT_EQ(plain[i], requested[i]) << i;
        }
    }
}

TEST_F(FileInfoTest, FlagsForDynamicOnlyQdxAndTls) {
    useRoot("/opt/sdk");
    EXPECT_EQ(be32(build(), 0x34), 0u);

    ctx.settings.dynamicOnly = true;
    EXPECT_EQ(be32(build(), 0x34), 0x1u);
    ctx.settings.isQdx = true;
    EXPECT_EQ(be32(build(), 0x34), 0x3u);
    ctx.module.hasTls = true;
    ctx.module.tlsAlignLog2 = 5;
    std::vector<uint8_t> bytes = build();
    EXPECT_EQ(be32(bytes, 0x34), 0xBu);
    EXPECT_EQ(readBe16(bytes.data() + 0x5A), 5u);
    EXPECT_EQ(readBe16(bytes.data() + 0x58), 0u);

    ctx.settings.dynamicOnly = false;
    ctx.settings.isQdx = false;
    EXPECT_EQ(be32(build(), 0x34), 0x8u);
}

TEST_F(FileInfoTest, StoredPathShorterThanTheReservedSpace) {
    useRoot(std::string(90, 'r'));
    ctx.settings.fileInfoPath = "app.qdl";  // a source root taken off
    ASSERT_TRUE(addTagOption(ctx, "K=v"));
    std::vector<uint8_t> bytes = build();
    EXPECT_EQ(bytes.size(), 97u + 17 + 3 + 4);
    EXPECT_EQ(be32(bytes, 0x3C), 0x60u + 8);
    EXPECT_EQ(textAt(bytes, 0x60, 15), std::string("app.qdl\0K\0v\0\0\0\0", 15));
    for (size_t i = 0x60 + 15; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0) << i;
}

TEST_F(FileInfoTest, EveryFieldIsBigEndianInTheFile) {
    useRoot("/opt/sdk");
    ToolSettings& s = ctx.settings;
    s.stackSize = 0x12345;
    s.heapSize = 0x4000;  // raised to the minimum
    ctx.input.smallData.sdaBase = 0x10008000;
    ctx.input.smallData.sda2Base = 0;  // absent: the default
    s.compressionLevel = -1;
    ModuleState& module = ctx.module;
    module.regions[DATA] = {0x10000000, 0x10000123, 8};
    module.regions[LOAD] = {0xC0000000, 0xC0000400, 4};
    module.regions[TEMP] = {0, 0x140, 4};
    ASSERT_EQ(buildFileInfo(ctx), 0);
    FileInfoRecord& info = module.fileInfo;
    // What the later passes fill in.
    info.textSize = 0x1000;
    info.textAlign = 32;
    info.dataAlign = 8;
    info.loadAlign = 4;
    info.trampAdj = 0x30;
    info.textGrowth = 0x30;
    info.trailerSize = 0x80;

    const std::vector<uint8_t> bytes = fileInfoBytesForFile(ctx);
    const uint32_t expected[] = {0xB71E0402, 0x1000,     32,         0x123,  8,      0x400, 4,          0x140,
                                 0x30,       0x10008000, 0x8000,     0x12345, 0x60,  0,     0x8000,     0,
                                 0x5078,     0xFFFFFFFF, 0x30,       0x80,    0,     0};
    for (size_t k = 0; k < 22; ++k) EXPECT_EQ(be32(bytes, 4 * k), expected[k]) << "field at " << 4 * k;
    EXPECT_EQ(be32(bytes, 0x5C), 0u);
    EXPECT_EQ(bytes[0], 0xB7);
    EXPECT_EQ(bytes[3], 0x02);

    s.compressionLevel = 9;
    ASSERT_EQ(buildFileInfo(ctx), 0);
    EXPECT_EQ(be32(fileInfoBytesForFile(ctx), 0x44), 9u);
}

}  // namespace
