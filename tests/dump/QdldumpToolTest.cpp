// The built qdldump run as a user runs it, on the bundled example.
#include <gtest/gtest.h>

#include <filesystem>

#include "dump/DumpSupport.h"
#include "support/ModuleChecker.h"

using namespace dumptest;
using e2e::ToolRun;

namespace {

class Qdldump : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir = new std::string(convertExample()); }
    static void TearDownTestSuite() { delete dir; }
    static std::string* dir;
    ToolRun run(const std::string& arguments) { return runQdldump(*dir, arguments); }
};
std::string* Qdldump::dir = nullptr;

// The totals as the test tree's own reader sees the module: the contents of
// every section with bytes in the file (inflated), and what they take there.
std::pair<size_t, size_t> totals(const std::string& path) {
    CheckedModule m;
    checkModule(readWholeFile(path), m);
    size_t memory = m.fileInfo.size() + 4 * m.sections.size(), stored = memory;
    for (size_t i = 1; i + 2 < m.sections.size(); ++i) {
        memory += m.sections[i].contents.size();
        if (m.sections[i].type != 8 && m.sections[i].offset != 0) stored += m.sections[i].size;
    }
    return {memory, stored};
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(Qdldump, HelpVersionAndUsageErrors) {
    ToolRun r = run("--help");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.output.find("--check"), std::string::npos);
    EXPECT_EQ(r.errors, "");
    r = run("--version");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output.rfind("qdldump ", 0), 0u) << r.output;
    for (const char* bad : {"", "--bogus demo.qdl", "-x .text demo.qdl", "-c -j demo.qdl", "--diff demo.qdl",
                            "demo.qdl demo.qdl", "-u"}) {
        r = run(bad);
        EXPECT_EQ(r.exitStatus, 2) << bad << ": " << r.output;
        EXPECT_NE(r.output.find("qdldump: "), std::string::npos) << bad;
    }
    r = run("missing.qdl");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.output.find("cannot read \"missing.qdl\""), std::string::npos) << r.output;
}

TEST_F(Qdldump, OtherFilesAreNamedForWhatTheyAre) {
    ToolRun r = run("demo.elf");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.output.find("is an ELF file that is not a module (e_type 0x0002"), std::string::npos) << r.output;
    r = run("-c demo.elf");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.output.find("not a QDL/QDX module"), std::string::npos) << r.output;
    r = run("-c demo.a");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.output.find("an import library (ar archive)"), std::string::npos) << r.output;
    e2e::runCommand(*dir, "printf 'hello' > text.txt && : > empty.bin");
    EXPECT_NE(run("text.txt").output.find("neither an ELF file nor an ar archive"), std::string::npos);
    EXPECT_NE(run("empty.bin").output.find("an empty file"), std::string::npos);
}

TEST_F(Qdldump, CheckSaysSoundOrListsEveryProblem) {
    ToolRun r = run("--check demo.qdl");
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output, "demo.qdl: sound\n");
    std::vector<uint8_t> bytes = readWholeFile(*dir + "/demo.qdl");
    bytes[bytes.size() - 64] ^= 0xFF;        // in the last TEMP section
    bytes[0x40 + 40 * 14 + 4 * 13] ^= 0xFF;  // in the FileInfo CRC word
    bytes[bytes.size() - 1] ^= 0xFF;         // in the zero padding behind it
    const std::string bad = *dir + "/bad.qdl";
    FILE* file = fopen(bad.c_str(), "wb");
    ASSERT_TRUE(file);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    r = run("-c bad.qdl");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(count(r.output, "\n"), 4u) << r.output;
    EXPECT_NE(r.output.find("section 8 \".rela.dexports\": CRC"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("section 13 \"\": CRC"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("non-zero"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("bad.qdl: not sound, 3 problems"), std::string::npos) << r.output;
}

TEST_F(Qdldump, TheDumpShowsSectionsRegionsFileInfoAndTotals) {
    const ToolRun r = run("demo.qdl");
    EXPECT_EQ(r.exitStatus, 0);
    const std::string& out = r.output;
    EXPECT_NE(out.find("QDL module, big-endian, 14 sections"), std::string::npos) << out;
    EXPECT_NE(out.find("[ 1] .text                    PROGBITS  TEXT     0x02000000 0x000000FC"), std::string::npos) << out;
    EXPECT_EQ(count(out, " OK\n"), 12u) << out;  // every section with contents, and FileInfo
    EXPECT_EQ(out.find("BAD"), std::string::npos);
    EXPECT_NE(out.find("  TEXT  size 0x00000120  align 32"), std::string::npos) << out;
    EXPECT_NE(out.find("sdkVersion             0x000000D3"), std::string::npos) << out;
    EXPECT_NE(out.find("loader tag             DEMO_TAG=sample"), std::string::npos) << out;
    EXPECT_NE(out.find("path                   \"" + *dir + "/demo.qdl\""), std::string::npos) << out;
    const auto [memory, stored] = totals(*dir + "/demo.qdl");
    EXPECT_NE(out.find("Totals: " + std::to_string(memory) + " bytes of contents stored in " + std::to_string(stored)),
              std::string::npos) << out;
}

TEST_F(Qdldump, UnpackGivesTheInputSectionsBackAndObjdumpDisassemblesThem) {
    ToolRun r = run("-u demo.unpacked.elf demo.qdl");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    const std::vector<uint8_t> unpacked = readWholeFile(*dir + "/demo.unpacked.elf");
    const std::vector<uint8_t> input = readWholeFile(*dir + "/demo.elf");
    // Sections the tool does not rewrite come back byte for byte.
    for (const char* name : {".text", ".rodata", ".data", ".fexports", ".dexports"}) {
        const std::vector<uint8_t> section = e2e::elfSectionBytes(unpacked, name);
        EXPECT_FALSE(section.empty()) << name;
        EXPECT_EQ(section, e2e::elfSectionBytes(input, name)) << name;
    }
    EXPECT_EQ(unpacked[7], 0);  // an ordinary ELF OS/ABI
    if (!e2e::haveCrossToolchain()) GTEST_SKIP() << "no GNU PowerPC toolchain to read the unpacked file";
    r = e2e::runCommand(*dir, "powerpc-linux-gnu-objdump -d demo.unpacked.elf");
    EXPECT_EQ(r.exitStatus, 0) << r.errors;
    EXPECT_NE(r.output.find("02000000 <demo_square>:"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("blr"), std::string::npos);
    r = e2e::runCommand(*dir, "powerpc-linux-gnu-readelf -S -s -r demo.unpacked.elf");
    EXPECT_EQ(r.exitStatus, 0) << r.errors;
    EXPECT_NE(r.output.find("R_PPC_REL24"), std::string::npos) << r.output;
}

TEST_F(Qdldump, ExtractWritesTheUncompressedBytesOfASection) {
    ToolRun r = run("-x .text -o text.bin demo.qdl");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(readWholeFile(*dir + "/text.bin"), e2e::elfSectionBytes(readWholeFile(*dir + "/demo.elf"), ".text"));
    r = run("--extract=4 --output=data.bin demo.qdl");  // by index
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(readWholeFile(*dir + "/data.bin"), e2e::elfSectionBytes(readWholeFile(*dir + "/demo.elf"), ".data"));
    r = run("-x .nothing -o x.bin demo.qdl");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.output.find("has no section \".nothing\""), std::string::npos);
    EXPECT_EQ(run("-x 99 -o x.bin demo.qdl").exitStatus, 2);
}

TEST_F(Qdldump, TheLibraryListingShowsSlotsAndTheIndex) {
    ToolRun r = run("demo.a");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("import library, 1 member, symbol index: yes"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("import stub of module \"demo.qdl\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("slot 0x0008  demo_square\n    slot 0x0010  demo_run"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("data exports of \"demo.qdl\" (.dimport_demo.qdl): 1"), std::string::npos) << r.output;
    // The library as qdlgen writes it, before the archiver adds the index.
    std::vector<uint8_t> archive = readWholeFile(*dir + "/demo.a");
    ASSERT_GT(archive.size(), 68u);
    const std::string plain = *dir + "/plain.a";
    e2e::runCommand(*dir, "powerpc-linux-gnu-ar x demo.a demo.qdl.o 2>/dev/null; true");
    if (!std::filesystem::exists(*dir + "/demo.qdl.o")) GTEST_SKIP() << "no GNU ar";
    e2e::runCommand(*dir, "powerpc-linux-gnu-ar qS plain.a demo.qdl.o");
    r = run("plain.a");
    EXPECT_NE(r.output.find("symbol index: no"), std::string::npos) << r.output;
    // A member cut short is said, not read past.
    archive.resize(archive.size() - 10);
    FILE* file = fopen((*dir + "/cut.a").c_str(), "wb");
    fwrite(archive.data(), 1, archive.size(), file);
    fclose(file);
    r = run("cut.a");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.output.find("runs past the end of the file"), std::string::npos) << r.output;
}

TEST_F(Qdldump, JsonIsOneDocumentWithStableFields) {
    const ToolRun r = run("--json demo.qdl");
    ASSERT_EQ(r.exitStatus, 0);
    const std::string& out = r.output;
    EXPECT_EQ(out.front(), '{');
    EXPECT_EQ(out.substr(out.size() - 2), "}\n");
    EXPECT_EQ(count(out, "{"), count(out, "}"));
    EXPECT_EQ(count(out, "["), count(out, "]"));
    for (const char* field : {"\"kind\": \"QDL\"", "\"sections\": [", "\"name\": \".text\"", "\"crcOk\": true",
                              "\"regions\": {", "\"fileInfo\": {", "\"importTables\": []", "\"problems\": []"})
        EXPECT_NE(out.find(field), std::string::npos) << field;
    const auto [memory, stored] = totals(*dir + "/demo.qdl");
    EXPECT_NE(out.find("\"memoryBytes\": " + std::to_string(memory)), std::string::npos) << out;
    EXPECT_NE(out.find("\"storedBytes\": " + std::to_string(stored)), std::string::npos) << out;
    EXPECT_EQ(count(out, "\"index\": "), 13u);
    if (system("command -v python3 >/dev/null 2>&1") == 0) {
        const ToolRun parsed = e2e::runCommand(*dir, e2e::shellQuote(QDLDUMP_TOOL_PATH) +
                                                        " -j demo.qdl | python3 -c 'import json,sys; json.load(sys.stdin)'");
        EXPECT_EQ(parsed.exitStatus, 0) << parsed.errors;
    }
}

TEST_F(Qdldump, DiffNamesWhatDiffersBetweenTwoBuilds) {
    ToolRun r = run("--diff demo.qdl demo.qdl");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.output.find("\nidentical\n"), std::string::npos) << r.output;
    const std::string other = convertExample("-stack 131072 -zx");
    std::filesystem::copy_file(other + "/demo.qdl", *dir + "/other.qdl", std::filesystem::copy_options::overwrite_existing);
    r = run("--diff demo.qdl other.qdl");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.output.find("FileInfo stackSize: 0x00010000 vs 0x00020000"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("section \".text\": flags AXZ vs AX, stored size 0x000000CD vs 0x000000FC"),
              std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("section \".data\""), std::string::npos) << r.output;  // stored alike in both
    EXPECT_NE(r.output.find("FileInfo path"), std::string::npos);
    EXPECT_EQ(run("--diff demo.qdl demo.a").exitStatus, 2);
}
