// The import library archive and the archiver run.
#pragma once

#include "importlib/ImportStub.h"

int buildImportLibrary();
int writeImportLibrary(const ImportStub& stub);
