// The archive reader and the JSON writer on inputs no tool writes: long
// member names, members that are not stubs, malformed headers, hostile names.
#include <gtest/gtest.h>

#include <cstring>

#include "dump/JsonWriter.h"
#include "dump/Modes.h"

namespace {

std::string memberHeader(const std::string& name, size_t size, const char* magic = "`\n") {
    char header[61];
    snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10zu%s", name.c_str(), "0", "0", "0", "100644", size, magic);
    return std::string(header, 60);
}

std::string listing(const std::string& archive, int32_t* status = nullptr) {
    DumpRun run;
    run.options.inputPath = "x.a";
    const std::vector<uint8_t> bytes(archive.begin(), archive.end());
    const int32_t result = libraryMode(run, bytes);
    if (status) *status = result;
    return run.output;
}

}  // namespace

TEST(Listing, LongNamesOddSizesAndForeignMembers) {
    const std::string names = "an-import-stub-with-a-long-name.o/\n";
    std::string archive = "!<arch>\n" + memberHeader("//", names.size()) + names;
    if (archive.size() % 2) archive += '\n';
    archive += memberHeader("/0", 5) + "hello" + "\n";  // odd size: one pad byte
    archive += memberHeader("short.o/", 4) + "\x7F" "ELF";
    int32_t status = -1;
    const std::string out = listing(archive, &status);
    EXPECT_EQ(status, kDumpOk) << out;
    EXPECT_NE(out.find("2 members, symbol index: no"), std::string::npos) << out;
    EXPECT_NE(out.find("member \"an-import-stub-with-a-long-name.o\", 5 bytes: neither an ELF file nor an ar archive"),
              std::string::npos) << out;
    EXPECT_NE(out.find("member \"short.o\", 4 bytes: an ELF file whose section table cannot be read"),
              std::string::npos) << out;
}

TEST(Listing, MalformedHeadersEndTheListingWithAMessage) {
    int32_t status = kDumpOk;
    std::string out = listing("!<arch>\n" + memberHeader("a.o/", 4, "xx") + "abcd", &status);
    EXPECT_EQ(status, kDumpFailed);
    EXPECT_NE(out.find("member header at offset 8 is malformed"), std::string::npos) << out;
    out = listing("!<arch>\n" + memberHeader("a.o/", 4000000000u) + "abcd", &status);
    EXPECT_EQ(status, kDumpFailed);
    EXPECT_NE(out.find("runs past the end of the file"), std::string::npos) << out;
    out = listing("!<arch>\n" + memberHeader("a.o/", 4).substr(0, 30), &status);
    EXPECT_NE(out.find("cut short"), std::string::npos) << out;
    // A symbol index whose count claims more offsets than it holds.
    out = listing("!<arch>\n" + memberHeader("/", 4) + std::string("\xFF\xFF\xFF\xFF", 4), &status);
    EXPECT_EQ(status, kDumpOk);
    EXPECT_NE(out.find("symbol index: yes"), std::string::npos) << out;
}

TEST(Json, HostileBytesStayValidJson) {
    EXPECT_EQ(jsonQuote(std::string("a\"b\\c\x01\x7F\xFF", 8)), "\"a\\\"b\\\\c\\u0001\\u007F\\u00FF\"");
    JsonWriter w;
    jsonBeginObject(w);
    jsonBeginArray(w, "empty");
    jsonEndArray(w);
    jsonBeginArray(w, "list");
    jsonNumber(w, nullptr, 4294967295u);
    jsonBool(w, nullptr, false);
    jsonEndArray(w);
    jsonEndObject(w);
    EXPECT_EQ(w.text, "{\n  \"empty\": [],\n  \"list\": [\n    4294967295,\n    false\n  ]\n}");
}
