// The listing of an import library: an ar archive holding the import stub
// object of a module, and usually the symbol index the archiver adds.
#include <algorithm>
#include <cstring>

#include "dump/FileKind.h"
#include "dump/ImportTables.h"
#include "dump/Modes.h"

namespace {

constexpr size_t kMemberHeaderSize = 60;

struct ArchiveMember {
    std::string name;
    ByteSpan data;
};

struct Archive {
    std::vector<ArchiveMember> members;
    bool hasIndex = false;
    std::vector<std::string> indexNames;
    std::string problem;  // empty when the whole archive was read
};

std::string trimmed(const uint8_t* p, size_t n) {
    std::string text(reinterpret_cast<const char*>(p), n);
    const size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

bool decimal(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
    }
    return true;
}

// The GNU symbol index: a big-endian count, as many member offsets, then the
// NUL-terminated names.
void readIndex(ByteSpan data, Archive& archive) {
    archive.hasIndex = true;
    if (data.size() < 4) return;
    const uint64_t count = readBe32(data.data());
    if (4 + count * 4 > data.size()) return;
    size_t at = size_t(4 + count * 4);
    for (uint64_t k = 0; k < count && at < data.size(); ++k) {
        const void* nul = memchr(data.data() + at, 0, data.size() - at);
        const size_t end = nul ? size_t(static_cast<const uint8_t*>(nul) - data.data()) : data.size();
        archive.indexNames.emplace_back(reinterpret_cast<const char*>(data.data() + at), end - at);
        at = end + 1;
    }
}

std::string memberName(const std::string& raw, ByteSpan longNames) {
    uint64_t offset = 0;
    if (raw.size() > 1 && raw[0] == '/' && decimal(raw.substr(1), offset) && offset < longNames.size()) {
        const char* start = reinterpret_cast<const char*>(longNames.data() + offset);
        const size_t limit = longNames.size() - size_t(offset);
        size_t length = 0;
        while (length < limit && start[length] != '/' && start[length] != '\n') ++length;
        return std::string(start, length);
    }
    if (!raw.empty() && raw.back() == '/') return raw.substr(0, raw.size() - 1);
    return raw;
}

Archive readArchive(ByteSpan bytes) {
    Archive archive;
    ByteSpan longNames;
    size_t at = 8;
    while (at < bytes.size()) {
        if (bytes.size() - at < kMemberHeaderSize) {
            archive.problem = "member header at offset " + std::to_string(at) + " is cut short";
            break;
        }
        const uint8_t* h = bytes.data() + at;
        uint64_t size = 0;
        if (h[58] != 0x60 || h[59] != '\n' || !decimal(trimmed(h + 48, 10), size)) {
            archive.problem = "member header at offset " + std::to_string(at) + " is malformed";
            break;
        }
        const size_t start = at + kMemberHeaderSize;
        if (size > bytes.size() - start) {
            archive.problem = "member at offset " + std::to_string(at) + " runs past the end of the file";
            break;
        }
        const ByteSpan data = bytes.subspan(start, size_t(size));
        const std::string raw = trimmed(h, 16);
        if (raw == "/" || raw == "/SYM64/")
            readIndex(data, archive);
        else if (raw == "//")
            longNames = data;
        else
            archive.members.push_back({memberName(raw, longNames), data});
        at = start + size_t(size) + (size & 1);
    }
    return archive;
}

void listStubTable(DumpRun& run, const ModuleImage& stub, const ImportTable& t) {
    const ModuleSection& s = stub.sections[t.section];
    const bool functions = (s.header.sh_flags & SHF_EXECINSTR) || s.name.rfind(".fimport_", 0) == 0;
    dumpPrint(run, "  %s exports of \"%s\" (%s): %u, signature 0x%08X\n", functions ? "function" : "data",
              t.moduleName.c_str(), s.name.c_str(), t.count, t.signature);
    for (const ModuleSymbol* y : t.imports)
        dumpPrint(run, "    slot 0x%04X  %s%s\n", y->value, y->name.c_str(),
                  (y->info & 0xF) == STT_TLS ? "  (thread-local)" : "");
}

void listMember(DumpRun& run, const ArchiveMember& member) {
    dumpPrint(run, "member \"%s\", %zu bytes: ", member.name.c_str(), member.data.size());
    if (fileKind(member.data) != FileKind::otherElf && fileKind(member.data) != FileKind::module) {
        dumpPrint(run, "%s, not an import stub object\n", describeFile(member.data).c_str());
        return;
    }
    ModuleImage stub;
    stub.bytes = member.data;
    if (readModule(stub) != kDumpOk) {
        dumpPrint(run, "an ELF file whose section table cannot be read\n");
        return;
    }
    const std::vector<ModuleSymbol> symbols = readSymbols(stub);
    const std::vector<ImportTable> tables = readImportTables(stub, symbols);
    if (tables.empty()) {
        dumpPrint(run, "an ELF file without import tables, not an import stub object\n");
        return;
    }
    dumpPrint(run, "import stub of module \"%s\"\n", tables.front().moduleName.c_str());
    for (const ImportTable& t : tables) listStubTable(run, stub, t);
}

}  // namespace

int32_t libraryMode(DumpRun& run, ByteSpan bytes) {
    const Archive archive = readArchive(bytes);
    dumpPrint(run, "%s: import library, %zu member%s, symbol index: %s\n", run.options.inputPath.c_str(),
              archive.members.size(), archive.members.size() == 1 ? "" : "s",
              archive.hasIndex ? "yes" : "no (GNU ld refuses the library until the archiver has added one)");
    if (archive.hasIndex) {
        dumpPrint(run, "symbol index: %zu name%s:", archive.indexNames.size(),
                  archive.indexNames.size() == 1 ? "" : "s");
        for (const std::string& name : archive.indexNames) dumpPrint(run, " %s", name.c_str());
        dumpPrint(run, "\n");
    }
    for (const ArchiveMember& member : archive.members) listMember(run, member);
    if (archive.problem.empty()) return kDumpOk;
    dumpPrint(run, "qdldump: \"%s\": %s\n", run.options.inputPath.c_str(), archive.problem.c_str());
    return kDumpFailed;
}
