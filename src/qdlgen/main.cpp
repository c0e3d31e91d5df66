#include "driver/RunTool.h"

int main(int argc, char** argv) { return exitStatusFor(runTool(argc, argv)); }
