// The -dbg_source_root list and the module path stored in FileInfo.
#pragma once

#include "core/ToolSettings.h"

// Adds a source root; false when the argument is missing or empty.
bool addSourceRoot(ToolSettings& settings, const char* path);

// Shortens fileInfoPath by the first matching source root. 0 or -1.
int makeFileInfoPath(ToolSettings& settings);
