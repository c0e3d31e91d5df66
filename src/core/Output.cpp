#include "core/Output.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
std::string* captureSink = nullptr;
}

void printOut(const char* format, ...) {
    char small[1024];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    const char* text = small;
    std::vector<char> large;
    if (size_t(n) >= sizeof small) {
        large.resize(size_t(n) + 1);
        vsnprintf(large.data(), large.size(), format, again);
        text = large.data();
    }
    va_end(again);
    if (captureSink)
        captureSink->append(text, size_t(n));
    else
        fwrite(text, 1, size_t(n), stdout);
}

void flushOut() {
    if (!captureSink) fflush(stdout);
}

void beginOutputCapture(std::string* sink) { captureSink = sink; }
void endOutputCapture() { captureSink = nullptr; }
