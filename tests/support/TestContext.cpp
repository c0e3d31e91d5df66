#include "support/TestContext.h"

RunContext& testContext() {
    static RunContext* context = new RunContext();
    return *context;
}

void resetTestContext() { testContext() = RunContext{}; }
