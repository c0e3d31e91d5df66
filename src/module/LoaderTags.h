// Loader tags from -t and from the SDK's tags file.
#pragma once

#include "module/ModuleState.h"

#include <string>

// True when the tag was stored or was already present with the same value.
bool addTagOption(ModuleContext& ctx, const char* argument);

// Reads the SDK's tags file under `root` (TARN_ROOT) into the tag list.
// True when the file was read to its end.
bool loadTagsFile(ModuleContext& ctx, const char* root);

// The tags file's path for a TARN_ROOT value.
std::string tagsFilePath(const char* root);
