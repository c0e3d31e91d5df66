// Inputs that the fuzzers once found faults with, run again as the fuzzers
// ran them: "reader-*" through the reader alone on an exactly sized copy,
// "run-*" through a whole run whose first byte picks the command line.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "elf/ElfReader.h"
#include "module/ModuleBuildSupport.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> optionsFor(uint8_t pick) {
    switch (pick % 8) {
        case 1: return {"-v", "-v2", "-v3"};
        case 2: return {"-old", "-s"};
        case 3: return {"-zx"};
        case 4: return {"-f", "-d"};
        case 5: return {"-padall", "10"};
        case 6: return {"-sizedata", "65536", "-sizetext", "65536", "-sizeload", "65536", "-sizetemp", "65536"};
        case 7: return {"-t", "A=1", "-dbg_source_root", testTempDir()};
        default: return {};
    }
}

std::vector<fs::path> regressionInputs(const std::string& prefix) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(std::string(QDLGEN_SOURCE_DIR) + "/tests/fixtures/regressions"))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
    return found;
}

}  // namespace

TEST(FuzzRegression, ReaderInputs) {
    for (const fs::path& path : regressionInputs("reader-")) {
        std::vector<uint8_t> bytes = readWholeFile(path.string());
        ElfImage image;
        const uint32_t code = readElfImage(bytes.data(), uint32_t(bytes.size()), &image);
        EXPECT_TRUE(code == 0 || (code & 0xFFFFFF00) == 0xBAD00000) << path;
    }
}

TEST(FuzzRegression, RunInputs) {
    for (const fs::path& path : regressionInputs("run-")) {
        const std::vector<uint8_t> bytes = readWholeFile(path.string());
        ASSERT_FALSE(bytes.empty());
        std::vector<std::string> options = optionsFor(bytes[0]);
        const auto start = std::chrono::steady_clock::now();
        const BuildRun run = buildInProcess(std::vector<uint8_t>(bytes.begin() + 1, bytes.end()), options);
        // Each of these inputs is a few kilobytes; one of them once took seconds
        // and gigabytes.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0) << path;
        if (run.result != 0) continue;
        CheckedModule module;
        // Region sizes fixed on the command line (-padall, -size*) are the
        // user's, even below the sections they hold.
        module.sizesChangedAfterPlacement = bytes[0] % 8 == 5 || bytes[0] % 8 == 6;
        const std::vector<std::string> problems =
            problemsOfTheBuilder(checkModule(run.module, module), std::vector<uint8_t>(bytes.begin() + 1, bytes.end()));
        EXPECT_TRUE(problems.empty()) << path << ": " << (problems.empty() ? "" : problems.front());
    }
}
