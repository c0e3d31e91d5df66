#include "symbols/StripSymbols.h"

int stripUnusedSymbols() { return 0; }
