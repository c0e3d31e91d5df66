// The whole state of one run: the context every layer's passes take, and the
// import library. Created and reset only by runTool.
#pragma once

#include "importlib/ImportLibState.h"
#include "module/ModuleState.h"

struct RunContext : ModuleContext {
    ImportLibState importLib;
};
