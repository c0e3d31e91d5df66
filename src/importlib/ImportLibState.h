// Process-wide state of the import library build.
#pragma once

#include <string>

struct ImportLibState {
    std::string moduleName;  // last component of outputPath, ASCII capitals lowered
};
