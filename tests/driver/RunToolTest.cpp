#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "driver/RunToolSupport.h"
#include "support/TestContext.h"
#include "support/ElfBuilder.h"

namespace {

const std::string kNoElf = "Error: No Elf file found on command line. Return -1.\n";

// A run that parses its options and then stops for want of an input file;
// its settings stay for a look.
void expectParsed(const std::vector<std::string>& args) {
    ToolRun run = runCaptured(args);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, kNoElf + failureReport(-1, args));
}

// A run refused while parsing: the message, then the usage text.
void expectRefused(const std::vector<std::string>& args, const std::string& message) {
    ToolRun run = runCaptured(args);
    EXPECT_EQ(run.result, -1) << args[0];
    EXPECT_EQ(run.out, message + usageText()) << args[0];
}

TEST(UsageTextTest, PrintsTheTextExactly) {
    std::string text = usageText();
    std::smatch m;
    const std::regex firstLine(
        "\n\nqdlgen for Tarn OS SDK Version 2\\.11\\.03 \\(QDL v1\\.0 "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\)\n");
    ASSERT_TRUE(std::regex_search(text, m, firstLine, std::regex_constants::match_continuous)) << text;
    EXPECT_EQ(text.substr(size_t(m.length(0))),
              "\nUsage:\n"
              "         qdlgen[ 32 | 64 ] [ options* ] input_elf_file\n"
              "\n QdlGen works on the ELF file that comes out of the linker.\n"
              " It creates an QDL file.\n"
              "\nOptions:\n"
              "    -zx                    Do not compress\n"
              "    -z[1-9]                Compression level, default is 6\n"
              "    -f                     Force as QDX\n"
              "    -d                     Set dynamic-only flag in file info\n"
              "    -s                     Strip non-import symbol strings from target\n"
              "    -new                   New smaller QDL symbol table(default)\n"
              "    -old                   Old larger QDL symbol table\n"
              "    -h <#>                 Override default system heap size (min 32kB)\n"
              "    -checknosda            Verify QDL does not use an SDA\n"
              "    -stack <#>             Override default initial stack size (65536)\n"
              "    -l <file>              Specify Output .a import library file\n"
              "    -v                     Print Verbose Info\n"
              "    -warnemptyrela         Emit warning if a relocation section points to the\n"
              "                           NULL section and has empty relocations\n"
              "    -t <x>=<y>             Set Loader Tag <x> value to <y>\n"
              "    -nolib                 Do not generate an import library file\n"
              "    -padall <n>            Pad TEXT, DATA, LOAD and TEMP to <n> percent.\n"
              "    -sizedata <n>          Data area set to <n> bytes. Have to also set\n"
              "                           -sizetext <n> -sizeload <n> -sizetemp <n>\n"
              "    -sizetext <n>          Text area set to <n> bytes. Have to also set\n"
              "                           -sizedata <n> -sizeload <n> -sizetemp <n>\n"
              "    -sizeload <n>          Loader area set to <n> bytes. Have to also set\n"
              "                           -sizedata <n> -sizetext <n> -sizetemp <n>\n"
              "    -sizetemp <n>          Loader overhead area set to <n> bytes. Have to\n"
              "                           also set -sizedata <n> -sizetext <n> -sizeload <n>\n"
              "    -sizefileinfo <n>      FileInfo area set to <n> bytes. Can be used independently of other "
              "padding options\n"
              "                           FileInfo must be at least 96 bytes.\n"
              "    -dbg_source_root <dir> <dir> is a file path (Windows, Cygwin or mixed). Review all source "
              "roots passed to qdlgen\n"
              "                          \tto use the first one that matches up with the input_elf_file to "
              "create a relative path\n"
              "                          \tin the FileInfo.  Added implicitly by the build tools but additional "
              "paths may be added.\n"
              "\n");
}

TEST(FailureReportTest, NoArgumentsEchoesTheProgramAlone) {
    ToolRun run = runCaptured({});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, kNoElf + "\n\nqdlgen FAILED Error = -1\n\tqdlgen\n" + usageText());
}

TEST(FailureReportTest, EchoesOneArgumentPerLine) {
    std::string out;
    std::vector<std::string> storage{"tool", "-v", "a b.elf", ""};
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(a.data());
    beginOutputCapture(&out);
    reportFailure(int(0xBAD00018), 4, argv.data());
    endOutputCapture();
    EXPECT_EQ(out, "\n\ntool FAILED Error = -1160773608\n\ttool \\\n\t\t-v \\\n\t\ta b.elf \\\n\t\t\n" + usageText());
}

TEST(OptionFamilyTest, FamilyLetterIsExactWordsIgnoreCase) {
    expectParsed({"-sTACK", "70000"});
    EXPECT_EQ(ctx.settings.stackSize, 70000u);
    expectRefused({"-Stack", "70000"}, "***Error: Unrecognized option \"-Stack\" specified. Return -1.\n");
    expectParsed({"-CheckNoSda", "-WARNEMPTYRELA"});
    EXPECT_TRUE(ctx.settings.checkNoSda);
    EXPECT_TRUE(ctx.settings.warnEmptyRela);
    expectParsed({"-heap", "100000"});
    EXPECT_EQ(ctx.settings.heapSize, 100000u);
    expectParsed({"-hXyZ", "40000"});
    EXPECT_EQ(ctx.settings.heapSize, 40000u);
    expectRefused({"-H", "40000"}, "***Error: Unrecognized option \"-H\" specified. Return -1.\n");
    expectRefused({"-"}, "***Error: Unrecognized option \"-\" specified. Return -1.\n");
    expectRefused({"-bogus"}, "***Error: Unrecognized option \"-bogus\" specified. Return -1.\n");
    expectParsed({"-dBG_SOURCE_ROOT", "/w"});
    EXPECT_EQ(ctx.settings.sourceRoots, std::vector<std::string>{"/w"});
}

TEST(OptionFamilyTest, CompressionOptions) {
    expectParsed({"-zX"});
    EXPECT_FALSE(ctx.settings.compress);
    EXPECT_EQ(ctx.settings.compressionLevel, -1);
    expectParsed({"-z57"});
    EXPECT_TRUE(ctx.settings.compress);
    EXPECT_EQ(ctx.settings.compressionLevel, 5);
    expectParsed({"-zx", "-z5"});
    EXPECT_FALSE(ctx.settings.compress);
    EXPECT_EQ(ctx.settings.compressionLevel, 5);
    expectParsed({"-z9", "-z"});
    EXPECT_TRUE(ctx.settings.compress);
    EXPECT_EQ(ctx.settings.compressionLevel, 9);
    const std::string zMessage = "***Option -z takes compression level 1 to 9 or x. Return -1.\n";
    expectRefused({"-z0"}, zMessage);
    expectRefused({"-zq"}, zMessage);
    expectRefused({"-zxy"}, zMessage);
    expectRefused({"-ZX"}, "***Error: Unrecognized option \"-ZX\" specified. Return -1.\n");
}

TEST(OptionFamilyTest, FlagOptions) {
    expectParsed({"-f", "-d", "-s", "-old", "-nolib", "-x32", "-v", "-v2", "-v3"});
    const ToolSettings& s = ctx.settings;
    EXPECT_TRUE(s.forceQdx);
    EXPECT_TRUE(s.dynamicOnly);
    EXPECT_TRUE(s.stripSymbolStrings);
    EXPECT_FALSE(s.newSymbolTable);
    EXPECT_TRUE(s.noImportLibrary);
    EXPECT_TRUE(s.allowCode32);
    EXPECT_TRUE(s.verbose && s.verbose2 && s.verbose3);

    expectParsed({"-old", "-nEW"});
    EXPECT_TRUE(ctx.settings.newSymbolTable);
    expectRefused({"-NEW"}, "***Error: Unrecognized option \"-NEW\" specified. Return -1.\n");
    // Unknown words of these families are ignored and take no argument.
    expectParsed({"-nothing", "-oops", "-pad", "-vvv", "-v"});
    EXPECT_TRUE(ctx.settings.verbose);
    EXPECT_FALSE(ctx.settings.noImportLibrary);
    EXPECT_TRUE(ctx.settings.newSymbolTable);
    EXPECT_EQ(ctx.settings.padAllPercent, 0);
    expectParsed({"-vfoo"});
    EXPECT_FALSE(ctx.settings.verbose);

    expectRefused({"-fx"}, "***Option -f does not take an argument. Return -1.\n");
    expectRefused({"-dx"}, "***Option -d does not take an argument. Return -1.\n");
    expectRefused({"-sx"}, "***Option -s does not take an argument. Return -1.\n");
    expectRefused({"-x33"}, "***Error: Unrecognized option \"-x33\" specified.\n");
    expectRefused({"-x"}, "***Error: Unrecognized option \"-x\" specified.\n");
    expectRefused({"-X32"}, "***Error: Unrecognized option \"-X32\" specified. Return -1.\n");
}

TEST(OptionFamilyTest, NumericArguments) {
    const std::string stack = "***Option -stack did not have a valid argument (# of bytes). Return -1.\n";
    expectRefused({"-stack", "0x20000"}, stack);
    expectRefused({"-stack", "0"}, stack);
    expectRefused({"-stack", "abc"}, stack);
    expectRefused({"-stack"}, stack);
    expectParsed({"-stack", "131072"});
    EXPECT_EQ(ctx.settings.stackSize, 131072u);
    expectParsed({"-stack", " \t+12kB"});
    EXPECT_EQ(ctx.settings.stackSize, 12u);
    expectParsed({"-stack", "99999999999"});  // saturates like a 32-bit long
    EXPECT_EQ(ctx.settings.stackSize, 0x7FFFFFFFu);

    const std::string heap = "***Option -h did not have a valid argument (# of bytes). Return -1.\n";
    expectRefused({"-h", "0"}, heap);
    expectRefused({"-heap"}, heap);
    expectParsed({"-h", "4096"});
    EXPECT_EQ(ctx.settings.heapSize, 0x8000u);
    expectParsed({"-h", "-1"});
    EXPECT_EQ(ctx.settings.heapSize, 0xFFFFFFFFu);
    expectParsed({"-h", "-99999999999"});
    EXPECT_EQ(ctx.settings.heapSize, 0x80000000u);
    expectParsed({"-h", "32769"});
    EXPECT_EQ(ctx.settings.heapSize, 32769u);

    // Defaults after parsing.
    expectParsed({});
    EXPECT_EQ(ctx.settings.stackSize, 0x10000u);
    EXPECT_EQ(ctx.settings.heapSize, 0x8000u);

    for (const char* option : {"-sizedata", "-sizetext", "-sizetemp", "-sizeload", "-sizefileinfo"}) {
        std::string message = std::string("***Option ") + option +
                              " did not have a valid argument (# of bytes). Return -1.\n";
        expectRefused({option, "0"}, message);
        expectRefused({option}, message);
    }
    expectRefused({"-sizefileinfo", "95"},
                  "***Option -sizefileinfo did not have a valid argument (# of bytes). Must be at least as large "
                  "as 96. Return -1.\n");
    expectParsed({"-sizefileinfo", "96"});
    EXPECT_EQ(ctx.settings.sizeFileInfo, 96u);
    expectParsed({"-sizefileinfo", "-1"});  // compared unsigned
    EXPECT_EQ(ctx.settings.sizeFileInfo, 0xFFFFFFFFu);

    const std::string padall = "***Option -padall did not have a valid argument (percentage). Return -1.\n";
    expectRefused({"-padall", "0"}, padall);
    expectRefused({"-padall"}, padall);
    expectParsed({"-padall", "10", "-padall", "25"});
    EXPECT_EQ(ctx.settings.padAllPercent, 25);
}

TEST(OptionFamilyTest, ArgumentOptions) {
    const std::string lMessage = "***Option -l requires a filename. Return -1.\n";
    expectRefused({"-l"}, lMessage);
    expectParsed({"-lout.a"});
    EXPECT_EQ(ctx.settings.importLibraryPath, "out.a");
    EXPECT_TRUE(ctx.settings.importLibraryPathGiven);
    expectParsed({"-l", "out.a"});
    EXPECT_EQ(ctx.settings.importLibraryPath, "out.a");
    // The next argument is taken whatever it looks like.
    expectParsed({"-l", "-v"});
    EXPECT_EQ(ctx.settings.importLibraryPath, "-v");
    EXPECT_FALSE(ctx.settings.verbose);

    const std::string tMessage = "***Option -t must be of the format  -t <x>=<y>.\n";
    expectRefused({"-t"}, tMessage);
    expectRefused({"-tname=value"}, tMessage);

    const std::string rootMessage =
        "***Option -dbg_source_root did not have a valid argument (a path beginning with the drive). Return -1.\n";
    expectRefused({"-dbg_source_root"}, rootMessage);
    expectRefused({"-dbg_source_root", ""}, rootMessage);
    expectParsed({"-dbg_source_root", "/p", "-dbg_source_root", "/q", "-dbg_source_root", "/p"});
    EXPECT_EQ(ctx.settings.sourceRoots, (std::vector<std::string>{"/p", "/q"}));
}

TEST(OptionFamilyTest, ParsingStopsAtTheFirstError) {
    expectRefused({"-zq", "-bogus"}, "***Option -z takes compression level 1 to 9 or x. Return -1.\n");
}

TEST(InputFileTest, MappingErrorsReturnTheirCodes) {
    std::string dir = testTempDir();
    std::string missing = dir + "/missing.elf";
    std::string empty = writeTempFile({}, "empty.elf");
    struct Case {
        std::string path;
        uint32_t code;
    };
    for (const Case& c : {Case{missing, 0x80070002u}, Case{dir, 0x80070005u}, Case{empty, 0x80004005u}}) {
        ToolRun run = runCaptured({"-v", c.path, "-bogus"});
        char message[512];
        snprintf(message, sizeof message, "***Error: Could not map in file \"%s\". Error 0x%08X\n", c.path.c_str(),
                 c.code);
        EXPECT_EQ(run.result, int(c.code));
        EXPECT_EQ(run.out, message + usageText());
    }
    // "/"-prefixed and empty arguments are input files too.
    ToolRun run = runCaptured({""});
    EXPECT_EQ(run.result, int(0x8000FFFF));
    EXPECT_EQ(run.out, "***Error: Could not map in file \"\". Error 0x8000FFFF\n" + usageText());
}

TEST(InputFileTest, ShortFilesAreDroppedSilently) {
    std::string small = writeTempFile(std::vector<uint8_t>(259, 0x7F), "small.elf");
    ToolRun run = runCaptured({small});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, kNoElf + failureReport(-1, {small}));
    EXPECT_EQ(ctx.input.inputMapping, nullptr);
    // Two of them are not "more than one input file".
    run = runCaptured({small, small});
    EXPECT_EQ(run.out, kNoElf + failureReport(-1, {small, small}));
}

TEST(ExitStatusTest, KeepsTheLowEightBitsOfFailures) {
    EXPECT_EQ(exitStatusFor(0), 0);
    EXPECT_EQ(exitStatusFor(-1), 255);
    EXPECT_EQ(exitStatusFor(int(0xBAD00018)), 0x18);
    EXPECT_EQ(exitStatusFor(int(0xBAD00032)), 0x32);
    EXPECT_EQ(exitStatusFor(int(0x80070002)), 2);
    EXPECT_EQ(exitStatusFor(int(0x80004005)), 5);
    EXPECT_EQ(exitStatusFor(0x100), 1);
    EXPECT_EQ(exitStatusFor(int(0xBAD00000)), 1);
    EXPECT_EQ(exitStatusFor(3), 3);
}

struct ProcessRun {
    int status = -1;
    std::string out, err;
};

// Runs the built tool as its own process with standard output and standard
// error kept apart.
ProcessRun runProcess(const std::string& arguments) {
    std::string dir = testTempDir();
    std::string outFile = dir + "/stdout.txt", errFile = dir + "/stderr.txt";
    std::string command = std::string("'") + QDLGEN_TOOL_PATH + "' " + arguments + " >'" + outFile + "' 2>'" +
                          errFile + "'";
    ProcessRun run;
    int raw = system(command.c_str());
    if (raw != -1 && WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
    auto slurp = [](const std::string& path) {
        std::string text;
        if (FILE* f = fopen(path.c_str(), "rb")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
            fclose(f);
        }
        return text;
    };
    run.out = slurp(outFile);
    run.err = slurp(errFile);
    return run;
}

TEST(ToolProcessTest, ExitStatusAndSilentStandardError) {
    ProcessRun run = runProcess("");
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind(kNoElf + "\n\n" QDLGEN_TOOL_PATH " FAILED Error = -1\n", 0), 0u) << run.out;

    run = runProcess("-x33");
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("***Error: Unrecognized option \"-x33\" specified.\n\n\nqdlgen for Tarn OS", 0), 0u);

    run = runProcess("'" + testTempDir() + "/missing.elf'");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "");

    std::string empty = writeTempFile({}, "empty.elf");
    run = runProcess("'" + empty + "'");
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.err, "");
}

}  // namespace
