// The dump as one JSON document. Field names are part of the interface that
// scripts rely on: add fields, never rename or remove them.
#include "dump/CheckModule.h"
#include "dump/Describe.h"
#include "dump/ImportTables.h"
#include "dump/JsonWriter.h"
#include "dump/Modes.h"

namespace {

void writeHeader(JsonWriter& w, const ModuleImage& m) {
    const Elf32_Ehdr& h = m.header;
    jsonBeginObject(w, "elfHeader");
    jsonNumber(w, "type", h.e_type);
    jsonNumber(w, "osAbi", h.e_ident[EI_OSABI]);
    jsonNumber(w, "abiVersion", h.e_ident[EI_ABIVERSION]);
    jsonNumber(w, "machine", h.e_machine);
    jsonNumber(w, "entry", h.e_entry);
    jsonNumber(w, "shoff", h.e_shoff);
    jsonNumber(w, "shnum", h.e_shnum);
    jsonNumber(w, "shstrndx", h.e_shstrndx);
    jsonNumber(w, "flags", h.e_flags);
    jsonEndObject(w);
}

void writeSection(JsonWriter& w, const ModuleSection& s) {
    const Elf32_Shdr& h = s.header;
    jsonBeginObject(w);
    jsonNumber(w, "index", s.index);
    jsonString(w, "name", s.name);
    jsonNumber(w, "type", h.sh_type);
    jsonString(w, "typeName", sectionTypeName(h.sh_type));
    jsonString(w, "region", regionName(s.region));
    jsonNumber(w, "address", h.sh_addr);
    jsonNumber(w, "memorySize", s.memorySize());
    jsonNumber(w, "storedSize", s.hasFileBytes ? h.sh_size : 0);
    jsonNumber(w, "offset", h.sh_offset);
    jsonNumber(w, "flags", h.sh_flags);
    jsonString(w, "flagLetters", sectionFlagLetters(h.sh_flags));
    jsonBool(w, "compressed", s.compressed);
    jsonNumber(w, "link", h.sh_link);
    jsonNumber(w, "info", h.sh_info);
    jsonNumber(w, "align", h.sh_addralign);
    jsonNumber(w, "entrySize", h.sh_entsize);
    jsonNumber(w, "crc", s.storedCrc);
    if (s.crcChecked) jsonBool(w, "crcOk", s.storedCrc == s.computedCrc);
    jsonEndObject(w);
}

void writeFileInfo(JsonWriter& w, const FileInfoRecord& i) {
    jsonBeginObject(w, "regions");
    const struct {
        const char* name;
        uint32_t size, align;
    } regions[] = {{"TEXT", i.textSize, i.textAlign}, {"DATA", i.dataSize, i.dataAlign},
                   {"LOAD", i.loadSize, i.loadAlign}, {"TEMP", i.tempSize, 0}};
    for (const auto& r : regions) {
        jsonBeginObject(w, r.name);
        jsonNumber(w, "size", r.size);
        if (r.align) jsonNumber(w, "align", r.align);
        jsonEndObject(w);
    }
    jsonEndObject(w);
    jsonBeginObject(w, "fileInfo");
    for (const FileInfoField& f : fileInfoFields(i)) jsonNumber(w, f.name, f.value);
    jsonString(w, "flagNames", fileInfoFlagNames(i.flags));
    jsonString(w, "path", i.path);
    jsonBeginArray(w, "tags");
    for (const auto& [name, value] : i.tags) {
        jsonBeginObject(w);
        jsonString(w, "name", name);
        jsonString(w, "value", value);
        jsonEndObject(w);
    }
    jsonEndArray(w);
    jsonEndObject(w);
}

void writeImportTables(JsonWriter& w, const ModuleImage& m) {
    const std::vector<ModuleSymbol> symbols = readSymbols(m);
    jsonBeginArray(w, "importTables");
    for (const ImportTable& t : readImportTables(m, symbols)) {
        jsonBeginObject(w);
        jsonNumber(w, "section", t.section);
        jsonString(w, "sectionName", m.sections[t.section].name);
        jsonString(w, "module", t.moduleName);
        jsonNumber(w, "count", t.count);
        jsonNumber(w, "signature", t.signature);
        jsonBool(w, "countOk", t.count == t.computedCount);
        jsonBool(w, "signatureOk", t.signature == t.computedSignature);
        jsonBeginArray(w, "imports");
        for (const ModuleSymbol* y : t.imports) {
            jsonBeginObject(w);
            jsonString(w, "name", y->name);
            jsonNumber(w, "slot", y->value);
            jsonBool(w, "threadLocal", (y->info & 0xF) == STT_TLS);
            jsonEndObject(w);
        }
        jsonEndArray(w);
        jsonEndObject(w);
    }
    jsonEndArray(w);
}

}  // namespace

int32_t jsonMode(DumpRun& run, const ModuleImage& m) {
    JsonWriter w;
    jsonBeginObject(w);
    jsonString(w, "file", run.options.inputPath);
    jsonString(w, "kind", moduleKindName(m));
    jsonString(w, "byteOrder", m.littleEndian ? "little" : "big");
    jsonNumber(w, "fileSize", m.bytes.size());
    writeHeader(w, m);
    jsonBeginArray(w, "sections");
    for (const ModuleSection& s : m.sections)
        if (s.index != 0) writeSection(w, s);
    jsonEndArray(w);
    if (m.info.present) writeFileInfo(w, m.info);
    writeImportTables(w, m);
    const ModuleTotals totals = moduleTotals(m);
    jsonBeginObject(w, "totals");
    jsonNumber(w, "memoryBytes", totals.memoryBytes);
    jsonNumber(w, "storedBytes", totals.storedBytes);
    jsonEndObject(w);
    jsonBeginArray(w, "problems");
    for (const Finding& f : checkModule(m)) jsonString(w, nullptr, findingLine(f));
    jsonEndArray(w);
    jsonEndObject(w);
    dumpPrint(run, "%s\n", w.text.c_str());
    return kDumpOk;
}
