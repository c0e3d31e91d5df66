#include <cstdarg>
#include <cstdio>

#include "dump/DumpRun.h"

void dumpPrint(DumpRun& run, const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (size_t(length) < sizeof small) {
        run.output.append(small, size_t(length));
    } else {
        const size_t start = run.output.size();
        run.output.resize(start + size_t(length) + 1);
        vsnprintf(run.output.data() + start, size_t(length) + 1, format, again);
        run.output.resize(start + size_t(length));
    }
    va_end(again);
}
