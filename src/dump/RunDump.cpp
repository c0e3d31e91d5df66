#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dump/CheckModule.h"
#include "dump/DumpRun.h"
#include "dump/FileKind.h"
#include "dump/Modes.h"

namespace {

int32_t loadInput(DumpRun& run, const std::string& path, std::vector<uint8_t>& bytes) {
    std::string error;
    if (readInputFile(path, bytes, error)) return kDumpOk;
    dumpPrint(run, "qdldump: cannot read \"%s\": %s\n", path.c_str(), error.c_str());
    return kDumpFailed;
}

// Reads a module for the modes that need its structure; anything else ends
// the run with a message saying what the file is.
int32_t loadModule(DumpRun& run, const std::string& path, ByteSpan bytes, ModuleImage& module) {
    if (fileKind(bytes) != FileKind::module) {
        dumpPrint(run, "qdldump: \"%s\" is %s, not a QDL/QDX module\n", path.c_str(), describeFile(bytes).c_str());
        return kDumpFailed;
    }
    module.bytes = bytes;
    if (readModule(module) == kDumpOk) return kDumpOk;
    dumpPrint(run, "qdldump: \"%s\": the module's section table cannot be read:\n", path.c_str());
    for (const Finding& f : module.findings) dumpPrint(run, "%s\n", findingLine(f).c_str());
    return kDumpFailed;
}

int32_t runOnModule(DumpRun& run, ByteSpan bytes) {
    ModuleImage module;
    const int32_t result = loadModule(run, run.options.inputPath, bytes, module);
    if (result != kDumpOk) return result;
    switch (run.options.mode) {
        case DumpMode::json: return jsonMode(run, module);
        case DumpMode::unpack: return unpackMode(run, module);
        case DumpMode::extract: return extractMode(run, module);
        default: return dumpModuleMode(run, module);
    }
}

int32_t runDiff(DumpRun& run) {
    std::vector<uint8_t> first, second;
    int32_t result = loadInput(run, run.options.inputPath, first);
    if (result == kDumpOk) result = loadInput(run, run.options.secondPath, second);
    if (result != kDumpOk) return result;
    ModuleImage a, b;
    result = loadModule(run, run.options.inputPath, first, a);
    if (result == kDumpOk) result = loadModule(run, run.options.secondPath, second, b);
    if (result != kDumpOk) return result;
    return diffMode(run, a, b);
}

}  // namespace

int32_t writeOutputFile(DumpRun& run, const std::string& path, const std::vector<uint8_t>& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        dumpPrint(run, "qdldump: cannot write \"%s\": %s\n", path.c_str(), strerror(errno));
        return kDumpFailed;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += size_t(put);
    }
    const int error = done == bytes.size() ? 0 : errno;
    if (close(fd) != 0 || done != bytes.size()) {
        dumpPrint(run, "qdldump: cannot write \"%s\": %s\n", path.c_str(), strerror(error ? error : EIO));
        return kDumpFailed;
    }
    return kDumpOk;
}

int32_t runDump(DumpRun& run) {
    if (run.options.mode == DumpMode::diff) return runDiff(run);
    std::vector<uint8_t> bytes;
    const int32_t result = loadInput(run, run.options.inputPath, bytes);
    if (result != kDumpOk) return result;
    if (run.options.mode == DumpMode::check) return checkMode(run, bytes);
    if (run.options.mode == DumpMode::dump && fileKind(bytes) == FileKind::library) return libraryMode(run, bytes);
    return runOnModule(run, bytes);
}
