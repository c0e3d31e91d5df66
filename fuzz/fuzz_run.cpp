// Fuzzes a whole run of the tool, in-process: the input after its first
// byte is the ELF file, the first byte picks the command line. A run that
// succeeds must have written a module that an independent reader accepts,
// and the run on all threads must say and write what the one on one
// thread does.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/Output.h"
#include "driver/RunTool.h"
#include "module/EarlySections.h"
#include "support/ModuleChecker.h"

namespace {

std::string workDir;

void writeFile(const std::string& path, const void* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) abort();
    if (size) fwrite(data, 1, size, file);
    fclose(file);
}

void setUp() {
    char pattern[] = "/tmp/qdlgen-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    workDir = pattern;
    mkdir((workDir + "/sdk").c_str(), 0755);
    mkdir((workDir + "/sdk/system").c_str(), 0755);
    mkdir((workDir + "/sdk/system/include").c_str(), 0755);
    const std::string tags = "TARN_OS_SDK_VERSION=211\nTARN_OS_SDK_REVISION=7\nFUZZ=1\n";
    writeFile(workDir + "/sdk/system/include/qdl_tags.txt", tags.data(), tags.size());
    mkdir((workDir + "/ghs").c_str(), 0755);
    const std::string archiver = "#!/bin/sh\nexit 0\n";
    writeFile(workDir + "/ghs/ax", archiver.data(), archiver.size());
    chmod((workDir + "/ghs/ax").c_str(), 0755);
    setenv("TARN_ROOT", (workDir + "/sdk").c_str(), 1);
    setenv("GHS_ROOT", (workDir + "/ghs").c_str(), 1);
    setenv("QDLGEN_JOBS", "1", 1);
}

std::vector<std::string> commandLine(uint8_t pick) {
    switch (pick % 8) {
        case 1: return {"-v", "-v2", "-v3"};
        case 2: return {"-old", "-s"};
        case 3: return {"-nolib", "-zx"};
        case 4: return {"-f", "-d"};
        case 5: return {"-padall", "10"};
        case 6: return {"-sizedata", "65536", "-sizetext", "65536", "-sizeload", "65536", "-sizetemp", "65536"};
        case 7: return {"-t", "A=1", "-dbg_source_root", workDir};
        default: return {};
    }
}

// Files are written under a temporary name and renamed when complete; no run,
// failed or not, may leave such a temporary behind.
void expectNoTemporaries() {
    DIR* dir = opendir(workDir.c_str());
    if (!dir) abort();
    while (const dirent* entry = readdir(dir)) {
        if (strstr(entry->d_name, ".tmp")) {
            fprintf(stderr, "temporary file left behind: %s\n", entry->d_name);
            abort();
        }
    }
    closedir(dir);
}

uint32_t stubWord(const std::vector<uint8_t>& b, size_t at, bool little) {
    if (little) return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | uint32_t(b[at + 3]);
}

uint16_t stubHalf(const std::vector<uint8_t>& b, size_t at, bool little) {
    return little ? uint16_t(b[at] | b[at + 1] << 8) : uint16_t(b[at] << 8 | b[at + 1]);
}

// The import library: one archive member holding the stub object, whose
// tables lie inside the member. Returns a problem, or an empty string.
std::string checkImportLibrary(const std::vector<uint8_t>& a) {
    if (a.size() < 68 + 64) return "library shorter than its header and a stub";
    if (memcmp(a.data(), "!<arch>\n", 8) != 0) return "no archive magic";
    if (a[8 + 58] != 0x60 || a[8 + 59] != 0x0A) return "no ar_fmag";
    const std::string sizeField(reinterpret_cast<const char*>(a.data()) + 8 + 48, 10);
    const unsigned long memberSize = strtoul(sizeField.c_str(), nullptr, 10);
    if (memberSize == 0 || memberSize % 64 != 0) return "member size not a multiple of 64: " + sizeField;
    if (68 + memberSize != a.size()) return "member size does not match the file: " + sizeField;
    const std::vector<uint8_t> stub(a.begin() + 68, a.end());
    if (memcmp(stub.data(), "\x7f" "ELF", 4) != 0) return "member is not an ELF object";
    const bool little = stub[5] == 1;
    const uint32_t shoff = stubWord(stub, 32, little);
    const uint16_t shnum = stubHalf(stub, 48, little);
    if (shnum < 4 || shnum > 6) return "stub section count out of range";
    if (uint64_t(shoff) + 40ull * shnum > stub.size()) return "stub section headers outside the member";
    for (uint16_t i = 1; i < shnum; ++i) {
        const size_t h = shoff + 40ull * i;
        const uint64_t end = uint64_t(stubWord(stub, h + 16, little)) + stubWord(stub, h + 20, little);
        if (end > shoff) return "stub section " + std::to_string(i) + " runs into the section headers";
    }
    return {};
}

struct Run {
    int result = 0;
    std::string output;
    std::vector<uint8_t> module;
};

Run runOnce(uint8_t pick, const std::string& input) {
    unlink((workDir + "/in.qdl").c_str());
    unlink((workDir + "/in.qdx").c_str());
    unlink((workDir + "/in.a").c_str());
    std::vector<std::string> storage{"qdlgen"};
    for (const std::string& option : commandLine(pick)) storage.push_back(option);
    storage.push_back(input);
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    Run run;
    beginOutputCapture(&run.output);
    run.result = runTool(int(storage.size()), argv.data());
    endOutputCapture();
    expectNoTemporaries();
    run.module = readWholeFile(workDir + "/in.qdl");
    if (run.module.empty()) run.module = readWholeFile(workDir + "/in.qdx");
    return run;
}

// The run on all threads, with every section that no pass rewrites worked
// on before the passes (however small), says and writes what the run on
// one thread does.
void expectSameOnAllThreads(uint8_t pick, const std::string& input, const Run& sequential) {
    unsetenv("QDLGEN_JOBS");
    setEarlySectionsForTesting(true, 1);
    const Run run = runOnce(pick, input);
    setEarlySectionsForTesting(false, 0);
    setenv("QDLGEN_JOBS", "1", 1);
    if (run.result != sequential.result || run.output != sequential.output || run.module != sequential.module) {
        fprintf(stderr, "the run on all threads differs from the one on one thread (results %d, %d)\n",
                sequential.result, run.result);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (workDir.empty()) setUp();
    if (size < 1) return 0;
    const std::string input = workDir + "/in.elf";
    writeFile(input, data + 1, size - 1);
    const Run first = runOnce(data[0], input);
    expectSameOnAllThreads(data[0], input, first);
    if (first.result != 0) return 0;

    const std::vector<uint8_t>& module = first.module;
    CheckedModule checked;
    // -padall and the -size options change FileInfo's region sizes after
    // placement as the user asks, even below the sections they hold or to 0:
    // a loader would refuse such a module, but the tool writes it as told.
    checked.sizesChangedAfterPlacement = data[0] % 8 == 5 || data[0] % 8 == 6;
    const std::vector<std::string> problems =
        problemsOfTheBuilder(checkModule(module, checked), std::vector<uint8_t>(data + 1, data + size));
    if (!problems.empty()) {
        // To standard error: abort() does not flush standard output.
        for (const std::string& problem : problems) fprintf(stderr, "module problem: %s\n", problem.c_str());
        abort();
    }
    const std::vector<uint8_t> library = readWholeFile(workDir + "/in.a");
    if (!library.empty()) {
        const std::string problem = checkImportLibrary(library);
        if (!problem.empty()) {
            fprintf(stderr, "import library problem: %s\n", problem.c_str());
            abort();
        }
    }
    return 0;
}
