#include "dump/CheckModule.h"
#include "dump/FileKind.h"
#include "dump/Modes.h"

int32_t checkMode(DumpRun& run, ByteSpan bytes) {
    const char* path = run.options.inputPath.c_str();
    if (fileKind(bytes) != FileKind::module) {
        dumpPrint(run, "file: %s, not a QDL/QDX module\n", describeFile(bytes).c_str());
        dumpPrint(run, "%s: not sound, 1 problem\n", path);
        return kDumpFindings;
    }
    const std::vector<Finding> findings = checkModuleBytes(bytes);
    for (const Finding& f : findings) dumpPrint(run, "%s\n", findingLine(f).c_str());
    if (findings.empty()) {
        dumpPrint(run, "%s: sound\n", path);
        return kDumpOk;
    }
    dumpPrint(run, "%s: not sound, %zu problem%s\n", path, findings.size(), findings.size() == 1 ? "" : "s");
    return kDumpFindings;
}
