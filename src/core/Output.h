// The tool's one printing function. Every line the tool prints goes through
// printOut to standard output; nothing goes to standard error.
#pragma once

#include <string>

void printOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
void flushOut();

// For tests and the fuzz harness: while a capture is active, printed text is
// appended to it instead of being written to standard output.
void beginOutputCapture(std::string* sink);
void endOutputCapture();
