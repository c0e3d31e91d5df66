#include "importlib/ImportLibrary.h"

int buildImportLibrary() { return 0; }
int writeImportLibrary(const ImportStub&) { return 0; }
