// The state of the import library build: the module name and the stub written.
#pragma once

#include <string>

#include "importlib/ImportStub.h"

struct ImportLibState {
    std::string moduleName;  // last component of outputPath, ASCII capitals lowered
    ImportStub stub;         // the stub object written into the library
};
