#include "importlib/ImportLibrary.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "driver/Output.h"
#include "driver/Platform.h"
#include "driver/ToolState.h"
#include "elf/SectionContents.h"

namespace {

// The module's name as importers know it: the last component of the output
// path, ASCII capitals lowered.
std::string moduleNameOf(const std::string& outputPath) {
    const size_t slash = outputPath.find_last_of("/\\");
    std::string name = slash == std::string::npos ? outputPath : outputPath.substr(slash + 1);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return name;
}

// The member date: SOURCE_DATE_EPOCH when it holds a decimal number, so that
// builds can be reproduced; the current time otherwise.
int32_t archiveDate() {
    if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
        char* end = nullptr;
        errno = 0;
        long long value = strtoll(epoch, &end, 10);
        if (end != epoch && *end == '\0' && errno == 0) return int32_t(uint32_t(uint64_t(value)));
    }
    return int32_t(uint32_t(uint64_t(time(nullptr))));
}

// A fixed-width ar field: the text, then blanks, cut at the width.
void putField(char* at, size_t width, const char* text) {
    size_t length = strlen(text);
    if (length > width) length = width;
    memset(at, ' ', width);
    memcpy(at, text, length);
}

std::string memberHeader(const std::string& moduleName, size_t objectSize) {
    char header[60];
    char text[64];
    snprintf(text, sizeof text, "%.13s.o/", moduleName.c_str());
    putField(header, 16, text);
    snprintf(text, sizeof text, "%d", archiveDate());
    putField(header + 16, 12, text);
    memcpy(header + 28, "0     0     100666  ", 20);
    snprintf(text, sizeof text, "%-10d", int(objectSize));
    putField(header + 48, 10, text);
    header[58] = '`';
    header[59] = '\n';
    return std::string(header, sizeof header);
}

int writeError() { return errno ? errno : EIO; }

// Runs the toolchain's archiver over the library: "ax -ts <library>".
void runArchiver(const std::string& libraryPath) {
    std::string program = "ax";
    std::string command = "ax -ts";
    if (const char* ghsRoot = getenv("GHS_ROOT")) {
        std::string root = ghsRoot;
        char separator;
        if (root.compare(0, 10, "/cygdrive/") == 0 && root.size() > 10) {
            root = std::string(1, root[10]) + ":" + root.substr(11);
            separator = '/';
        } else if (!root.empty() && root[0] == '/') {
            separator = '/';
        } else {
            separator = root.size() >= 4 && root[3] == '/' ? '/' : '\\';
        }
        program = root + separator + "ax";
        command = program + " -ts";
    }
    const std::string commandLine = command + " \"" + libraryPath + "\"";
    if (settings().verbose) printOut("exec: %s\n", commandLine.c_str());
    const int status = runProgram(program, {"-ts", libraryPath});
    if (status != 0) printOut("FAILED: ax -ts %s\nreturned %d\n", libraryPath.c_str(), status);
}

}  // namespace

int writeImportLibrary(const ImportStub& stub) {
    const std::string& path = settings().importLibraryPath;
    AtomicFile file;
    if (int error = atomicFileOpen(file, path)) {
        printOut("***Error: Could not open output file for writing.\n");
        return error;
    }
    int result = 0;
    const std::string header = memberHeader(toolState().importLib.moduleName, stub.image.size());
    if (!atomicFileWrite(file, "!<arch>\n", 8) || !atomicFileWrite(file, header.data(), header.size())) {
        result = writeError();
        printOut("***Error: Could not write to output library file.\n");
    } else if (!atomicFileWrite(file, stub.image.data(), stub.image.size())) {
        result = writeError();
        printOut("*** error writing zeros to output file.\n");
    }
    if (result == 0) {
        if (int error = atomicFileCommit(file)) {
            result = error;
            printOut("*** error writing to output file.\n");
        }
    } else {
        atomicFileAbort(file);
    }
    runArchiver(path);
    return result;
}

int buildImportLibrary() {
    const ToolSettings& options = settings();
    toolState().importLib.moduleName = moduleNameOf(options.outputPath);

    uint32_t functionExports = 0;
    uint32_t dataExports = 0;
    const uint32_t n = inputImage().sectionCount();
    for (uint32_t i = 1; i < n; ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(i);
        if (s.sh_type != SHT_EXPORT_TABLE) continue;
        if (s.sh_flags & SHF_EXECINSTR)
            functionExports = i;
        else
            dataExports = i;
    }
    uint32_t dataExportRelocations = 0;
    if (dataExports)
        for (uint32_t i = 1; i < n; ++i) {
            const Elf32_Shdr& s = *inputSectionHeader(i);
            if (s.sh_type == SHT_RELA && s.sh_info == dataExports) dataExportRelocations = i;
        }
    if (!functionExports && !dataExports) return 0;

    ImportStub stub;
    if (buildImportStub(functionExports, dataExports, dataExportRelocations, toolState().importLib.moduleName, stub))
        return -1;
    return writeImportLibrary(stub);
}
