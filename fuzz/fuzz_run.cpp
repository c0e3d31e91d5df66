// Fuzzes a whole run of the tool, in-process: the input after its first
// byte is the ELF file, the first byte picks the command line. A run that
// succeeds must have written a module that an independent reader accepts.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/Output.h"
#include "driver/RunTool.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (workDir.empty()) setUp();
    if (size < 1) return 0;
    const std::string input = workDir + "/in.elf";
    writeFile(input, data + 1, size - 1);
    unlink((workDir + "/in.qdl").c_str());
    unlink((workDir + "/in.qdx").c_str());

    std::vector<std::string> storage{"qdlgen"};
    for (const std::string& option : commandLine(data[0])) storage.push_back(option);
    storage.push_back(input);
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::string output;
    beginOutputCapture(&output);
    const int result = runTool(int(storage.size()), argv.data());
    endOutputCapture();
    if (result != 0) return 0;

    std::vector<uint8_t> module = readWholeFile(workDir + "/in.qdl");
    if (module.empty()) module = readWholeFile(workDir + "/in.qdx");
    CheckedModule checked;
    const std::vector<std::string> problems = checkModule(module, checked);
    if (!problems.empty()) {
        // To standard error: abort() does not flush standard output.
        for (const std::string& problem : problems) fprintf(stderr, "module problem: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
