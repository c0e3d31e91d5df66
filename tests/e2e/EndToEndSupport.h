// Running the built tool as a subprocess, as a build system does.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace e2e {

struct ToolRun {
    int exitStatus = -1;
    std::string output;  // standard output
    std::string errors;  // standard error (the tool never writes there)
};

// Runs `command` (a shell command line) in `directory` with the extra
// environment variables, capturing both output streams.
ToolRun runCommand(const std::string& directory, const std::string& command,
                   const std::map<std::string, std::string>& environment = {});

// Runs the built qdlgen with the sample SDK and the stand-in archiver.
ToolRun runQdlgen(const std::string& directory, const std::string& arguments,
                  std::map<std::string, std::string> environment = {});

bool haveCrossToolchain();
std::string shellQuote(const std::string& text);

// The contents of the section named `name` of an ELF file in its file
// (big- or little-endian), or an empty vector.
std::vector<uint8_t> elfSectionBytes(const std::vector<uint8_t>& elf, const std::string& name);

}  // namespace e2e
