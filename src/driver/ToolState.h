// All process-wide state of a run lives in one record, reset at the start of
// every run, so the tool can run many times in one process.
#pragma once

#include "driver/ToolSettings.h"
#include "elf/InputState.h"
#include "importlib/ImportLibState.h"
#include "module/ModuleState.h"
#include "symbols/SymbolState.h"

struct ToolState {
    ToolSettings settings;
    InputState input;
    SymbolState symbols;
    ModuleState module;
    ImportLibState importLib;
};

ToolState& toolState();

// Releases what the previous run still holds (the input mapping) and sets
// every field back to its default.
void resetToolState();

// Shorthands used by every pass.
inline ToolSettings& settings() { return toolState().settings; }
inline ElfImage& inputImage() { return toolState().input.image; }
