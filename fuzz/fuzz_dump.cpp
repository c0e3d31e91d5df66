// Fuzzes qdldump's readers: any bytes as a module (read, checked, dumped as
// text and JSON, unpacked, compared with itself) or as an import library.
#include <cstdint>
#include <vector>

#include "dump/CheckModule.h"
#include "dump/FileKind.h"
#include "dump/Modes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized copy, so that any read past the end is caught.
    const std::vector<uint8_t> bytes(data, data + size);
    DumpRun run;
    run.options.inputPath = "fuzz";
    if (fileKind(bytes) == FileKind::library) {
        libraryMode(run, bytes);
        return 0;
    }
    ModuleImage module;
    module.bytes = bytes;
    if (readModule(module) != kDumpOk) {
        checkModule(module);
        return 0;
    }
    checkModule(module);
    dumpModuleMode(run, module);
    jsonMode(run, module);
    std::vector<const ModuleSection*> missing;
    const std::vector<uint8_t> unpacked = unpackModule(module, missing);
    // The unpacked file is read back as a module would be.
    ModuleImage again;
    again.bytes = unpacked;
    readModule(again);
    diffMode(run, module, module);
    findModuleSection(module, ".text");
    findModuleSection(module, "1");
    return 0;
}
