// Process-wide state of the import library build.
#pragma once

#include <string>

#include "importlib/ImportStub.h"

struct ImportLibState {
    std::string moduleName;  // last component of outputPath, ASCII capitals lowered
    ImportStub stub;         // the stub object written into the library
};
