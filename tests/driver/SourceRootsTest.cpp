#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Output.h"
#include "driver/SourceRoots.h"
#include "support/TestContext.h"

namespace {

struct Stored {
    int result;
    std::string path;
    uint32_t length;
    std::string out;
};

// The path FileInfo stores for the module at `modulePath` with these roots.
Stored storedPath(const std::string& modulePath, const std::vector<std::string>& roots) {
    resetTestContext();
    for (const std::string& root : roots) EXPECT_TRUE(addSourceRoot(ctx.settings, root.c_str()));
    ctx.settings.fileInfoPath = modulePath;
    ctx.settings.outputFullPathLength = int32_t(modulePath.size());
    std::string out;
    beginOutputCapture(&out);
    int result = makeFileInfoPath(ctx.settings);
    endOutputCapture();
    EXPECT_EQ(ctx.settings.outputFullPathLength, int32_t(modulePath.size()));  // never changed here
    return {result, ctx.settings.fileInfoPath, uint32_t(ctx.settings.fileInfoPath.size()), out};
}

std::string relative(const std::string& modulePath, const std::vector<std::string>& roots) {
    Stored s = storedPath(modulePath, roots);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.length, s.path.size());
    return s.path;
}

TEST(AddSourceRootTest, StoresEachRootOnceInCommandLineOrder) {
    resetTestContext();
    EXPECT_FALSE(addSourceRoot(ctx.settings, nullptr));
    EXPECT_FALSE(addSourceRoot(ctx.settings, ""));
    EXPECT_TRUE(addSourceRoot(ctx.settings, "/w/src"));
    EXPECT_TRUE(addSourceRoot(ctx.settings, "/w"));
    EXPECT_TRUE(addSourceRoot(ctx.settings, "/w/src"));  // already there
    EXPECT_TRUE(addSourceRoot(ctx.settings, "/W/SRC"));  // case counts
    EXPECT_TRUE(addSourceRoot(ctx.settings, "/w/sr"));   // a prefix of a stored root is another root
    EXPECT_EQ(ctx.settings.sourceRoots, (std::vector<std::string>{"/w/src", "/w", "/W/SRC", "/w/sr"}));
}

TEST(MakeFileInfoPathTest, WindowsStyleRoots) {
    // The first matching root wins; "\" in the path matches "/" in the root.
    EXPECT_EQ(relative("C:\\w\\src\\app.qdl", {"C:/w/src", "C:\\w"}), "app.qdl");
    EXPECT_EQ(relative("C:\\w\\src\\app.qdl", {"C:\\w", "C:/w/src"}), "src\\app.qdl");
    EXPECT_EQ(relative("C:\\w\\app.qdl", {"C:\\w\\"}), "app.qdl");
    // A "/" in the path does not match a "\" in the root.
    EXPECT_EQ(relative("C:/w/app.qdl", {"C:\\w"}), "C:/w/app.qdl");
    // Roots are compared case-sensitively.
    EXPECT_EQ(relative("C:\\w\\app.qdl", {"c:\\W"}), "C:\\w\\app.qdl");
}

TEST(MakeFileInfoPathTest, CygdriveRoots) {
    EXPECT_EQ(relative("C:\\w\\app.qdl", {"/cygdrive/c/w"}), "app.qdl");
    EXPECT_EQ(relative("C:\\w\\app.qdl", {"/cygdrive/C/w"}), "app.qdl");
    EXPECT_EQ(relative("c:\\w\\app.qdl", {"/cygdrive/C/w/"}), "app.qdl");
    EXPECT_EQ(relative("C:\\w\\app.qdl", {"/cygdrive/c"}), "w\\app.qdl");
    // Another drive ends the search: later roots are not tried.
    EXPECT_EQ(relative("C:\\w\\app.qdl", {"/cygdrive/d/x", "C:\\w"}), "C:\\w\\app.qdl");
    // So does a path without a drive, unless the root matches as written.
    EXPECT_EQ(relative("/home/u/app.qdl", {"/cygdrive/c/w", "/home/u"}), "/home/u/app.qdl");
    EXPECT_EQ(relative("/cygdrive/c/w/app.qdl", {"/cygdrive/c/w"}), "app.qdl");
    EXPECT_EQ(relative("C:\\w\\app.qdl", {"/cygdrive/"}), "C:\\w\\app.qdl");
}

TEST(MakeFileInfoPathTest, RootsMatchWholeComponentsOnly) {
    EXPECT_EQ(relative("/p/app.qdl", {"/p"}), "app.qdl");
    EXPECT_EQ(relative("/p/app.qdl", {"/p/"}), "app.qdl");
    EXPECT_EQ(relative("/proj/app.qdl", {"/p"}), "/proj/app.qdl");
    EXPECT_EQ(relative("/proj/app.qdl", {"/p", "/proj"}), "app.qdl");
    EXPECT_EQ(relative("C:\\work\\app.qdl", {"C:\\w"}), "C:\\work\\app.qdl");
    EXPECT_EQ(relative("C:\\work\\app.qdl", {"/cygdrive/c/w"}), "C:\\work\\app.qdl");
    EXPECT_EQ(relative("/w/src/app.qdl", {"/w/src/app"}), "/w/src/app.qdl");
    // A root longer than the path never matches.
    EXPECT_EQ(relative("/w/a.qdl", {"/w/a.qdl/more"}), "/w/a.qdl");
}

TEST(MakeFileInfoPathTest, LengthRuleAppliesOnlyWithRoots) {
    const std::string dir = "/" + std::string(230, 'd') + "/";
    const std::string at244 = dir + std::string(244 - dir.size(), 'f');
    const std::string at245 = at244 + "g";
    ASSERT_EQ(at244.size(), 244u);

    Stored s = storedPath(at244, {dir});
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.path, std::string(244 - dir.size(), 'f'));
    EXPECT_EQ(s.out, "");

    s = storedPath(at245, {"/nomatch"});
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.out, "***File path to QDL is too large.\n");
    EXPECT_EQ(s.path, at245);

    const std::string longPath = "/" + std::string(1000, 'x') + "/app.qdl";
    s = storedPath(longPath, {});
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.path, longPath);
    EXPECT_EQ(s.length, longPath.size());
}

}  // namespace
