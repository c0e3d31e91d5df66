#include "driver/RunTool.h"

int runTool(int, char**) { return -1; }
int parseArguments(int, char**) { return -1; }
void printUsage() {}
void reportFailure(int, int, char**) {}
int exitStatusFor(int result) { return result & 0xFF; }
