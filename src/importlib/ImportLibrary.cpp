#include "importlib/ImportLibrary.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "core/CygdrivePath.h"
#include "core/Output.h"
#include "core/Platform.h"
#include "importlib/ImportLibState.h"
#include "elf/SectionContents.h"

namespace {

constexpr char kArchiveMagic[] = "!<arch>\n";
constexpr uint32_t kArchiveMagicSize = 8;
constexpr uint32_t kMemberHeaderSize = 60;
constexpr uint32_t kObjectStart = kArchiveMagicSize + kMemberHeaderSize;  // 68

// The last component of the module path, ASCII capitals lowered.
std::string moduleNameOf(const std::string& outputPath) {
    const size_t slash = outputPath.find_last_of("/\\");
    std::string name = slash == std::string::npos ? outputPath : outputPath.substr(slash + 1);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return name;
}

// The archive member's date: SOURCE_DATE_EPOCH when it holds a decimal
// number (reproducible builds), else the current time; its low 32 bits.
int32_t archiveDate() {
    const char* epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch) {
        uint64_t value = 0;
        const char* p = epoch;
        for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + uint64_t(*p - '0');
        if (*p == '\0') return int32_t(uint32_t(value));
    }
    return int32_t(uint32_t(uint64_t(time(nullptr))));
}

// A field of `width` characters: the text, blanks behind it, cut at the width.
void putField(char* at, size_t width, const std::string& text) {
    memset(at, ' ', width);
    memcpy(at, text.data(), std::min(width, text.size()));
}

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
    char buffer[64];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return {};
    return std::string(buffer, std::min(size_t(length), sizeof buffer - 1));
}

void buildMemberHeader(char* header, const std::string& moduleName, uint32_t objectSize) {
    const std::string name(moduleName.data(), std::min<size_t>(moduleName.size(), 13));
    putField(header + 0, 16, name + ".o/");
    putField(header + 16, 12, formatted("%d", archiveDate()));
    memcpy(header + 28, "0     0     100666  ", 20);
    putField(header + 48, 10, formatted("%-10d", int(objectSize)));
    header[58] = 0x60;
    header[59] = 0x0A;
}

int writeError() { return errno ? errno : EIO; }

// Steps 2 to 8 of the write; 0 or the error number, after its message.
int writeArchive(AtomicFile& file, const ImportStub& stub, const std::string& moduleName) {
    const uint32_t objectSize = uint32_t(stub.image.size());

    errno = 0;
    if (!atomicFileWrite(file, kArchiveMagic, kArchiveMagicSize)) {
        printOut("***Error: Could not write to output library file.\n");
        return writeError();
    }
    char header[kMemberHeaderSize];
    buildMemberHeader(header, moduleName, objectSize);
    errno = 0;
    if (!atomicFileWrite(file, header, sizeof header)) {
        printOut("***Error: Could not write to output library file.\n");
        return writeError();
    }

    // The object's room, zero-filled; the sections are written over it.
    static_assert(kObjectStart % 4 == 0);
    const std::vector<uint8_t> zeros(std::min<size_t>(objectSize, 0x10000), 0);
    for (uint32_t done = 0; done < objectSize;) {
        const uint32_t chunk = uint32_t(std::min<size_t>(objectSize - done, zeros.size()));
        errno = 0;
        if (!atomicFileWrite(file, zeros.data(), chunk)) {
            printOut("*** error writing zeros to output file.\n");
            return writeError();
        }
        done += chunk;
    }

    errno = 0;
    if (!atomicFileSeek(file, kObjectStart)) {
        printOut("*** error seeking in output file.\n");
        return writeError();
    }
    errno = 0;
    if (!atomicFileWrite(file, stub.image.data(), sizeof(Elf32_Ehdr))) {
        printOut("*** error writing to output file.\n");
        return writeError();
    }

    for (uint32_t i = 1; i < stub.sectionCount; ++i) {
        const ImportStubSection& section = stub.sections[i];
        if (section.size == 0) continue;
        errno = 0;
        if (!atomicFileSeek(file, uint64_t(kObjectStart) + section.offset)) {
            printOut("*** error seeking in output file to write section data.\n");
            return writeError();
        }
        errno = 0;
        if (!atomicFileWrite(file, stub.image.data() + section.offset, section.writtenLength)) {
            printOut("*** error writing to output file.\n");
            return writeError();
        }
    }

    errno = 0;
    if (!atomicFileSeek(file, uint64_t(kObjectStart) + stub.shoff)) {
        printOut("*** error seeking in output file to write section headers.\n");
        return writeError();
    }
    errno = 0;
    if (!atomicFileWrite(file, stub.image.data() + stub.shoff, size_t(40) * stub.sectionCount)) {
        printOut("*** error writing section headers.\n");
        return writeError();
    }
    return 0;
}

// Runs the toolchain's archiver over the library, whatever the write gave.
void runArchiver(SymbolContext& ctx, const std::string& libraryPath) {
    std::string root;
    std::string program = "ax";
    std::string command = "ax -ts";
    const char* ghsRoot = getenv("GHS_ROOT");
    if (ghsRoot && *ghsRoot) {
        root = ghsRoot;
        char separator = '\\';
        if (isCygdrivePath(root)) {
            root = drivePathOfCygdrive(root);
            separator = '/';
        } else if (root[0] == '/' || (root.size() >= 4 && root[3] == '/')) {
            separator = '/';
        }
        program = root + separator + "ax";
        command = root + separator + "ax -ts";
    }
    const std::string commandLine = command + " \"" + libraryPath + "\"";
    if (ctx.settings.verbose) printOut("exec: %s\n", commandLine.c_str());
    const int status = runProgram(program, {"-ts", libraryPath});
    if (status != 0) printOut("FAILED: ax -ts %s\nreturned %d\n", libraryPath.c_str(), status);
}

}  // namespace

int buildImportLibrary(SymbolContext& ctx, ImportLibState& state) {
    const ToolSettings& s = ctx.settings;
    state.moduleName = moduleNameOf(s.outputPath);

    const ElfImage& input = ctx.input.image;
    const uint32_t shnum = input.bytes ? input.sectionCount() : 0;
    uint32_t functionExports = 0, dataExports = 0, dataRelocations = 0;
    for (uint32_t i = 1; i < shnum; ++i) {
        const Elf32_Shdr* header = inputSectionHeader(ctx, i);
        if (!header || header->sh_type != SHT_EXPORT_TABLE) continue;
        if (header->sh_flags & SHF_EXECINSTR)
            functionExports = i;
        else
            dataExports = i;
    }
    if (dataExports != 0) {
        for (uint32_t i = 1; i < shnum; ++i) {
            const Elf32_Shdr* header = inputSectionHeader(ctx, i);
            if (header && header->sh_type == SHT_RELA && header->sh_info == dataExports) dataRelocations = i;
        }
    }
    if (functionExports == 0 && dataExports == 0) return 0;

    ImportStub& stub = state.stub;
    if (buildImportStub(ctx, functionExports, dataExports, dataRelocations, state.moduleName, stub) != 0) return -1;
    return writeImportLibrary(ctx, stub, state.moduleName);
}

int writeImportLibrary(SymbolContext& ctx, const ImportStub& stub, const std::string& moduleName) {
    const ToolSettings& s = ctx.settings;
    const std::string& libraryPath = s.importLibraryPath;

    // Written under a temporary name and moved over the library only when
    // complete: a failed write leaves an older library as it was.
    AtomicFile file;
    const int error = atomicFileOpen(file, libraryPath);
    if (error) {
        printOut("***Error: Could not open output file for writing.\n");
        return error;
    }
    int result = writeArchive(file, stub, moduleName);
    if (result == 0) {
        result = atomicFileCommit(file);
        if (result != 0) printOut("***Error: Could not write to output library file.\n");
    } else {
        atomicFileAbort(file);
    }

    runArchiver(ctx, libraryPath);
    return result;
}
