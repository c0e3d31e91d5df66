#include "e2e/EndToEndSupport.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace e2e {

namespace {
std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
}  // namespace

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

ToolRun runCommand(const std::string& directory, const std::string& command,
                   const std::map<std::string, std::string>& environment) {
    std::string line = "cd " + shellQuote(directory) + " && env";
    for (const auto& [name, value] : environment) line += " " + name + "=" + shellQuote(value);
    const std::string out = directory + "/.stdout", err = directory + "/.stderr";
    line += " " + command + " >" + shellQuote(out) + " 2>" + shellQuote(err);
    const int status = system(line.c_str());
    ToolRun run;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = readText(out);
    run.errors = readText(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

ToolRun runQdlgen(const std::string& directory, const std::string& arguments,
                  std::map<std::string, std::string> environment) {
    environment.emplace("TARN_ROOT", std::string(QDLGEN_SOURCE_DIR) + "/examples/sdk");
    environment.emplace("GHS_ROOT", std::string(QDLGEN_SOURCE_DIR) + "/examples/ghs");
    environment.emplace("SOURCE_DATE_EPOCH", "1700000000");
    return runCommand(directory, shellQuote(QDLGEN_TOOL_PATH) + " " + arguments, environment);
}

bool haveCrossToolchain() { return system("command -v powerpc-linux-gnu-gcc >/dev/null 2>&1") == 0; }

std::vector<uint8_t> elfSectionBytes(const std::vector<uint8_t>& elf, const std::string& name) {
    if (elf.size() < 52) return {};
    const bool little = elf[5] == 1;
    auto u32 = [&](size_t at) -> uint32_t {
        if (at + 4 > elf.size()) return 0;
        const uint8_t* p = &elf[at];
        return little ? (p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24)
                      : (uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
    };
    auto u16 = [&](size_t at) -> uint32_t { return little ? (elf[at] | elf[at + 1] << 8) : (elf[at] << 8 | elf[at + 1]); };
    const uint32_t shoff = u32(32), shnum = u16(48), shstrndx = u16(50);
    const uint32_t names = u32(shoff + shstrndx * 40 + 16);
    for (uint32_t i = 1; i < shnum; ++i) {
        const size_t at = shoff + size_t(i) * 40;
        std::string sectionName;
        for (size_t k = names + u32(at); k < elf.size() && elf[k]; ++k) sectionName += char(elf[k]);
        if (sectionName != name) continue;
        const uint32_t offset = u32(at + 16), size = u32(at + 20);
        if (uint64_t(offset) + size > elf.size()) return {};
        return std::vector<uint8_t>(elf.begin() + offset, elf.begin() + offset + size);
    }
    return {};
}

}  // namespace e2e
