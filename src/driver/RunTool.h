// The program's entry logic: options, settings, output names and the run
// sequence.
#pragma once

#include <cstdint>

#include "driver/RunContext.h"

// Runs the tool once; returns the run's 32-bit result (0 on success).
int runTool(int argc, char** argv);

// The same run in a context the caller keeps (tests look at it afterwards);
// the context is reset first.
int runTool(RunContext& ctx, int argc, char** argv);

int parseArguments(RunContext& ctx, int argc, char** argv);
void printUsage();

// The failure banner, the command line and the usage text.
void reportFailure(int code, int argc, char** argv);

// The process exit status for a run's result: its low 8 bits, except that a
// non-zero result whose low 8 bits are 0 gives 1.
int exitStatusFor(int result);
