#include "driver/MappedFile.h"

uint32_t mapFile(const char*, MappedFile** result) { if (result) *result = nullptr; return kResultFail; }
int32_t releaseMappedFile(MappedFile*) { return 0; }
