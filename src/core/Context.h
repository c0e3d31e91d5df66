// The state of one run. Every pass takes the context of its layer by
// reference, as a parameter: the record says what the pass may touch, and
// only the driver creates and resets it (one run, one context).
//
// Each layer extends the context of the layer below with its own state:
//   Context        the settings                        (core/)
//   ElfContext     + the input image                   (elf/InputState.h)
//   SymbolContext  + the symbol tables and use counts  (symbols/SymbolState.h)
//   ModuleContext  + the module being built            (module/ModuleState.h)
//   RunContext     + the import library                (driver/RunContext.h)
#pragma once

#include "core/ToolSettings.h"

struct Context {
    ToolSettings settings;
};
