#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/Output.h"
#include "support/TestContext.h"
#include "module/LoaderTags.h"
#include "support/ElfBuilder.h"

namespace {

struct Captured {
    std::string text;
    Captured() { beginOutputCapture(&text); }
    ~Captured() { endOutputCapture(); }
};

// The list from the head as "name|value" strings.
std::vector<std::string> tagList() {
    std::vector<std::string> list;
    for (const TagEntry& tag : ctx.settings.loaderTags)
        list.push_back(std::string(tag.name()) + "|" + std::string(tag.value()));
    return list;
}

// An SDK root in the test's directory whose tags file holds `contents`.
std::string makeSdkRoot(const std::string& contents) {
    const std::string root = testTempDir() + "/sdk";
    std::filesystem::create_directories(root + "/system/include");
    std::ofstream(root + "/system/include/qdl_tags.txt", std::ios::binary) << contents;
    return root;
}

std::string tagsPathOf(const std::string& root) { return root + "/system/include/qdl_tags.txt"; }

struct TagsFileRun {
    bool complete = false;
    std::string out;
};

TagsFileRun loadFrom(const std::string& contents) {
    const std::string root = makeSdkRoot(contents);
    TagsFileRun run;
    beginOutputCapture(&run.out);
    run.complete = loadTagsFile(ctx, root.c_str());
    endOutputCapture();
    return run;
}

class LoaderTagsTest : public ::testing::Test {
protected:
    void SetUp() override { resetTestContext(); }
};

TEST_F(LoaderTagsTest, OptionStoresNameAndValueAtTheHead) {
    EXPECT_TRUE(addTagOption(ctx, "A=1"));
    EXPECT_TRUE(addTagOption(ctx, "B=C=D"));
    EXPECT_TRUE(addTagOption(ctx, "V=x y#z"));  // blanks and "#" belong to a -t value
    EXPECT_EQ(tagList(), (std::vector<std::string>{"V|x y#z", "B|C=D", "A|1"}));
    EXPECT_EQ(ctx.settings.loaderTags[1].text, "B=C=D");
    EXPECT_EQ(ctx.settings.loaderTags[1].nameLength, 1u);
    EXPECT_EQ(ctx.settings.loaderTags[1].valueLength, 3u);
}

TEST_F(LoaderTagsTest, OptionRepeatedWithTheSameValueIsStoredOnce) {
    Captured c;
    EXPECT_TRUE(addTagOption(ctx, "A=1"));
    EXPECT_TRUE(addTagOption(ctx, "A=1"));
    EXPECT_EQ(tagList(), (std::vector<std::string>{"A|1"}));
    EXPECT_EQ(c.text, "");
}

TEST_F(LoaderTagsTest, OptionConflictNamesBothValues) {
    Captured c;
    EXPECT_TRUE(addTagOption(ctx, "A=1"));
    EXPECT_FALSE(addTagOption(ctx, "A=2"));
    EXPECT_EQ(c.text, "***Option -t value conflict. Previous value \"A=1\"; current value \"A=2\"\n");
    EXPECT_EQ(tagList(), (std::vector<std::string>{"A|1"}));
}

TEST_F(LoaderTagsTest, OptionNamesAreCaseSensitiveAndCompareWhole) {
    EXPECT_TRUE(addTagOption(ctx, "a=1"));
    EXPECT_TRUE(addTagOption(ctx, "A=2"));
    EXPECT_TRUE(addTagOption(ctx, "AB=3"));  // not the same tag as A
    EXPECT_EQ(tagList(), (std::vector<std::string>{"AB|3", "A|2", "a|1"}));
}

TEST_F(LoaderTagsTest, MalformedOptionsFailSilently) {
    Captured c;
    for (const char* word : {"=1", "A=", "A", "", "=", "==1"}) EXPECT_FALSE(addTagOption(ctx, word)) << word;
    EXPECT_FALSE(addTagOption(ctx, nullptr));
    EXPECT_EQ(c.text, "");
    EXPECT_TRUE(ctx.settings.loaderTags.empty());
}

TEST_F(LoaderTagsTest, TagsFilePathForms) {
    EXPECT_EQ(tagsFilePath("/cygdrive/c/sdk"), "c:/sdk/system/include/qdl_tags.txt");
    EXPECT_EQ(tagsFilePath("C:\\sdk"), "C:\\sdk\\system\\include\\qdl_tags.txt");
    EXPECT_EQ(tagsFilePath("C:/sdk"), "C:/sdk/system/include/qdl_tags.txt");
    EXPECT_EQ(tagsFilePath("/opt/sdk"), "/opt/sdk/system/include/qdl_tags.txt");
    EXPECT_EQ(tagsFilePath("/cygdrive/d"), "d:/system/include/qdl_tags.txt");
    EXPECT_EQ(tagsFilePath("C:"), "C:/system/include/qdl_tags.txt");
    // No drive letter after the prefix: no path at all.
    EXPECT_EQ(tagsFilePath("/cygdrive/"), "");
}

TEST_F(LoaderTagsTest, CygdrivePathIsReportedUnderVerbose) {
    ctx.settings.verbose = true;
    Captured c;
    EXPECT_FALSE(loadTagsFile(ctx, "/cygdrive/q/no/such/sdk"));
    EXPECT_EQ(c.text,
              "Found cygdrive path adjusted to \"q:/no/such/sdk/system/include/qdl_tags.txt\"\n"
              "***Error: can not open \"q:/no/such/sdk/system/include/qdl_tags.txt\"\n");
}

TEST_F(LoaderTagsTest, MissingTagsFileIsReported) {
    const std::string root = testTempDir() + "/nosdk";
    Captured c;
    EXPECT_FALSE(loadTagsFile(ctx, root.c_str()));
    EXPECT_EQ(c.text, "***Error: can not open \"" + tagsPathOf(root) + "\"\n");
}

TEST_F(LoaderTagsTest, DirectoryInPlaceOfTheTagsFileCannotBeOpened) {
    const std::string root = testTempDir() + "/dirsdk";
    std::filesystem::create_directories(tagsPathOf(root));
    Captured c;
    EXPECT_FALSE(loadTagsFile(ctx, root.c_str()));
    EXPECT_EQ(c.text, "***Error: can not open \"" + tagsPathOf(root) + "\"\n");
}

TEST_F(LoaderTagsTest, FileEntriesComeBeforeOptionEntriesNewestFirst) {
    ASSERT_TRUE(addTagOption(ctx, "A=1"));
    ASSERT_TRUE(addTagOption(ctx, "B=2"));
    TagsFileRun run = loadFrom("X=1\nY=2\n");
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(tagList(), (std::vector<std::string>{"Y|2", "X|1", "B|2", "A|1"}));
}

TEST_F(LoaderTagsTest, FileEntriesAreNeverComparedWithOptions) {
    ASSERT_TRUE(addTagOption(ctx, "A=1"));
    TagsFileRun run = loadFrom("A=2\n");
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(tagList(), (std::vector<std::string>{"A|2", "A|1"}));
}

TEST_F(LoaderTagsTest, FileLinesWithBlanksCommentsAndEmptyLines) {
    TagsFileRun run = loadFrom(
        "  NAME=VALUE   # the comment\n"
        "\n"
        "# only a comment\n"
        " \t \n"
        "\tTAB=1\tjunk after the token\n"
        "NAME2=VAL#x\n"
        "EQ=a=b\n"
        "LAST=nolinefeed");
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(tagList(), (std::vector<std::string>{"LAST|nolinefeed", "EQ|a=b", "NAME2|VAL", "TAB|1", "NAME|VALUE"}));
}

TEST_F(LoaderTagsTest, BlanksAroundTheEqualsSignAreAFormatError) {
    TagsFileRun run = loadFrom("GOOD=1\nNAME = VALUE\nLATER=2\n");
    EXPECT_FALSE(run.complete);
    const std::string path = testTempDir() + "/sdk/system/include/qdl_tags.txt";
    EXPECT_EQ(run.out,
              "***Error: invalid QDL TAGS file \"" + path +
                  "\"\n"
                  "***Error: line formatted incorrectly\n"
                  "NAME = VALUE\n\n");
    EXPECT_EQ(tagList(), (std::vector<std::string>{"GOOD|1"}));
}

TEST_F(LoaderTagsTest, EqualsBeforeTheNameIsAnError) {
    TagsFileRun run = loadFrom("GOOD=1\n  =VALUE\nLATER=2\n");
    EXPECT_FALSE(run.complete);
    const std::string path = testTempDir() + "/sdk/system/include/qdl_tags.txt";
    EXPECT_EQ(run.out,
              "***Error: invalid QDL TAGS file \"" + path +
                  "\"\n"
                  "***Error: line contains = before a valid tag name\n"
                  "  =VALUE\n\n");
    EXPECT_EQ(tagList(), (std::vector<std::string>{"GOOD|1"}));
}

TEST_F(LoaderTagsTest, EmptyValueStopsReadingSilently) {
    for (const char* line : {"NAME=\n", "NAME= VALUE\n", "NAME=#c\n"}) {
        resetTestContext();
        TagsFileRun run = loadFrom(std::string("FIRST=1\n") + line + "LATER=2\n");
        EXPECT_FALSE(run.complete) << line;
        EXPECT_EQ(run.out, "") << line;
        EXPECT_EQ(tagList(), (std::vector<std::string>{"FIRST|1"})) << line;
    }
}

TEST_F(LoaderTagsTest, CarriageReturnsBeforeLineFeedsAreNotPartOfTheLine) {
    TagsFileRun run = loadFrom("A=1\r\nB=2\r\n\r\nC=3\rD\r\n");
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(tagList(), (std::vector<std::string>{"C|3\rD", "B|2", "A|1"}));

    resetTestContext();
    run = loadFrom("A=1\r\nBAD\r\n");
    const std::string path = testTempDir() + "/sdk/system/include/qdl_tags.txt";
    EXPECT_EQ(run.out, "***Error: invalid QDL TAGS file \"" + path +
                           "\"\n***Error: line formatted incorrectly\nBAD\n\n");
}

TEST_F(LoaderTagsTest, LongLinesAreReadInPiecesOf1023Bytes) {
    // The first 1023 bytes hold the tag; the rest of the line is a piece of
    // its own that has no "=".
    const std::string value(1021, 'v');
    const std::string tail(40, 't');
    TagsFileRun run = loadFrom("A=" + value + tail + "\n");
    EXPECT_FALSE(run.complete);
    ASSERT_EQ(ctx.settings.loaderTags.size(), 1u);
    EXPECT_EQ(ctx.settings.loaderTags[0].value(), value);
    const std::string path = testTempDir() + "/sdk/system/include/qdl_tags.txt";
    EXPECT_EQ(run.out, "***Error: invalid QDL TAGS file \"" + path + "\"\n***Error: line formatted incorrectly\n" +
                           tail + "\n\n");

    // Exactly 1023 bytes with the line feed: one piece.
    resetTestContext();
    run = loadFrom("A=" + std::string(1020, 'w') + "\nB=1\n");
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(tagList(), (std::vector<std::string>{"B|1", "A|" + std::string(1020, 'w')}));

    // A CRLF line of 1024 bytes on disk is 1023 bytes as read.
    resetTestContext();
    run = loadFrom("A=" + std::string(1020, 'x') + "\r\nB=1\r\n");
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(tagList(), (std::vector<std::string>{"B|1", "A|" + std::string(1020, 'x')}));
}

TEST_F(LoaderTagsTest, NulByteEndsTheLineAsRead) {
    TagsFileRun run = loadFrom(std::string("A=1\0junk\nB=2\n", 13));
    EXPECT_TRUE(run.complete);
    EXPECT_EQ(tagList(), (std::vector<std::string>{"B|2", "A|1"}));
}

}  // namespace
