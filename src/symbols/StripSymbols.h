// The -old flow's stripping of symbols that point into empty sections.
#pragma once

#include "symbols/SymbolState.h"

int stripUnusedSymbols(SymbolContext& ctx);
