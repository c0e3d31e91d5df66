#include "driver/RunTool.h"

#include <cstring>
#include <string>
#include <thread>

#include "core/MappedFile.h"
#include "core/Output.h"
#include "core/Platform.h"
#include "driver/SourceRoots.h"
#include "driver/RunContext.h"
#include "driver/VerifyModule.h"
#include "deflate/RunPieces.h"
#include "elf/ElfImage.h"
#include "elf/ElfReader.h"
#include "importlib/ImportLibrary.h"
#include "module/BuildModule.h"
#include "module/EarlySections.h"
#include "module/LoaderTags.h"

namespace {

constexpr uint32_t kMinimumFileInfoSize = 96;
constexpr uint64_t kMinimumElfFileSize = 0x104;  // 260 bytes
constexpr int kResultFileTooSmall = int(0xBAD00018);

const char* orEmpty(const char* text) { return text ? text : ""; }

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Option words are compared without regard to the case of ASCII letters.
bool sameWord(const char* word, const char* expected) {
    for (; *word && *expected; ++word, ++expected)
        if (asciiLower(*word) != asciiLower(*expected)) return false;
    return *word == *expected;
}

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A signed decimal number read like the runtime's string-to-long conversion
// with base 10 and a 32-bit long: leading blanks, an optional sign, digits up
// to the first other character; out-of-range values saturate. Text without
// digits reads as 0.
int32_t readNumber(const char* text) {
    if (!text) return 0;
    while (isBlank(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
    }
    if (negative) return value > INT32_MAX ? INT32_MIN : int32_t(-value);
    return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

// The argument following option i, or null when the option is the last one.
const char* nextArgument(int argc, char** argv, int& i) {
    if (i + 1 >= argc) return nullptr;
    return argv[++i];
}

// An option whose argument is a number other than 0. `store` keeps the
// value, or refuses it after its own message.
struct NumericOption {
    const char* word;  // without the "-"
    const char* unit;  // what the argument counts, for the message
    bool (*store)(ToolSettings& s, int32_t value);
};

bool storeFileInfoSize(ToolSettings& s, int32_t value) {
    if (uint32_t(value) < kMinimumFileInfoSize) {
        printOut("***Option -sizefileinfo did not have a valid argument (# of bytes). "
                 "Must be at least as large as %d. Return -1.\n",
                 int(kMinimumFileInfoSize));
        return false;
    }
    s.sizeFileInfo = uint32_t(value);
    return true;
}

constexpr NumericOption kNumericOptions[] = {
    {"stack", "# of bytes", [](ToolSettings& s, int32_t v) { return s.stackSize = uint32_t(v), true; }},
    {"sizedata", "# of bytes", [](ToolSettings& s, int32_t v) { return s.sizeData = v, true; }},
    {"sizetext", "# of bytes", [](ToolSettings& s, int32_t v) { return s.sizeText = v, true; }},
    {"sizetemp", "# of bytes", [](ToolSettings& s, int32_t v) { return s.sizeTemp = v, true; }},
    {"sizeload", "# of bytes", [](ToolSettings& s, int32_t v) { return s.sizeLoad = v, true; }},
    {"sizefileinfo", "# of bytes", storeFileInfoSize},
    {"padall", "percentage", [](ToolSettings& s, int32_t v) { return s.padAllPercent = v, true; }},
    {"h", "# of bytes", [](ToolSettings& s, int32_t v) { return s.heapSize = uint32_t(v), true; }},
};

const NumericOption* findNumericOption(const char* word) {
    for (const NumericOption& option : kNumericOptions)
        if (sameWord(word, option.word)) return &option;
    return nullptr;
}

// Reads the number following option i; a missing argument reads as 0, which
// is refused.
int readNumericOption(ToolSettings& s, const NumericOption& option, int argc, char** argv, int& i) {
    const int32_t value = readNumber(nextArgument(argc, argv, i));
    if (value == 0) {
        printOut("***Option -%s did not have a valid argument (%s). Return -1.\n", option.word, option.unit);
        return -1;
    }
    return option.store(s, value) ? 0 : -1;
}

int readInputFile(RunContext& ctx, const char* argument) {
    if (ctx.input.hasImage) {
        printOut("***Error: More than one ELF input file specified. \"%s\"\n", argument);
        return -1;
    }
    MappedFile* mapping = nullptr;
    uint32_t code = mapFile(argument, &mapping);
    if (code != 0) {
        printOut("***Error: Could not map in file \"%s\". Error 0x%08X\n", argument, code);
        return int(code);
    }
    ctx.settings.inputPath = argument;
    if (mapping->size() < kMinimumElfFileSize) {
        // Too small to be an ELF file: dropped without a message.
        releaseMappedFile(mapping);
        return 0;
    }
    // The mapping stays until the module is published, also when the reader
    // refuses it. The CRCs of the large sections no pass writes start as soon
    // as the headers are read.
    ctx.input.inputMapping.reset(mapping);
    return loadInputElf(ctx, int(strlen(argument)), argument, mapping->base, mapping->sizeLow,
                        [&ctx] { startEarlyCrcs(ctx); });
}

// Options are told apart by their first letter; within a letter, words the
// tool does not know are refused or passed over as each letter has it.
int parseOption(RunContext& ctx, int argc, char** argv, int& i) {
    ToolSettings& s = ctx.settings;
    const char* argument = argv[i];
    const char* word = argument + 1;

    switch (word[0]) {
    case 's':
        if (sameWord(word, "s")) {
            s.stripSymbolStrings = true;
            return 0;
        }
        if (const NumericOption* option = findNumericOption(word)) return readNumericOption(s, *option, argc, argv, i);
        printOut("***Option -s does not take an argument. Return -1.\n");
        return -1;

    case 'n':
        if (sameWord(word, "new"))
            s.newSymbolTable = true;
        else if (sameWord(word, "nolib"))
            s.noImportLibrary = true;
        return 0;

    case 'o':
        if (sameWord(word, "old")) s.newSymbolTable = false;
        return 0;

    case 'p':
        if (sameWord(word, "padall")) return readNumericOption(s, *findNumericOption("padall"), argc, argv, i);
        return 0;

    case 't': {
        const char* tag = word[1] == '\0' ? nextArgument(argc, argv, i) : nullptr;
        if (!tag || !addTagOption(ctx, tag)) {
            printOut("***Option -t must be of the format  -t <x>=<y>.\n");
            return -1;
        }
        return 0;
    }

    case 'h':  // every word that starts with "h"
        return readNumericOption(s, *findNumericOption("h"), argc, argv, i);

    case 'd':
        if (sameWord(word, "d")) {
            s.dynamicOnly = true;
        } else if (sameWord(word, "dbg_source_root")) {
            if (!addSourceRoot(s, nextArgument(argc, argv, i))) {
                printOut("***Option -dbg_source_root did not have a valid argument "
                         "(a path beginning with the drive). Return -1.\n");
                return -1;
            }
        } else {
            printOut("***Option -d does not take an argument. Return -1.\n");
            return -1;
        }
        return 0;

    case 'z':
        if (word[1] == '\0') return 0;
        if (sameWord(word, "zx")) {
            s.compress = false;
        } else if (word[1] >= '1' && word[1] <= '9') {
            s.compressionLevel = word[1] - '0';
        } else {
            printOut("***Option -z takes compression level 1 to 9 or x. Return -1.\n");
            return -1;
        }
        return 0;

    case 'l': {
        const char* path = word[1] != '\0' ? word + 1 : nextArgument(argc, argv, i);
        if (!path) {
            printOut("***Option -l requires a filename. Return -1.\n");
            return -1;
        }
        s.importLibraryPath = path;
        s.importLibraryPathGiven = true;
        return 0;
    }

    case 'f':
        if (word[1] != '\0') {
            printOut("***Option -f does not take an argument. Return -1.\n");
            return -1;
        }
        s.forceQdx = true;
        return 0;

    case 'v':
        if (sameWord(word, "v"))
            s.verbose = true;
        else if (sameWord(word, "v2"))
            s.verbose2 = true;
        else if (sameWord(word, "v3"))
            s.verbose3 = true;
        return 0;

    case 'x':
        if (sameWord(word, "x32")) {
            s.allowCode32 = true;
            return 0;
        }
        printOut("***Error: Unrecognized option \"%s\" specified.\n", argument);
        return -1;

    default:
        if (sameWord(word, "checknosda")) {
            s.checkNoSda = true;
            return 0;
        }
        if (sameWord(word, "warnemptyrela")) {
            s.warnEmptyRela = true;
            return 0;
        }
        printOut("***Error: Unrecognized option \"%s\" specified. Return -1.\n", argument);
        return -1;
    }
}

// The four area sizes must be given together, and not with -padall.
bool checkPaddingOptions(ToolSettings& s) {
    const bool allSizes = s.sizeData != -1 && s.sizeText != -1 && s.sizeTemp != -1 && s.sizeLoad != -1;
    if (s.sizeData >= 0 && !allSizes) {
        printOut("Error: -sizedata %d needs to set -sizetext <n> -sizeload <n> -sizetemp <n>. return -1.\n",
                 s.sizeData);
        return false;
    }
    if (s.sizeText >= 0 && !allSizes) {
        printOut("Error: -sizetext %d needs to set -sizedata <n> -sizetemp <n> -sizeload <n>. return -1.\n",
                 s.sizeText);
        return false;
    }
    if (s.sizeTemp >= 0 && !allSizes) {
        printOut("Error: -sizetemp %d needs to set -sizedata <n> -sizetext <n> -sizeload <n>. return -1.\n",
                 s.sizeTemp);
        return false;
    }
    if (s.sizeLoad >= 0 && !allSizes) {
        printOut("Error: -sizeload %d needs to set -sizedata <n> -sizetext <n> -sizetemp <n>. return -1.\n",
                 s.sizeLoad);
        return false;
    }
    s.paddingBySize = s.sizeData != -1 || s.sizeText != -1 || s.sizeTemp != -1 || s.sizeLoad != -1;
    if (s.paddingBySize && s.padAllPercent != 0) {
        printOut("Error: Please specify either percentage (-padall <n>) or bytes (-sizedata <n> -sizetext <n> "
                 "-sizeload <n> -sizetemp <n>) for segment padding. return -1.\n");
        return false;
    }
    return true;
}

// The module and import library names: the input's full path with its
// extension (the last "." of the file name) replaced.
void deriveOutputNames(ToolSettings& s, const std::string& inputFullPath) {
    size_t nameStart = inputFullPath.find_last_of("/\\");
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    size_t extension = inputFullPath.rfind('.');
    if (extension == std::string::npos || extension < nameStart) extension = inputFullPath.size();
    const std::string stem = inputFullPath.substr(0, extension);
    s.outputPath = stem + (s.isQdx ? ".qdx" : ".qdl");
    if (!s.importLibraryPathGiven && !s.noImportLibrary) s.importLibraryPath = stem + ".a";
}

void printFailureBanner(const std::string& program, int code) {
    printOut("\n\n%s FAILED Error = %d\n", program.c_str(), code);
}

int failWithReport(const char* message, int argc, char** argv) {
    printOut("%s", message);
    reportFailure(-1, argc, argv);
    flushOut();
    return -1;
}

// With -warnemptyrela: the reader emptied a relocation section for the null
// section.
void warnEmptyRelocations(const RunContext& ctx) {
    if (!ctx.settings.warnEmptyRela || !ctx.input.hasImage || !ctx.input.image.emptyRelaSeen) return;
    printOut("*** Warning found relocation section for NULL section that has empty relocations in ELF file "
             "\"%s\"\n",
             ctx.settings.inputPath.c_str());
    printOut("*** This is not a problem for your game but please contact Velder support so we can fix this "
             "issue\n");
}

// Everything the command line leaves to the tool: the defaults, the padding
// rules, the output names and the module path that FileInfo stores. 0, or -1
// after the failure report.
int completeSettings(RunContext& ctx, int argc, char** argv) {
    ToolSettings& s = ctx.settings;
    if (s.stackSize == 0) s.stackSize = kDefaultStackSize;
    if (s.heapSize < kMinimumHeapSize) s.heapSize = kMinimumHeapSize;

    if (!ctx.input.hasImage)
        return failWithReport("Error: No Elf file found on command line. Return -1.\n", argc, argv);

    std::string inputFullPath;
    size_t fileNamePos = std::string::npos;
    if (!fullPathName(s.inputPath, inputFullPath, fileNamePos))
        return failWithReport("Error: GetFullPathName for src elf failed. return -1.\n", argc, argv);
    if (fileNamePos == std::string::npos)
        return failWithReport("Error: src elf is expected to be a full path to and including the file; found "
                              "only a directory. return -1.\n",
                              argc, argv);

    if (!checkPaddingOptions(s)) {
        printFailureBanner(s.programName, -1);
        flushOut();
        return -1;
    }

    deriveOutputNames(s, inputFullPath);

    // The output name is already full; only a name grown past the
    // platform's limit fails here.
    std::string outputFullPath;
    if (!fullPathName(s.outputPath, outputFullPath, fileNamePos))
        return failWithReport("Error: GetFullPathName for src elf failed. return -1.\n", argc, argv);
    s.fileInfoPath = outputFullPath;
    s.outputFullPathLength = int32_t(outputFullPath.size());
    return 0;
}

// Maps the written module again and checks it as the loader will see it. The
// file is still under its temporary name: it takes the output name only when
// the check passes (publishModule), so that a module the loader would refuse
// never stands there (an older module of that name stays as it was).
int verifyWrittenModule(const ToolSettings& s, const AtomicFile& written) {
    const std::string& path = written.tempPath.empty() ? s.outputPath : written.tempPath;
    MappedFile* mapping = nullptr;
    uint32_t code = mapFile(path.c_str(), &mapping);
    if (code != 0) {
        printOut("***Error: Could not map in generated file \"%s\". Error 0x%08X\n", s.outputPath.c_str(), code);
        return int(code);
    }
    if (mapping->size() < kMinimumElfFileSize) {
        releaseMappedFile(mapping);
        printOut("***Error: Generated file \"%s\" is too small. Error 0x%08X\n", s.outputPath.c_str(),
                 uint32_t(kResultFileTooSmall));
        return kResultFileTooSmall;
    }
    // Read as the reader reads an input, without converting the mapped
    // bytes (which would copy every page of the tables).
    int result = int(checkElfImage(mapping->base, mapping->sizeLow));
    if (result == 0) result = verifyModuleLayout(mapping->base, mapping->sizeLow);
    releaseMappedFile(mapping);
    if (result != 0) {
        printOut("***Error 0x%08X reloading generated file \"%s\"\n", uint32_t(result), s.outputPath.c_str());
        return result;
    }
    return 0;
}

// The checked module takes the output name. The input is read no more:
// unmapping it and removing the module the new one replaces each take
// milliseconds for a large input, so they run side by side.
int publishModule(RunContext& ctx, AtomicFile& written) {
    if (written.tempPath.empty()) return 0;
    MappedFile* input = ctx.input.inputMapping.release();
    std::thread releaser;
    if (input && startThread(releaser, [input] { releaseMappedFile(input); })) input = nullptr;
    const int renamed = atomicFileRename(written);
    releaseMappedFile(input);
    if (releaser.joinable()) releaser.join();
    if (renamed != 0) {
        printOut("***Error: Failed writing output file.\n");
        return -1;
    }
    return 0;
}

// The stages in their fixed order: the FileInfo path, the import library,
// the module, the check of the written module.
int runStages(RunContext& ctx) {
    AtomicFile written;  // the module under its temporary name
    int result = makeFileInfoPath(ctx.settings);
    if (result == 0 && !ctx.settings.noImportLibrary) result = buildImportLibrary(ctx, ctx.importLib);
    if (result == 0) result = buildModule(ctx, written);
    if (result == 0) result = verifyWrittenModule(ctx.settings, written);
    if (result == 0) result = publishModule(ctx, written);
    // A module that failed its check, or was written by a run that failed
    // after the write, never takes the output name: its temporary file goes.
    atomicFileAbort(written);
    return result;
}

}  // namespace

int parseArguments(RunContext& ctx, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = orEmpty(argv[i]);
        int result = argument[0] == '-' ? parseOption(ctx, argc, argv, i) : readInputFile(ctx, argument);
        if (result != 0) return result;
    }
    return 0;
}

void printUsage() {
    printOut("\n\nqdlgen for Tarn OS SDK Version %d.%02d.%02d (QDL %s %s %s)\n", 2, 11, 3, "v1.0", __DATE__,
             __TIME__);
    printOut("\nUsage:\n");
    printOut("         qdlgen[ 32 | 64 ] [ options* ] input_elf_file\n");
    printOut("\n QdlGen works on the ELF file that comes out of the linker.\n");
    printOut(" It creates an QDL file.\n");
    printOut("\nOptions:\n");
    printOut("    -zx                    Do not compress\n");
    printOut("    -z[1-9]                Compression level, default is 6\n");
    printOut("    -f                     Force as QDX\n");
    printOut("    -d                     Set dynamic-only flag in file info\n");
    printOut("    -s                     Strip non-import symbol strings from target\n");
    printOut("    -new                   New smaller QDL symbol table(default)\n");
    printOut("    -old                   Old larger QDL symbol table\n");
    printOut("    -h <#>                 Override default system heap size (min %dkB)\n", int(kMinimumHeapSize / 1024));
    printOut("    -checknosda            Verify QDL does not use an SDA\n");
    printOut("    -stack <#>             Override default initial stack size (%d)\n", int(kDefaultStackSize));
    printOut("    -l <file>              Specify Output .a import library file\n");
    printOut("    -v                     Print Verbose Info\n");
    printOut("    -warnemptyrela         Emit warning if a relocation section points to the\n");
    printOut("                           NULL section and has empty relocations\n");
    printOut("    -t <x>=<y>             Set Loader Tag <x> value to <y>\n");
    printOut("    -nolib                 Do not generate an import library file\n");
    printOut("    -padall <n>            Pad TEXT, DATA, LOAD and TEMP to <n> percent.\n");
    printOut("    -sizedata <n>          Data area set to <n> bytes. Have to also set\n");
    printOut("                           -sizetext <n> -sizeload <n> -sizetemp <n>\n");
    printOut("    -sizetext <n>          Text area set to <n> bytes. Have to also set\n");
    printOut("                           -sizedata <n> -sizeload <n> -sizetemp <n>\n");
    printOut("    -sizeload <n>          Loader area set to <n> bytes. Have to also set\n");
    printOut("                           -sizedata <n> -sizetext <n> -sizetemp <n>\n");
    printOut("    -sizetemp <n>          Loader overhead area set to <n> bytes. Have to\n");
    printOut("                           also set -sizedata <n> -sizetext <n> -sizeload <n>\n");
    printOut("    -sizefileinfo <n>      FileInfo area set to <n> bytes. Can be used independently of other "
             "padding options\n");
    printOut("                           FileInfo must be at least %d bytes.\n", 96);
    printOut("    -dbg_source_root <dir> <dir> is a file path (Windows, Cygwin or mixed). Review all source roots "
             "passed to qdlgen\n");
    printOut("                          \tto use the first one that matches up with the input_elf_file to create "
             "a relative path\n");
    printOut("                          \tin the FileInfo.  Added implicitly by the build tools but additional "
             "paths may be added.\n");
    printOut("\n");
}

void reportFailure(int code, int argc, char** argv) {
    const char* program = argc > 0 ? orEmpty(argv[0]) : "";
    printFailureBanner(program, code);
    printOut("\t%s", program);
    for (int i = 1; i < argc; ++i) printOut(" \\\n\t\t%s", orEmpty(argv[i]));
    printOut("\n");
    printUsage();
}

int runTool(RunContext& ctx, int argc, char** argv) {
    ctx = RunContext{};
    ctx.settings.programName = argc > 0 ? orEmpty(argv[0]) : "";

    if (int result = parseArguments(ctx, argc, argv)) {
        printUsage();
        flushOut();
        return result;
    }
    warnEmptyRelocations(ctx);
    if (int result = completeSettings(ctx, argc, argv)) return result;

    const int result = runStages(ctx);
    flushOut();
    if (result != 0) printFailureBanner(ctx.settings.programName, result);
    flushOut();
    return result;
}

int runTool(int argc, char** argv) {
    RunContext ctx;
    return runTool(ctx, argc, argv);
}

int exitStatusFor(int result) {
    if (result == 0) return 0;
    int status = result & 0xFF;
    return status != 0 ? status : 1;
}
