#pragma once
// Module inputs linked with the GNU PowerPC cross toolchain when the tests
// were built (tests/fixtures/build-fixtures.sh). A fixture is missing when the
// toolchain was not installed then; tests that need one skip:
//   if (!haveFixture("lib.elf")) GTEST_SKIP() << "no cross toolchain";
//
// Fixtures: lib.elf (function and data exports, calls to undefined
// functions), bigdata.elf (a 200 KB compressible table), debug.elf (-g),
// qdx.elf (small-data base above 0x8000), plain.elf (no export tables),
// lib_le.elf (lib built little-endian), tls.elf (thread-local data and a
// thread-local data export), tls_mixed.elf (tls with a .tbss that lacks the
// thread-local flag), tls_clear.elf (tls with the TLS bit of its
// thread-local export clear), user.o (imports from lib, to be linked against
// lib's import library) and module.ld (the link script).

#include <string>

#include <sys/stat.h>

#ifndef QDLGEN_FIXTURE_DIR
#define QDLGEN_FIXTURE_DIR QDLGEN_BINARY_DIR "/fixtures"
#endif

inline std::string fixtureDir() { return QDLGEN_FIXTURE_DIR; }

inline std::string fixturePath(const char* name) { return fixtureDir() + "/" + name; }

inline bool haveFixture(const char* name) {
    struct stat info {};
    return stat(fixturePath(name).c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

// The directory of the fixture sources (C, assembly and link scripts).
inline std::string fixtureSourcePath(const char* name) {
    return std::string(QDLGEN_SOURCE_DIR) + "/tests/fixtures/src/" + name;
}
