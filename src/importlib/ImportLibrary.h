// The import library archive and the archiver run.
#pragma once

#include <string>

#include "importlib/ImportLibState.h"
#include "importlib/ImportStub.h"
#include "symbols/SymbolState.h"

// Builds the stub from the export tables and writes the library; 0 without
// export tables (no library is written).
int buildImportLibrary(SymbolContext& ctx, ImportLibState& library);
int writeImportLibrary(SymbolContext& ctx, const ImportStub& stub, const std::string& moduleName);
