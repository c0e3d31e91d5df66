// The platform layer: every call that depends on the operating system goes
// through here (file mapping lives in MappedFile.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Full path of `path`, resolved as text: an absolute path stays, a relative
// one is joined to the current directory; repeated "/" and the components "."
// and ".." are resolved (no links followed). `fileNamePos` is the position of
// the file-name part, or npos when the path has none (ends in "/", or is only
// a directory such as "." or ".."). False when the path cannot be resolved or
// the result is longer than the platform allows.
bool fullPathName(const std::string& path, std::string& fullPath, size_t& fileNamePos);

// Starts `program` (searched in PATH when it holds no "/") without a shell
// and waits for it. The child's argv is `program` followed by `arguments`
// (so `arguments` holds only what comes after the program name). Returns its exit code, 128 +
// the signal number when a signal ended it, 127 when it could not be started.
int runProgram(const std::string& program, const std::vector<std::string>& arguments);

// A file written under a temporary name in the target's directory and renamed
// over the target only when complete, so that a failed write never leaves a
// half-written file and an existing target stays as it was.
struct AtomicFile {
    std::string targetPath;
    std::string tempPath;
    int fd = -1;
};

// Creates the temporary file. 0, or the errno value of the failure.
int atomicFileOpen(AtomicFile& file, const std::string& targetPath);
// Writes at the current position; false on a short write (errno is set; EIO
// when the system reports none).
bool atomicFileWrite(AtomicFile& file, const void* data, size_t length);
// Moves the position; false on failure.
bool atomicFileSeek(AtomicFile& file, uint64_t offset);
// Sets the file's length; bytes beyond what was written read as zeros.
// False on failure (errno is set).
bool atomicFileResize(AtomicFile& file, uint64_t length);
// Gives the file the permissions of a plain create, closes it and renames it
// over the target. 0, or the errno value of the failure (the temporary file
// is then removed).
int atomicFileCommit(AtomicFile& file);
// The two halves of atomicFileCommit, for a file that is checked between them:
// atomicFileClose gives the permissions and closes (on failure the temporary
// file is removed); atomicFileRename then puts it in the target's place (on
// failure it is removed). Each returns 0 or the errno value.
int atomicFileClose(AtomicFile& file);
int atomicFileRename(AtomicFile& file);
// Closes and removes the temporary file; the target is untouched.
void atomicFileAbort(AtomicFile& file);
