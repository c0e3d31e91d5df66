#include "driver/RunTool.h"

#include <cstring>
#include <string>

#include "driver/MappedFile.h"
#include "driver/Output.h"
#include "driver/Platform.h"
#include "driver/SourceRoots.h"
#include "driver/ToolState.h"
#include "driver/VerifyModule.h"
#include "elf/ElfImage.h"
#include "elf/ElfReader.h"
#include "importlib/ImportLibrary.h"
#include "module/BuildModule.h"
#include "module/LoaderTags.h"

namespace {

constexpr uint32_t kDefaultStackSize = 0x10000;
constexpr uint32_t kMinimumHeapSize = 0x8000;
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

// Reads the number following option i; 0 (also for a missing argument) is
// refused by the callers.
int32_t nextNumber(int argc, char** argv, int& i) { return readNumber(nextArgument(argc, argv, i)); }

int optionNeedsBytes(const char* option) {
    printOut("***Option %s did not have a valid argument (# of bytes). Return -1.\n", option);
    return -1;
}

int readInputFile(const char* argument) {
    ToolState& state = toolState();
    if (state.input.hasImage) {
        printOut("***Error: More than one ELF input file specified. \"%s\"\n", argument);
        return -1;
    }
    MappedFile* mapping = nullptr;
    uint32_t code = mapFile(argument, &mapping);
    if (code != 0) {
        printOut("***Error: Could not map in file \"%s\". Error 0x%08X\n", argument, code);
        return int(code);
    }
    state.settings.inputPath = argument;
    state.settings.hasInputPath = true;
    if (mapping->size() < kMinimumElfFileSize) {
        // Too small to be an ELF file: dropped without a message.
        releaseMappedFile(mapping);
        return 0;
    }
    // The mapping stays for the whole run, also when the reader refuses it.
    if (state.input.inputMapping) releaseMappedFile(state.input.inputMapping);
    state.input.inputMapping = mapping;
    return loadInputElf(int(strlen(argument)), argument, mapping->base, mapping->sizeLow);
}

int parseOption(int argc, char** argv, int& i) {
    ToolSettings& s = settings();
    const char* argument = argv[i];
    const char* word = argument + 1;

    switch (word[0]) {
    case 's':
        if (sameWord(word, "s")) {
            s.stripSymbolStrings = true;
        } else if (sameWord(word, "stack")) {
            int32_t value = nextNumber(argc, argv, i);
            if (value == 0) return optionNeedsBytes("-stack");
            s.stackSize = uint32_t(value);
        } else if (sameWord(word, "sizedata")) {
            int32_t value = nextNumber(argc, argv, i);
            if (value == 0) return optionNeedsBytes("-sizedata");
            s.sizeData = value;
        } else if (sameWord(word, "sizetext")) {
            int32_t value = nextNumber(argc, argv, i);
            if (value == 0) return optionNeedsBytes("-sizetext");
            s.sizeText = value;
        } else if (sameWord(word, "sizetemp")) {
            int32_t value = nextNumber(argc, argv, i);
            if (value == 0) return optionNeedsBytes("-sizetemp");
            s.sizeTemp = value;
        } else if (sameWord(word, "sizeload")) {
            int32_t value = nextNumber(argc, argv, i);
            if (value == 0) return optionNeedsBytes("-sizeload");
            s.sizeLoad = value;
        } else if (sameWord(word, "sizefileinfo")) {
            int32_t value = nextNumber(argc, argv, i);
            if (value == 0) return optionNeedsBytes("-sizefileinfo");
            if (uint32_t(value) < kMinimumFileInfoSize) {
                printOut("***Option -sizefileinfo did not have a valid argument (# of bytes). "
                         "Must be at least as large as %d. Return -1.\n",
                         int(kMinimumFileInfoSize));
                return -1;
            }
            s.sizeFileInfo = uint32_t(value);
        } else {
            printOut("***Option -s does not take an argument. Return -1.\n");
            return -1;
        }
        return 0;

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
        if (sameWord(word, "padall")) {
            int32_t value = nextNumber(argc, argv, i);
            if (value == 0) {
                printOut("***Option -padall did not have a valid argument (percentage). Return -1.\n");
                return -1;
            }
            s.padAllPercent = value;
        }
        return 0;

    case 't': {
        const char* tag = word[1] == '\0' ? nextArgument(argc, argv, i) : nullptr;
        if (!tag || !addTagOption(tag)) {
            printOut("***Option -t must be of the format  -t <x>=<y>.\n");
            return -1;
        }
        return 0;
    }

    case 'h': {
        int32_t value = nextNumber(argc, argv, i);
        if (value == 0) return optionNeedsBytes("-h");
        s.heapSize = uint32_t(value);
        return 0;
    }

    case 'd':
        if (sameWord(word, "d")) {
            s.dynamicOnly = true;
        } else if (sameWord(word, "dbg_source_root")) {
            if (!addSourceRoot(nextArgument(argc, argv, i))) {
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
        s.hasImportLibraryPath = true;
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
bool checkPaddingOptions() {
    ToolSettings& s = settings();
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
void deriveOutputNames(const std::string& inputFullPath) {
    ToolSettings& s = settings();
    size_t nameStart = inputFullPath.find_last_of("/\\");
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    size_t extension = inputFullPath.rfind('.');
    if (extension == std::string::npos || extension < nameStart) extension = inputFullPath.size();
    const std::string stem = inputFullPath.substr(0, extension);
    s.outputPath = stem + (s.isQdx ? ".qdx" : ".qdl");
    if (!s.importLibraryPathGiven && !s.noImportLibrary) {
        s.importLibraryPath = stem + ".a";
        s.hasImportLibraryPath = true;
    }
}

// Maps the written module again and checks it as the loader will see it. The
// file is still under its temporary name: it takes the output name only when
// the check passes, so that a module the loader would refuse never stands
// there (an older module of that name stays as it was).
int verifyWrittenModule() {
    const ToolSettings& s = settings();
    AtomicFile& written = toolState().module.writtenModule;
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
    ElfImage module;
    int result = int(readElfImage(mapping->base, mapping->sizeLow, &module));
    if (result == 0) result = verifyModuleLayout(mapping->base, mapping->sizeLow);
    releaseMappedFile(mapping);
    if (result != 0) {
        printOut("***Error 0x%08X reloading generated file \"%s\"\n", uint32_t(result), s.outputPath.c_str());
        return result;
    }
    if (!written.tempPath.empty() && atomicFileRename(written) != 0) {
        printOut("***Error: Failed writing output file.\n");
        return -1;
    }
    return 0;
}

// Everything after the settings are complete: the stages in their fixed order.
int runStages() {
    ToolSettings& s = settings();
    int result = makeFileInfoPath();
    if (result == 0 && !s.noImportLibrary) result = buildImportLibrary();
    if (result == 0) result = buildModule();
    if (result == 0) result = verifyWrittenModule();
    // A module that failed its check, or was written by a run that failed
    // after the write, never takes the output name: its temporary file goes.
    atomicFileAbort(toolState().module.writtenModule);
    return result;
}

int failWithReport(const char* message, int argc, char** argv) {
    printOut("%s", message);
    reportFailure(-1, argc, argv);
    flushOut();
    return -1;
}

}  // namespace

int parseArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = orEmpty(argv[i]);
        int result = argument[0] == '-' ? parseOption(argc, argv, i) : readInputFile(argument);
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
    printOut("    -h <#>                 Override default system heap size (min %dkB)\n", 32);
    printOut("    -checknosda            Verify QDL does not use an SDA\n");
    printOut("    -stack <#>             Override default initial stack size (%d)\n", 65536);
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
    printOut("\n\n%s FAILED Error = %d\n", program, code);
    printOut("\t%s", program);
    for (int i = 1; i < argc; ++i) printOut(" \\\n\t\t%s", orEmpty(argv[i]));
    printOut("\n");
    printUsage();
}

int runTool(int argc, char** argv) {
    resetToolState();
    ToolSettings& s = settings();
    s.programName = argc > 0 ? orEmpty(argv[0]) : "";

    int result = parseArguments(argc, argv);
    if (result != 0) {
        printUsage();
        flushOut();
        return result;
    }

    if (s.emptyRelaSeen && s.warnEmptyRela && s.hasInputPath) {
        printOut("*** Warning found relocation section for NULL section that has empty relocations in ELF file "
                 "\"%s\"\n",
                 s.inputPath.c_str());
        printOut("*** This is not a problem for your game but please contact Velder support so we can fix this "
                 "issue\n");
    }

    if (s.stackSize == 0) s.stackSize = kDefaultStackSize;
    if (s.heapSize < kMinimumHeapSize) s.heapSize = kMinimumHeapSize;

    if (!toolState().input.hasImage)
        return failWithReport("Error: No Elf file found on command line. Return -1.\n", argc, argv);

    std::string inputFullPath;
    size_t fileNamePos = std::string::npos;
    if (!fullPathName(s.inputPath, inputFullPath, fileNamePos))
        return failWithReport("Error: GetFullPathName for src elf failed. return -1.\n", argc, argv);
    if (fileNamePos == std::string::npos)
        return failWithReport("Error: src elf is expected to be a full path to and including the file; found "
                              "only a directory. return -1.\n",
                              argc, argv);

    if (!checkPaddingOptions()) {
        printOut("\n\n%s FAILED Error = %d\n", s.programName.c_str(), -1);
        flushOut();
        return -1;
    }

    deriveOutputNames(inputFullPath);

    // The module's full path as FileInfo stores it. The output name is
    // already full; only a name grown past the platform's limit fails here.
    std::string outputFullPath;
    if (!fullPathName(s.outputPath, outputFullPath, fileNamePos))
        return failWithReport("Error: GetFullPathName for src elf failed. return -1.\n", argc, argv);
    s.fileInfoPath = outputFullPath;
    s.fileInfoPathLength = uint32_t(outputFullPath.size());
    s.outputFullPathLength = int32_t(outputFullPath.size());

    result = runStages();

    flushOut();
    if (result != 0) printOut("\n\n%s FAILED Error = %d\n", s.programName.c_str(), result);
    flushOut();
    return result;
}

int exitStatusFor(int result) {
    if (result == 0) return 0;
    int status = result & 0xFF;
    return status != 0 ? status : 1;
}
