#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "core/Output.h"
#include "importlib/ImportLibrary.h"
#include "importlib/ImportTestInput.h"
#include "support/TestContext.h"

namespace {

using namespace importtest;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A stand-in archiver named "ax" in `dir` that records its argv, one
// argument a line, in dir/argv.txt and exits with AX_STATUS (default 0).
void writeStandInArchiver(const std::string& dir) {
    std::filesystem::create_directories(dir);
    const std::string script = dir + "/ax";
    std::ofstream(script) << "#!/bin/sh\n"
                             "exec 2>/dev/null\n"
                             "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > \"$(dirname \"$0\")/argv.txt\"\n"
                             "exit ${AX_STATUS:-0}\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
}

struct LibraryRun {
    int result = 0;
    std::string out;
};

class ImportLibraryTest : public ::testing::Test {
protected:
    // The environment each test starts from; a test sets its own on top.
    ScopedEnv epoch{"SOURCE_DATE_EPOCH", "1700000000"};
    ScopedEnv ghsRoot{"GHS_ROOT", nullptr};
    ScopedEnv status{"AX_STATUS", nullptr};
    std::string dir;
    std::string toolDir;
    std::vector<uint8_t> bytes;

    void SetUp() override {
        dir = testTempDir();
        toolDir = dir + "/ghs";
        writeStandInArchiver(toolDir);
        std::filesystem::remove(toolDir + "/argv.txt");
    }

    // An input with the foo/bar function exports; the module is dir/MyLib.qdl.
    void loadFooBar(const std::string& library) {
        ElfBuilder b;
        addFunctionExports(b, exportTable(0xA1B2C3D4, {{"foo"}, {"bar"}}));
        bytes = b.build();
        ASSERT_TRUE(loadInput(bytes));
        ctx.settings.outputPath = dir + "/MyLib.qdl";
        ctx.settings.importLibraryPath = library;
    }

    LibraryRun run() {
        LibraryRun r;
        beginOutputCapture(&r.out);
        r.result = buildImportLibrary(ctx, ctx.importLib);
        endOutputCapture();
        return r;
    }

    bool archiverRan() const { return std::filesystem::exists(toolDir + "/argv.txt"); }
    std::vector<std::string> archiverArgs() const {
        std::vector<std::string> lines;
        std::ifstream in(toolDir + "/argv.txt");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Files of the test directory other than the stand-in archiver's.
    std::vector<std::string> filesInDir() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().filename() != "ghs") names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ImportLibraryTest, FooBarLibraryByteForByte) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    const std::string library = dir + "/mylib.a";
    loadFooBar(library);
    LibraryRun r = run();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ctx.importLib.moduleName, "mylib.qdl");

    const std::string file = readFile(library);
    ASSERT_EQ(file.size(), 644u);
    EXPECT_EQ(file.substr(0, 68), "!<arch>\nmylib.qdl.o/    1700000000  0     0     100666  576       `\n");
    const std::vector<uint8_t>& stub = ctx.importLib.stub.image;
    ASSERT_EQ(stub.size(), 576u);
    EXPECT_EQ(file.substr(68), std::string(stub.begin(), stub.end()));
    EXPECT_EQ(file.substr(68 + 64, 17), std::string("\0\0\0\x02\xA1\xB2\xC3\xD4mylib.qdl", 17));
    EXPECT_EQ(archiverArgs(), (std::vector<std::string>{toolDir + "/ax", "-ts", library}));
    EXPECT_EQ(filesInDir(), (std::vector<std::string>{"mylib.a"}));  // no temporary file left
    EXPECT_EQ(std::filesystem::status(library).permissions() & std::filesystem::perms::owner_write,
              std::filesystem::perms::owner_write);
}

TEST_F(ImportLibraryTest, LongModuleNameIsCutInTheMemberHeader) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    ScopedEnv negative("SOURCE_DATE_EPOCH", "4294967295");  // low 32 bits as a signed number
    loadFooBar(dir + "/lib.a");
    ctx.settings.outputPath = dir + "/ABCDEFGHIJKLMNOP.QDX";
    EXPECT_EQ(run().result, 0);
    EXPECT_EQ(ctx.importLib.moduleName, "abcdefghijklmnop.qdx");
    const std::string file = readFile(dir + "/lib.a");
    EXPECT_EQ(file.substr(8, 28), "abcdefghijklm.o/-1          ");
}

TEST_F(ImportLibraryTest, NonDecimalSourceDateEpochFallsBackToTheClock) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    ScopedEnv bad("SOURCE_DATE_EPOCH", "12x");
    loadFooBar(dir + "/lib.a");
    const long before = long(time(nullptr));
    EXPECT_EQ(run().result, 0);
    const long date = std::stol(readFile(dir + "/lib.a").substr(24, 12));
    EXPECT_GE(date, before);
    EXPECT_LE(date, long(time(nullptr)));
}

TEST_F(ImportLibraryTest, InputWithoutExportTablesWritesNothing) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    ElfBuilder b;
    b.addSection({.name = ".text", .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000000, .data = b.words({0})});
    bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    ctx.settings.outputPath = dir + "/app.qdl";
    ctx.settings.importLibraryPath = dir + "/app.a";
    LibraryRun r = run();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir + "/app.a"));
    EXPECT_FALSE(archiverRan());
}

TEST_F(ImportLibraryTest, LastExportTableOfAKindWins) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    ElfBuilder b;
    addFunctionExports(b, exportTable(0x1, {{"old1"}, {"old2"}}), ".fexports");
    addFunctionExports(b, exportTable(0x2, {{"new"}}), ".fexports2");
    addDataExports(b, exportTable(0x3, {{"d1"}}), ".dexports");
    const uint32_t data2 = addDataExports(b, exportTable(0x4, {{"d2"}, {"d3"}}), ".dexports2");
    b.section(data2).addr = kDataTableAddress + 0x100;
    const uint32_t symtab = b.addSymbolTable({{.name = "t", .info = symbolInfo(STB_GLOBAL, STT_OBJECT)}});
    // Two relocation sections for the winning table: the last one is used.
    b.addRela(data2, dataExportRelocations({R_PPC_ADDR32, R_PPC_ADDR32}), symtab);
    std::vector<TestRela> relas = dataExportRelocations({R_PPC_ADDR32, R_PPC_DTPREL32});
    for (TestRela& rela : relas) rela.r_offset += 0x100;
    const uint32_t lastRela = b.addRela(data2, relas, symtab);
    bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    ctx.settings.outputPath = dir + "/m.qdl";
    ctx.settings.importLibraryPath = dir + "/m.a";
    LibraryRun r = run();
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out,
              "***Error: Export symbol \"d3\" is unexpectedly a TLS symbol. Clobber and rebuild with current "
              "qdlscan[32|64]. Return -1.\n");

    b.section(lastRela).relas[1].type = R_PPC_ADDR32;
    bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    ctx.settings.outputPath = dir + "/m.qdl";
    ctx.settings.importLibraryPath = dir + "/m.a";
    r = run();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    const std::string file = readFile(dir + "/m.a");
    EXPECT_EQ(file.substr(68 + 64, 8), std::string("\0\0\0\x01\0\0\0\x02", 8));   // .fimport_ from .fexports2
    EXPECT_EQ(file.substr(68 + 128, 8), std::string("\0\0\0\x02\0\0\0\x04", 8));  // .dimport_ from .dexports2
}

TEST_F(ImportLibraryTest, StubErrorWritesNoLibrary) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    ElfBuilder b;
    const uint32_t data = addDataExports(b, exportTable(0x3, {{"a"}, {"b"}}));
    const uint32_t symtab = b.addSymbolTable({{.name = "t", .info = symbolInfo(STB_GLOBAL, STT_OBJECT)}});
    b.addRela(data, dataExportRelocations({R_PPC_ADDR32}), symtab);
    bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    ctx.settings.outputPath = dir + "/m.qdl";
    ctx.settings.importLibraryPath = dir + "/m.a";
    LibraryRun r = run();
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "***Error: numDataExports (2) != numRelaDataExports (1). Return -1\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/m.a"));
    EXPECT_FALSE(archiverRan());
}

TEST_F(ImportLibraryTest, LibraryPathReachesTheArchiverAsOneArgument) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    const std::string library = dir + "/my lib;echo $(touch pwned)&'\"`x`.a";
    loadFooBar(library);
    ctx.settings.verbose = true;
    LibraryRun r = run();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "exec: " + toolDir + "/ax -ts \"" + library + "\"\n");
    EXPECT_EQ(archiverArgs(), (std::vector<std::string>{toolDir + "/ax", "-ts", library}));
    EXPECT_EQ(readFile(library).size(), 644u);
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/pwned"));
}

TEST_F(ImportLibraryTest, ArchiverFoundInPathWithoutGhsRoot) {
    ScopedEnv path("PATH", (toolDir + ":" + (getenv("PATH") ? getenv("PATH") : "")).c_str());
    const std::string library = dir + "/mylib.a";
    loadFooBar(library);
    ctx.settings.verbose = true;
    LibraryRun r = run();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "exec: ax -ts \"" + library + "\"\n");
    ASSERT_EQ(archiverArgs().size(), 3u);
    EXPECT_EQ(archiverArgs()[1], "-ts");
    EXPECT_EQ(archiverArgs()[2], library);
}

TEST_F(ImportLibraryTest, GhsRootCommandLineForms) {
    const std::string library = dir + "/mylib.a";
    const std::pair<const char*, std::string> forms[] = {
        {"/cygdrive/c/ghs/comp", "c:/ghs/comp/ax -ts"},
        {"C:\\ghs\\comp", "C:\\ghs\\comp\\ax -ts"},
        {"C:/ghs", "C:/ghs\\ax -ts"},  // the fourth character is no slash
        {"C:/", "C:/\\ax -ts"},
        {"D:\\/x", "D:\\/x/ax -ts"},  // a slash as the fourth character
        {"/opt/ghs", "/opt/ghs/ax -ts"},
    };
    for (const auto& [value, command] : forms) {
        ScopedEnv root("GHS_ROOT", value);
        loadFooBar(library);
        ctx.settings.verbose = true;
        LibraryRun r = run();
        EXPECT_EQ(r.result, 0) << value;
        // None of these archivers exists here.
        EXPECT_EQ(r.out, "exec: " + command + " \"" + library + "\"\nFAILED: ax -ts " + library + "\nreturned 127\n")
            << value;
    }
}

TEST_F(ImportLibraryTest, FailingArchiverIsReportedAndTheRunGoesOn) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    ScopedEnv failing("AX_STATUS", "3");
    const std::string library = dir + "/mylib.a";
    loadFooBar(library);
    LibraryRun r = run();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "FAILED: ax -ts " + library + "\nreturned 3\n");
    EXPECT_EQ(readFile(library).size(), 644u);
}

TEST_F(ImportLibraryTest, LibraryPathThatIsADirectoryCannotBeOpened) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    const std::string library = dir + "/lib.a";
    std::filesystem::create_directories(library);
    loadFooBar(library);
    LibraryRun r = run();
    EXPECT_EQ(r.result, EISDIR);
    EXPECT_EQ(r.out, "***Error: Could not open output file for writing.\n");
    EXPECT_TRUE(std::filesystem::is_directory(library));
    EXPECT_FALSE(archiverRan());
}

TEST_F(ImportLibraryTest, LibraryInAMissingDirectoryCannotBeOpened) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    loadFooBar(dir + "/no/such/dir/lib.a");
    LibraryRun r = run();
    EXPECT_EQ(r.result, ENOENT);
    EXPECT_EQ(r.out, "***Error: Could not open output file for writing.\n");
    EXPECT_FALSE(archiverRan());
}

TEST_F(ImportLibraryTest, FailedWriteLeavesAnOlderLibraryUntouched) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    const std::string library = dir + "/mylib.a";
    std::ofstream(library, std::ios::binary) << "older library";
    loadFooBar(library);

    // Writes past 300 bytes fail: the zero fill of the 576-byte object is cut.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 300;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    LibraryRun r = run();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_EQ(r.result, EFBIG);
    EXPECT_EQ(r.out, "*** error writing zeros to output file.\n");
    EXPECT_EQ(readFile(library), "older library");
    EXPECT_EQ(filesInDir(), (std::vector<std::string>{"mylib.a"}));  // the temporary file is gone
    EXPECT_TRUE(archiverRan());  // the archiver runs whatever the write gave
}

TEST_F(ImportLibraryTest, ShortWriteOfTheMemberHeaderIsAnError) {
    ScopedEnv root("GHS_ROOT", toolDir.c_str());
    const std::string library = dir + "/mylib.a";
    loadFooBar(library);

    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 30;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    LibraryRun r = run();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_EQ(r.result, EFBIG);
    EXPECT_EQ(r.out, "***Error: Could not write to output library file.\n");
    EXPECT_FALSE(std::filesystem::exists(library));
    EXPECT_EQ(filesInDir(), (std::vector<std::string>{}));
}

}  // namespace
