// qdldump: shows what a QDL/QDX module or an import library holds, checks a
// module as the loader reads it, unpacks it and compares two of them.
#include <getopt.h>

#include <cstdio>

#include "dump/DumpRun.h"

namespace {

const char kUsage[] =
    "Usage: qdldump [OPTION]... FILE\n"
    "       qdldump --diff A B\n"
    "Show what a QDL/QDX module or an import library (.a) holds.\n"
    "\n"
    "  -c, --check             check the module as the loader reads it; one line\n"
    "                          per problem; exit 0 when sound, 1 when not\n"
    "  -u, --unpack=FILE       write the module as an ordinary ELF file with every\n"
    "                          section inflated\n"
    "  -x, --extract=SECTION   write the uncompressed bytes of a section (a name or\n"
    "                          an index) to the file given with -o\n"
    "  -o, --output=FILE       the file -x writes\n"
    "  -j, --json              the dump as one JSON document\n"
    "      --diff              compare the modules A and B; exit 0 when identical,\n"
    "                          1 when not\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "Exit status: 0 success (sound, identical); 1 problems found (--check) or\n"
    "differences (--diff); 2 usage or I/O error, or a file that is not a module\n"
    "or an import library.\n";

bool setMode(DumpRun& run, DumpMode mode) {
    if (run.options.mode != DumpMode::dump && run.options.mode != mode) {
        dumpPrint(run, "qdldump: -c, -u, -x, -j and --diff exclude each other\n");
        return false;
    }
    run.options.mode = mode;
    return true;
}

// Returns -1 to go on, or the exit status.
int parseOptions(DumpRun& run, int argc, char** argv) {
    enum { diffOption = 256 };
    static const option longOptions[] = {
        {"check", no_argument, nullptr, 'c'},      {"unpack", required_argument, nullptr, 'u'},
        {"extract", required_argument, nullptr, 'x'}, {"output", required_argument, nullptr, 'o'},
        {"json", no_argument, nullptr, 'j'},       {"diff", no_argument, nullptr, diffOption},
        {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":cu:x:o:jhV", longOptions, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
            case 'c': ok = setMode(run, DumpMode::check); break;
            case 'u': ok = setMode(run, DumpMode::unpack); run.options.outputPath = optarg; break;
            case 'x': ok = setMode(run, DumpMode::extract); run.options.sectionName = optarg; break;
            case 'o': run.options.outputPath = optarg; break;
            case 'j': ok = setMode(run, DumpMode::json); break;
            case diffOption: ok = setMode(run, DumpMode::diff); break;
            case 'h': dumpPrint(run, "%s", kUsage); return kDumpOk;
            case 'V': dumpPrint(run, "qdldump %s\n", QDLDUMP_VERSION); return kDumpOk;
            case ':': dumpPrint(run, "qdldump: option %s needs an argument\n", argv[optind - 1]); ok = false; break;
            default: dumpPrint(run, "qdldump: unknown option %s\n", argv[optind - 1]); ok = false; break;
        }
        if (!ok) return kDumpFailed;
    }
    const int files = argc - optind, wanted = run.options.mode == DumpMode::diff ? 2 : 1;
    if (files != wanted) {
        dumpPrint(run, "qdldump: %s\nTry 'qdldump --help'.\n",
                  wanted == 2 ? "--diff needs two files" : files == 0 ? "no file given" : "give one file");
        return kDumpFailed;
    }
    if (run.options.mode == DumpMode::extract && run.options.outputPath.empty()) {
        dumpPrint(run, "qdldump: -x needs -o FILE\n");
        return kDumpFailed;
    }
    run.options.inputPath = argv[optind];
    if (wanted == 2) run.options.secondPath = argv[optind + 1];
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    DumpRun run;
    int status = parseOptions(run, argc, argv);
    if (status < 0) status = runDump(run);
    fwrite(run.output.data(), 1, run.output.size(), stdout);
    fflush(stdout);
    return status;
}
