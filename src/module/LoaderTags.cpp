#include "module/LoaderTags.h"

bool addTagOption(const char*) { return false; }
bool loadTagsFile(const char*) { return false; }
std::string tagsFilePath(const char*) { return {}; }
