// The file image of the module and its single write.
#pragma once

#include "core/Platform.h"
#include "module/ModuleState.h"

// The module file, complete and closed under its temporary name in
// `written`; it takes the output name only once the check of the written
// module has passed.
int writeModuleFile(ModuleContext& ctx, AtomicFile& written);
