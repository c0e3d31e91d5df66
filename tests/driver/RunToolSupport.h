// Running the tool in-process with its printed text captured.
#pragma once

#include <string>
#include <vector>

#include "core/Output.h"
#include "driver/RunTool.h"
#include "support/TestContext.h"

struct ToolRun {
    int result = 0;
    std::string out;
};

// runTool with "qdlgen" as the program name followed by `args`.
inline ToolRun runCaptured(const std::vector<std::string>& args) {
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

inline std::string usageText() {
    std::string text;
    beginOutputCapture(&text);
    printUsage();
    endOutputCapture();
    return text;
}

// The failure report of a run: banner, the echoed command line, the usage.
inline std::string failureReport(int code, const std::vector<std::string>& args) {
    std::string text = "\n\nqdlgen FAILED Error = " + std::to_string(code) + "\n\tqdlgen";
    for (const std::string& a : args) text += " \\\n\t\t" + a;
    return text + "\n" + usageText();
}
