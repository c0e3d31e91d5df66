// The check of a module as the loader reads it, and of the layout the module
// builder writes. Every problem is one Finding naming the part concerned.
#pragma once

#include <vector>

#include "dump/ModuleImage.h"

// What the check may take from FileInfo's region sizes. A module whose
// sizes were set by hand (by a test, or changed after placement by -padall
// or the size options) is checked without the rules they cannot support.
struct CheckRules {
    bool regionSizes = true;      // the sizes and alignments cover the sections
    bool passesFromSizes = true;  // a placement pass ran where its size is not 0
};

// The problems of a module read by readModule: those met while reading it
// and those of the checks. Empty when the module is sound.
std::vector<Finding> checkModule(const ModuleImage& module, const CheckRules& rules = {});

// Reads `bytes` as a module and checks it.
std::vector<Finding> checkModuleBytes(ByteSpan bytes, const CheckRules& rules = {});

std::string findingLine(const Finding& finding);
