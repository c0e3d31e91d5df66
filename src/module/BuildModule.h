// The module build: the build sequence from TARN_ROOT to the written file.
#pragma once

#include "core/Platform.h"
#include "module/ModuleState.h"

// 0 on success, -1 on an error, or the zlib status of a failed compression.
// The file is left closed under its temporary name in `written`.
int buildModule(ModuleContext& ctx, AtomicFile& written);
