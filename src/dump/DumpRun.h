// The state of one qdldump run: what was asked for and the text it prints.
// Every pass of the dumper takes this record; nothing lives in globals.
#pragma once

#include <cstdint>
#include <string>

// Results of the dumper's operations, passed up unchanged and used as the
// exit status of the program.
constexpr int32_t kDumpOk = 0;
constexpr int32_t kDumpFindings = 1;  // --check found problems, --diff differences
constexpr int32_t kDumpFailed = 2;    // usage, I/O, or not a module or library

enum class DumpMode { dump, check, unpack, extract, json, diff };

struct DumpOptions {
    DumpMode mode = DumpMode::dump;
    std::string inputPath;
    std::string secondPath;   // --diff B
    std::string outputPath;   // -u FILE, or -o FILE with -x
    std::string sectionName;  // -x SECTION: a name or an index
};

struct DumpRun {
    DumpOptions options;
    std::string output;  // everything the run prints, in order
};

// The dumper's one printing function: formatted text appended to the run's
// output, which the program writes to standard output.
void dumpPrint(DumpRun& run, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Runs what the options ask for and returns the exit status.
int32_t runDump(DumpRun& run);
