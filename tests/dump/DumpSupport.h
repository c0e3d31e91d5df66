// Modules for the qdldump tests: the bundled example and the GNU-linked
// fixtures converted by the built qdlgen, and the built qdldump run on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dump/ModuleImage.h"
#include "e2e/EndToEndSupport.h"

namespace dumptest {

// Converts examples/demo.elf (or a fixture, by file name) in a fresh
// directory and returns the directory; the module is <stem>.qdl there.
std::string convertExample(const std::string& arguments = "");
std::string convertFixture(const std::string& fixture, const std::string& arguments = "");

e2e::ToolRun runQdldump(const std::string& directory, const std::string& arguments);

// The section of that name in a module read from `bytes`.
const ModuleSection& sectionNamed(const ModuleImage& module, const std::string& name);

// The problem lines of the check of `bytes`, one string each.
std::vector<std::string> checkLines(const std::vector<uint8_t>& bytes);
// True when some line starts with `where` and contains `what`.
bool hasFinding(const std::vector<std::string>& lines, const std::string& where, const std::string& what);

// Writes a 32-bit word in the module's byte order (big-endian here).
void putBe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);

}  // namespace dumptest
