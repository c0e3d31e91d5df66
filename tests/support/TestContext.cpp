#include "support/TestContext.h"

#include <cstdio>
#include <cstdlib>

#include "driver/RunTool.h"
#include "elf/ElfReader.h"

RunContext& testContext() {
    static RunContext* context = new RunContext();
    return *context;
}

void resetTestContext() { testContext() = RunContext{}; }

::testing::AssertionResult loadTestInput(std::vector<uint8_t>& bytes) {
    resetTestContext();
    RunContext& context = testContext();
    uint32_t result = readElfImage(bytes.data(), uint32_t(bytes.size()), &context.input.image);
    if (result != 0) {
        char code[16];
        snprintf(code, sizeof code, "0x%08X", result);
        return ::testing::AssertionFailure() << "reader result " << code;
    }
    context.input.hasImage = true;
    return ::testing::AssertionSuccess();
}

ScopedEnv::ScopedEnv(const char* n, const char* value) : name(n) {
    if (const char* v = getenv(n)) old = v;
    if (value)
        setenv(n, value, 1);
    else
        unsetenv(n);
}

ScopedEnv::~ScopedEnv() {
    if (old)
        setenv(name.c_str(), old->c_str(), 1);
    else
        unsetenv(name.c_str());
}

ToolRun runCaptured(const std::vector<std::string>& args) {
    std::vector<std::string> storage{"qdlgen"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    ToolRun run;
    beginOutputCapture(&run.out);
    run.result = runTool(testContext(), int(storage.size()), argv.data());
    endOutputCapture();
    return run;
}
