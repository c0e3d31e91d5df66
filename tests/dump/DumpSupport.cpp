#include "dump/DumpSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "dump/CheckModule.h"
#include "support/ElfBuilder.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace dumptest {

namespace {
std::string convertIn(const std::string& source, const std::string& arguments) {
    static int counter = 0;
    const std::string dir = testTempDir() + "/convert" + std::to_string(++counter);
    fs::create_directories(dir);
    const std::string name = fs::path(source).filename().string();
    fs::copy_file(source, dir + "/" + name, fs::copy_options::overwrite_existing);
    const e2e::ToolRun run = e2e::runQdlgen(dir, arguments + " " + name);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    return dir;
}
}  // namespace

std::string convertExample(const std::string& arguments) {
    return convertIn(std::string(QDLGEN_SOURCE_DIR) + "/examples/demo.elf", arguments);
}

std::string convertFixture(const std::string& fixture, const std::string& arguments) {
    return convertIn(fixturePath(fixture.c_str()), arguments);
}

e2e::ToolRun runQdldump(const std::string& directory, const std::string& arguments) {
    return e2e::runCommand(directory, e2e::shellQuote(QDLDUMP_TOOL_PATH) + " " + arguments);
}

const ModuleSection& sectionNamed(const ModuleImage& module, const std::string& name) {
    for (const ModuleSection& s : module.sections)
        if (s.name == name) return s;
    ADD_FAILURE() << "no section " << name;
    return module.sections.front();
}

std::vector<std::string> checkLines(const std::vector<uint8_t>& bytes) {
    std::vector<std::string> lines;
    for (const Finding& f : checkModuleBytes(bytes)) lines.push_back(findingLine(f));
    return lines;
}

bool hasFinding(const std::vector<std::string>& lines, const std::string& where, const std::string& what) {
    for (const std::string& line : lines)
        if (line.rfind(where, 0) == 0 && line.find(what) != std::string::npos) return true;
    return false;
}

void putBe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) { writeBe32(bytes.data() + at, value); }

}  // namespace dumptest
