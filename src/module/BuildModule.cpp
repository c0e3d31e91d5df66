#include "module/BuildModule.h"

int buildModule() { return -1; }
