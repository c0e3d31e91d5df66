// The run context the unit tests work in. The loaders and runners reset it
// before each input; a test passes it to the passes it calls and reads what
// they left in it.
#pragma once

#include "driver/RunContext.h"

RunContext& testContext();

// A fresh context, as runTool starts with.
void resetTestContext();

namespace {
[[maybe_unused]] RunContext& ctx = testContext();
}
