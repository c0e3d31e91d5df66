// The usage text and failure report the driver tests expect (the runner is
// runCaptured of tests/support).
#pragma once

#include <string>
#include <vector>

#include "core/Output.h"
#include "driver/RunTool.h"
#include "support/TestContext.h"

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
