// The check of a module as the loader reads it, and of the layout the module
// builder writes. Every problem is one Finding naming the part concerned.
#pragma once

#include <vector>

#include "dump/ModuleImage.h"

// The problems of a module read by readModule: those met while reading it
// and those of the checks. Empty when the module is sound. Without
// `regionRules` the FileInfo region sizes and alignments are not compared
// with the sections (for modules whose FileInfo a test wrote by hand).
std::vector<Finding> checkModule(const ModuleImage& module, bool regionRules = true);

// Reads `bytes` as a module and checks it.
std::vector<Finding> checkModuleBytes(ByteSpan bytes, bool regionRules = true);

std::string findingLine(const Finding& finding);
