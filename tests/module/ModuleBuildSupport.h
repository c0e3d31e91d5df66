// Running whole builds in-process on builder inputs.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/Output.h"
#include "driver/RunTool.h"
#include "support/TestContext.h"
#include "support/ElfBuilder.h"
#include "support/ModuleChecker.h"

struct BuildRun {
    int result = 0;
    std::string out;
    std::string modulePath;
    std::vector<uint8_t> module;
};

// Writes the input to the test's temp dir as app.elf and runs the tool over
// it with `options` (and -nolib), TARN_ROOT at a scratch SDK without tags.
inline BuildRun buildInProcess(const std::vector<uint8_t>& input, std::vector<std::string> options) {
    const std::string path = writeTempFile(input, "app.elf");
    // A module of an earlier run is never taken for this run's.
    const std::string qdl = testTempDir() + "/app.qdl", qdx = testTempDir() + "/app.qdx";
    unlink(qdl.c_str());
    unlink(qdx.c_str());
    setenv("TARN_ROOT", (testTempDir() + "/sdk").c_str(), 1);
    std::vector<std::string> args{"-nolib"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    const ToolRun tool = runCaptured(args);
    BuildRun run;
    run.result = tool.result;
    run.out = tool.out;
    // A module with -f or a small-data base above 0x8000 is a QDX.
    run.modulePath = access(qdx.c_str(), F_OK) == 0 ? qdx : qdl;
    run.module = readWholeFile(run.modulePath);
    return run;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
