// What the unit tests share to run the tool's passes: the run context they
// work in, the input loader, the output capture, the environment guard and
// the in-process runner.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Output.h"
#include "driver/RunContext.h"

// The context of the tests. The loader and the runner reset it before each
// input; a test passes it to the passes it calls and reads what they left.
RunContext& testContext();

// A fresh context, as runTool starts with.
void resetTestContext();

namespace {
[[maybe_unused]] RunContext& ctx = testContext();
}

// Resets the context and reads `bytes` (kept alive by the caller) as its
// input image, tables converted to host order.
::testing::AssertionResult loadTestInput(std::vector<uint8_t>& bytes);

// Collects everything printed while it lives.
struct Captured {
    std::string text;
    Captured() { beginOutputCapture(&text); }
    ~Captured() { endOutputCapture(); }
    std::string take() {
        endOutputCapture();
        return text;
    }
};

// Sets an environment variable (or removes it, for a null value) for one
// scope and puts the old value back.
struct ScopedEnv {
    std::string name;
    std::optional<std::string> old;
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
};

struct ToolRun {
    int result = 0;
    std::string out;
};

// runTool in the test context with "qdlgen" as the program name followed by
// `args`, its printed text captured.
ToolRun runCaptured(const std::vector<std::string>& args);
