#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Platform.h"
#include "support/ElfBuilder.h"

namespace {

struct Resolved {
    bool ok;
    std::string path;
    size_t namePos;
};

Resolved resolve(const std::string& path) {
    Resolved r{false, "<unset>", 0};
    r.ok = fullPathName(path, r.path, r.namePos);
    return r;
}

std::string currentDirectory() {
    char cwd[PATH_MAX];
    EXPECT_NE(getcwd(cwd, sizeof cwd), nullptr);
    return cwd;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FullPathNameTest, ResolvesAsText) {
    Resolved r = resolve("/w/./src//../app.elf");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.path, "/w/app.elf");
    EXPECT_EQ(r.namePos, 3u);

    r = resolve("/../../x");
    EXPECT_EQ(r.path, "/x");

    // "\" is an ordinary character of a name.
    r = resolve("/w/a\\b.elf");
    EXPECT_EQ(r.path, "/w/a\\b.elf");
    EXPECT_EQ(r.namePos, 3u);

    std::string cwd = currentDirectory();
    r = resolve("app.elf");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.path, (cwd == "/" ? "" : cwd) + "/app.elf");
    EXPECT_EQ(r.path.substr(r.namePos), "app.elf");
}

TEST(FullPathNameTest, DirectoriesHaveNoFileNamePart) {
    for (const char* path : {"/w/", "/w/src/.", "/w/src/..", ".", "..", "/", "x/"}) {
        Resolved r = resolve(path);
        EXPECT_TRUE(r.ok) << path;
        EXPECT_EQ(r.namePos, std::string::npos) << path;
    }
    EXPECT_EQ(resolve("/w/src/..").path, "/w");
    EXPECT_EQ(resolve("/").path, "/");
}

TEST(FullPathNameTest, RefusesEmptyAndOverlongPaths) {
    EXPECT_FALSE(resolve("").ok);
    std::string longest = "/" + std::string(PATH_MAX - 2, 'a');
    EXPECT_TRUE(resolve(longest).ok);
    EXPECT_FALSE(resolve(longest + "b").ok);
    // Only the resolved length counts.
    EXPECT_TRUE(resolve(longest + "/../b").ok);
}

TEST(RunProgramTest, ExitCodesSignalsAndMissingPrograms) {
    EXPECT_EQ(runProgram("true", {}), 0);
    EXPECT_EQ(runProgram("false", {}), 1);
    EXPECT_EQ(runProgram("/bin/sh", {"-c", "exit 42"}), 42);
    EXPECT_EQ(runProgram("sh", {"-c", "kill -9 $$"}), 128 + 9);
    EXPECT_EQ(runProgram("no-such-program-anywhere", {"-ts", "x"}), 127);
    EXPECT_EQ(runProgram(testTempDir() + "/missing", {}), 127);
}

TEST(RunProgramTest, PassesArgumentsWithoutAShell) {
    std::string out = testTempDir() + "/args.txt";
    // Each argument arrives as one word, with no shell expansion of "$HOME".
    ASSERT_EQ(runProgram("sh", {"-c", "printf '%s|' \"$0\" \"$@\" > \"$0\"", out, "-ts", "a b", "$HOME"}), 0);
    EXPECT_EQ(readWholeFile(out), out + "|-ts|a b|$HOME|");
}

TEST(AtomicFileTest, CommitReplacesTheTargetWithPlainPermissions) {
    std::string target = testTempDir() + "/module.qdl";
    {
        std::ofstream old(target);
        old << "old contents";
    }
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);

    AtomicFile f;
    ASSERT_EQ(atomicFileOpen(f, target), 0);
    EXPECT_EQ(f.tempPath.rfind(target + ".tmp", 0), 0u);
    EXPECT_TRUE(atomicFileWrite(f, "0123456789", 10));
    EXPECT_TRUE(atomicFileSeek(f, 2));
    EXPECT_TRUE(atomicFileWrite(f, "ab", 2));
    EXPECT_EQ(readWholeFile(target), "old contents");  // untouched until the commit
    std::string temp = f.tempPath;
    EXPECT_EQ(atomicFileCommit(f), 0);

    EXPECT_EQ(readWholeFile(target), "01ab456789");
    EXPECT_FALSE(std::filesystem::exists(temp));
    mode_t mask = umask(0);
    umask(mask);
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u & ~mask);
}

TEST(AtomicFileTest, ReplacingLeavesNoOtherFileAndKeepsOtherLinks) {
    // The old target leaves the directory with its name; another hard link
    // to it keeps the old contents, as after a rename over it.
    const std::string dir = testTempDir() + "/replace";
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    const std::string target = dir + "/module.qdl";
    const std::string other = dir + "/other.qdl";
    { std::ofstream(target) << "old"; }
    ASSERT_EQ(link(target.c_str(), other.c_str()), 0);
    for (const char* contents : {"first", "second"}) {
        AtomicFile f;
        ASSERT_EQ(atomicFileOpen(f, target), 0);
        EXPECT_TRUE(atomicFileWrite(f, contents, strlen(contents)));
        EXPECT_EQ(atomicFileCommit(f), 0);
        EXPECT_EQ(readWholeFile(target), contents);
        EXPECT_EQ(readWholeFile(other), "old");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);
    }
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_nlink, 1u);
}

TEST(AtomicFileTest, AbortLeavesTheTargetAsItWas) {
    std::string target = testTempDir() + "/lib.a";
    {
        std::ofstream old(target);
        old << "previous";
    }
    AtomicFile f;
    ASSERT_EQ(atomicFileOpen(f, target), 0);
    EXPECT_TRUE(atomicFileWrite(f, "partial", 7));
    std::string temp = f.tempPath;
    atomicFileAbort(f);
    EXPECT_EQ(readWholeFile(target), "previous");
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_EQ(f.fd, -1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(testTempDir()), {}), 1);
}

TEST(AtomicFileTest, FailuresReportTheErrorNumber) {
    AtomicFile f;
    EXPECT_EQ(atomicFileOpen(f, testTempDir() + "/no/such/dir/x.a"), ENOENT);
    EXPECT_FALSE(atomicFileWrite(f, "x", 1));

    // A target that is a directory is refused at the open, as opening it for
    // writing would be, and nothing is created.
    std::string dir = testTempDir() + "/occupied";
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    std::filesystem::create_directory(dir + "/inner");
    EXPECT_EQ(atomicFileOpen(f, dir), EISDIR);
    EXPECT_TRUE(f.tempPath.empty());

    // One that becomes a directory while the file is written cannot be
    // replaced; the temporary goes.
    std::string late = testTempDir() + "/late";
    ASSERT_EQ(atomicFileOpen(f, late), 0);
    std::string temp = f.tempPath;
    EXPECT_TRUE(atomicFileWrite(f, "x", 1));
    ASSERT_TRUE(std::filesystem::create_directory(late));
    std::filesystem::create_directory(late + "/inner");
    EXPECT_NE(atomicFileCommit(f), 0);
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_TRUE(std::filesystem::is_directory(late));
}

TEST(AtomicFileTest, LongNamesAndSymbolicLinks) {
    // A target whose name is as long as a file name may be still gets a
    // temporary beside it.
    const std::string target = testTempDir() + "/" + std::string(NAME_MAX - 4, 'n') + ".qdl";
    AtomicFile f;
    ASSERT_EQ(atomicFileOpen(f, target), 0);
    EXPECT_TRUE(atomicFileWrite(f, "long", 4));
    EXPECT_EQ(atomicFileCommit(f), 0);
    EXPECT_EQ(readWholeFile(target), "long");

    // A symbolic link is written through: the file it names is replaced.
    const std::string real = testTempDir() + "/real.qdl";
    const std::string link = testTempDir() + "/link.qdl";
    { std::ofstream(real) << "before"; }
    std::filesystem::create_symlink(real, link);
    ASSERT_EQ(atomicFileOpen(f, link), 0);
    EXPECT_TRUE(atomicFileWrite(f, "after", 5));
    EXPECT_EQ(atomicFileCommit(f), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readWholeFile(real), "after");
}

}  // namespace
