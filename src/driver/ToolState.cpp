#include "driver/ToolState.h"

#include "driver/MappedFile.h"

namespace {
ToolState* theState = nullptr;
}

ToolState& toolState() {
    if (!theState) theState = new ToolState();
    return *theState;
}

void resetToolState() {
    ToolState& state = toolState();
    if (state.input.inputMapping) releaseMappedFile(state.input.inputMapping);
    state = ToolState{};
}
