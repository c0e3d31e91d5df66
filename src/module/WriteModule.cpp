#include "module/WriteModule.h"

int writeModuleFile() { return -1; }
