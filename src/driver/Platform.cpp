#include "driver/Platform.h"

bool fullPathName(const std::string&, std::string&, size_t&) { return false; }
int runProgram(const std::string&, const std::vector<std::string>&) { return 127; }
int atomicFileOpen(AtomicFile&, const std::string&) { return 5; }
bool atomicFileWrite(AtomicFile&, const void*, size_t) { return false; }
bool atomicFileSeek(AtomicFile&, uint64_t) { return false; }
int atomicFileCommit(AtomicFile&) { return 5; }
void atomicFileAbort(AtomicFile&) {}
