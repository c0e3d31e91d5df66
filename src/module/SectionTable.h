// The output section header table.
#pragma once

#include "module/ModuleState.h"

int buildSectionTable(ModuleContext& ctx);
