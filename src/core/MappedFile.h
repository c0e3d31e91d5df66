// Copy-on-write mappings of whole files.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct MappedFile {
    std::atomic<int32_t> refCount{1};
    std::string path;  // copy of the path the file was opened by
    int fileHandle = -1;
    uint32_t sizeLow = 0;
    uint32_t sizeHigh = 0;
    uint8_t* base = nullptr;  // first byte of the view of the whole file

    uint64_t size() const { return (uint64_t(sizeHigh) << 32) | sizeLow; }
};

// Result codes of mapFile (platform result form).
constexpr uint32_t kResultUnexpected = 0x8000FFFF;
constexpr uint32_t kResultFileNotFound = 0x80070002;
constexpr uint32_t kResultPathNotFound = 0x80070003;
constexpr uint32_t kResultTooManyOpenFiles = 0x80070004;
constexpr uint32_t kResultAccessDenied = 0x80070005;
constexpr uint32_t kResultOutOfMemory = 0x8007000E;
constexpr uint32_t kResultNameTooLong = 0x800700CE;
constexpr uint32_t kResultFail = 0x80004005;

// Maps the whole file read-only on disk, writable in memory (private
// copy-on-write). Returns 0 and the record, or a result code.
uint32_t mapFile(const char* path, MappedFile** result);

// Gives the pages of [start, start + length) of a private mapping their own
// copies in one call, before they are written: faulting them one at a time
// after a read costs more, and each such fault must reach every core the
// process runs on while other threads run. Best effort: nothing happens where
// the system cannot do it.
void prepareForWriting(uint8_t* start, size_t length);

// Drops one reference; frees the mapping when the count reaches 0. Returns
// the count after the decrement.
int32_t releaseMappedFile(MappedFile* mapping);
