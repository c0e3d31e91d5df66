#include "importlib/ImportStub.h"

int buildImportStub(uint32_t, uint32_t, uint32_t, const std::string&, ImportStub&) { return -1; }
