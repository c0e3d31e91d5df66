#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "driver/RunToolSupport.h"
#include "support/TestContext.h"
#include "support/ElfBuilder.h"

namespace {

std::string writeBasicInput(const std::string& name) {
    return writeTempFile(makeBasicInput().builder.build(), name);
}

std::string endsWithBanner(int result) {
    return "\n\nqdlgen FAILED Error = " + std::to_string(result) + "\n";
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Runs from inside `dir` so that relative input names resolve there.
ToolRun runIn(const std::string& dir, const std::vector<std::string>& args) {
    char previous[PATH_MAX];
    EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
    EXPECT_EQ(chdir(dir.c_str()), 0);
    ToolRun run = runCaptured(args);
    EXPECT_EQ(chdir(previous), 0);
    return run;
}

TEST(RunToolInputTest, ReadsTheInputAndGoesOnToTheStages) {
    std::string input = writeBasicInput("app.elf");
    ToolRun run = runCaptured({input});
    EXPECT_TRUE(ctx.input.hasImage);
    EXPECT_EQ(ctx.settings.inputPath, input);
    // The input is mapped until the module is published.
    EXPECT_EQ(ctx.input.inputMapping == nullptr, run.result == 0);
    // Past the driver's own checks: whatever a later stage gives is the result.
    if (run.result != 0) {
        EXPECT_TRUE(endsWith(run.out, endsWithBanner(run.result))) << run.out;
    }
    EXPECT_EQ(run.out.find("Usage:"), std::string::npos) << run.out;
}

TEST(RunToolInputTest, ForceQdxCountsOnlyBeforeTheInput) {
    std::string input = writeBasicInput("app.elf");
    std::string dir = testTempDir();
    runCaptured({"-f", input});
    EXPECT_TRUE(ctx.settings.isQdx);
    EXPECT_EQ(ctx.settings.outputPath, dir + "/app.qdx");
    runCaptured({input, "-f"});
    EXPECT_TRUE(ctx.settings.forceQdx);
    EXPECT_FALSE(ctx.settings.isQdx);
    EXPECT_TRUE(ctx.settings.checkNoSda);
    EXPECT_EQ(ctx.settings.outputPath, dir + "/app.qdl");
}

TEST(RunToolInputTest, OutputNames) {
    std::string dir = testTempDir();
    std::string input = writeBasicInput("app.elf");
    runIn(dir, {"app.elf"});
    EXPECT_EQ(ctx.settings.outputPath, dir + "/app.qdl");
    EXPECT_EQ(ctx.settings.importLibraryPath, dir + "/app.a");
    EXPECT_EQ(ctx.settings.fileInfoPath, dir + "/app.qdl");
    EXPECT_EQ(ctx.settings.fileInfoPath.size(), (dir + "/app.qdl").size());
    EXPECT_EQ(ctx.settings.outputFullPathLength, int32_t((dir + "/app.qdl").size()));

    // The extension is looked for in the file name only.
    std::filesystem::create_directories(dir + "/my.dir");
    writeBasicInput("my.dir/app");
    runIn(dir, {"./my.dir/../my.dir/app"});
    EXPECT_EQ(ctx.settings.outputPath, dir + "/my.dir/app.qdl");
    EXPECT_EQ(ctx.settings.importLibraryPath, dir + "/my.dir/app.a");

    writeBasicInput("app.elf.bak");
    runCaptured({dir + "/app.elf.bak"});
    EXPECT_EQ(ctx.settings.outputPath, dir + "/app.elf.qdl");

    // -l is used as written; -nolib derives no library name.
    runIn(dir, {"-l", "lib/out.a", "app.elf"});
    EXPECT_EQ(ctx.settings.importLibraryPath, "lib/out.a");
    EXPECT_EQ(ctx.settings.outputPath, dir + "/app.qdl");
    runCaptured({"-nolib", input});
    EXPECT_EQ(ctx.settings.importLibraryPath, "");
    EXPECT_NE(access((dir + "/app.a").c_str(), F_OK), 0);  // no library written
}

TEST(RunToolInputTest, SourceRootShortensTheFileInfoPath) {
    std::string dir = testTempDir();
    std::string input = writeBasicInput("app.elf");
    runCaptured({"-dbg_source_root", dir, input});
    EXPECT_EQ(ctx.settings.fileInfoPath, "app.qdl");
    EXPECT_EQ(ctx.settings.fileInfoPath.size(), 7u);
    EXPECT_EQ(ctx.settings.outputFullPathLength, int32_t((dir + "/app.qdl").size()));

    // With roots, a module path over 244 characters is refused.
    std::string name(200, 'n');
    std::string longInput = writeBasicInput(name + ".elf");
    ASSERT_GT((dir + "/" + name + ".qdl").size(), 244u);
    ToolRun run = runCaptured({"-dbg_source_root", "/elsewhere", longInput});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "***File path to QDL is too large.\n" + endsWithBanner(-1));
}

TEST(RunToolInputTest, PaddingOptionRules) {
    std::string input = writeBasicInput("app.elf");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"-sizedata", "4096"},
         "Error: -sizedata 4096 needs to set -sizetext <n> -sizeload <n> -sizetemp <n>. return -1.\n"},
        {{"-sizetext", "8", "-sizedata", "-5"},
         "Error: -sizetext 8 needs to set -sizedata <n> -sizetemp <n> -sizeload <n>. return -1.\n"},
        {{"-sizetemp", "16", "-sizedata", "1", "-sizetext", "1"},
         "Error: -sizedata 1 needs to set -sizetext <n> -sizeload <n> -sizetemp <n>. return -1.\n"},
        {{"-sizetemp", "16"},
         "Error: -sizetemp 16 needs to set -sizedata <n> -sizetext <n> -sizeload <n>. return -1.\n"},
        {{"-sizeload", "32"},
         "Error: -sizeload 32 needs to set -sizedata <n> -sizetext <n> -sizetemp <n>. return -1.\n"},
        {{"-sizedata", "1", "-sizetext", "2", "-sizetemp", "3", "-sizeload", "4", "-padall", "10"},
         "Error: Please specify either percentage (-padall <n>) or bytes (-sizedata <n> -sizetext <n> "
         "-sizeload <n> -sizetemp <n>) for segment padding. return -1.\n"},
        {{"-sizedata", "-2", "-padall", "10"},
         "Error: Please specify either percentage (-padall <n>) or bytes (-sizedata <n> -sizetext <n> "
         "-sizeload <n> -sizetemp <n>) for segment padding. return -1.\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(input);
        ToolRun run = runCaptured(args);
        EXPECT_EQ(run.result, -1) << c.message;
        EXPECT_EQ(run.out, c.message + endsWithBanner(-1));
    }

    // A negative size counts as given but is not tested.
    runCaptured({"-sizedata", "-5", input});
    EXPECT_TRUE(ctx.settings.paddingBySize);
    EXPECT_NE(ctx.settings.outputPath, "");
    runCaptured({"-sizedata", "1", "-sizetext", "2", "-sizetemp", "3", "-sizeload", "4", input});
    EXPECT_TRUE(ctx.settings.paddingBySize);
    runCaptured({"-padall", "10", "-sizefileinfo", "200", input});
    EXPECT_FALSE(ctx.settings.paddingBySize);
    EXPECT_EQ(ctx.settings.padAllPercent, 10);
}

TEST(RunToolInputTest, InputFileRules) {
    std::string input = writeBasicInput("app.elf");
    std::string other = writeBasicInput("other.elf");
    ToolRun run = runCaptured({input, "-v", "-s", other});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "***Error: More than one ELF input file specified. \"" + other + "\"\n" + usageText());

    // A file too small to be ELF is dropped and a later input is taken.
    std::string small = writeTempFile(std::vector<uint8_t>(259, 0), "small.elf");
    runCaptured({small, input});
    EXPECT_TRUE(ctx.input.hasImage);
    EXPECT_EQ(ctx.settings.inputPath, input);
}

TEST(RunToolInputTest, ReaderRefusalEndsTheRunWithItsCode) {
    std::vector<uint8_t> bytes = makeBasicInput().builder.build();
    bytes[0] = 0;  // bad magic
    std::string input = writeTempFile(bytes, "bad.elf");
    ToolRun run = runCaptured({input});
    EXPECT_EQ(run.result, int(0xBAD00019));
    EXPECT_TRUE(endsWith(run.out, usageText()));
    EXPECT_EQ(run.out.find("FAILED"), std::string::npos);

    std::string command = std::string("'") + QDLGEN_TOOL_PATH + "' '" + input + "' >/dev/null 2>'" +
                          testTempDir() + "/err.txt'";
    int raw = system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 0x19);
    EXPECT_EQ(std::filesystem::file_size(testTempDir() + "/err.txt"), 0u);
}

TEST(RunToolInputTest, EmptyRelocationWarning) {
    BasicInput in = makeBasicInput();
    in.builder.addRela(0, {{}}, in.symtab);  // for the null section, one zero entry
    std::string input = writeTempFile(in.builder.build(), "app.elf");
    const std::string warning =
        "*** Warning found relocation section for NULL section that has empty relocations in ELF file \"" + input +
        "\"\n*** This is not a problem for your game but please contact Velder support so we can fix this "
        "issue\n";
    ToolRun run = runCaptured({"-warnemptyrela", input});
    EXPECT_TRUE(ctx.input.image.emptyRelaSeen);
    EXPECT_EQ(run.out.rfind(warning, 0), 0u) << run.out;
    run = runCaptured({input});
    EXPECT_EQ(run.out.find("*** Warning found"), std::string::npos);
}

}  // namespace
