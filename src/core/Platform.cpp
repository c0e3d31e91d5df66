#include "core/Platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Output.h"

extern char** environ;

bool fullPathName(const std::string& path, std::string& fullPath, size_t& fileNamePos) {
    fileNamePos = std::string::npos;
    if (path.empty()) return false;

    std::string joined;
    if (path[0] == '/') {
        joined = path;
    } else {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd) || cwd[0] != '/') return false;
        joined = cwd;
        joined += '/';
        joined += path;
    }

    // Resolve "." and ".." and repeated separators as text.
    std::vector<std::string_view> parts;
    std::string_view rest(joined);
    const std::string_view last = rest.substr(rest.rfind('/') + 1);
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }

    std::string result;
    for (std::string_view part : parts) {
        result += '/';
        result += part;
    }
    if (result.empty()) result.push_back('/');
    if (result.size() >= PATH_MAX) return false;

    // A path ending in "/", ".", or ".." names a directory: no file-name part.
    const bool namesDirectory = last.empty() || last == "." || last == ".." || parts.empty();
    fullPath = std::move(result);
    if (!namesDirectory) fileNamePos = fullPath.rfind('/') + 1;
    return true;
}

int runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // What the tool printed so far comes before anything the program prints.
    flushOut();

    pid_t child = 0;
    if (posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 127;

    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, 0);
        if (done == child) break;
        if (done < 0 && errno != EINTR) return 127;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 127;
}

namespace {

mode_t currentUmask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

void removeTemp(AtomicFile& file) {
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    if (!file.tempPath.empty()) unlink(file.tempPath.c_str());
    file.tempPath.clear();
}

// Where the finished file goes: a symbolic link is written through, so the
// file it names is replaced and the link stays.
std::string resolvedTarget(const std::string& targetPath) {
    struct stat status;
    if (lstat(targetPath.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return targetPath;
    char resolved[PATH_MAX];
    if (!realpath(targetPath.c_str(), resolved)) return targetPath;
    return resolved;
}

// The temporary file beside the target: its name plus ".tmp" and six
// characters, the name shortened so that the whole stays a valid file name.
std::string temporaryPattern(const std::string& targetPath) {
    constexpr size_t kSuffixLength = 10;  // ".tmpXXXXXX"
    constexpr size_t kNameMax = NAME_MAX;
    const size_t slash = targetPath.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string pattern = targetPath;
    if (pattern.size() - nameStart + kSuffixLength > kNameMax) pattern.resize(nameStart + kNameMax - kSuffixLength);
    return pattern + ".tmpXXXXXX";
}

bool isRegularFile(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Puts the finished file in the place of an existing regular file by
// exchanging the two, then removes the old one, now under the temporary
// name. A rename over the target gives the same result, but ext4 starts
// writing back a file renamed over another at once (its guard against empty
// files after a crash), which makes the rename of a 70 MB module take about
// 40 ms; the exchange leaves the new file to the ordinary writeback, as a
// newly created output is. The target holds the whole old file or the whole
// new one at every moment either way. False when the system cannot exchange
// them (another file system, an older kernel) or the target is no regular
// file; nothing has changed then.
bool replaceByExchange(const AtomicFile& file) {
    if (!isRegularFile(file.targetPath)) return false;
    const char* temp = file.tempPath.c_str();
    const char* target = file.targetPath.c_str();
    if (renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_EXCHANGE) != 0) return false;
    // The target may have been replaced since the check: what came out of
    // its place goes back unless it is a regular file.
    if (!isRegularFile(file.tempPath) && renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_EXCHANGE) == 0)
        return false;
    unlink(temp);
    return true;
}

}  // namespace

int atomicFileOpen(AtomicFile& file, const std::string& targetPath) {
    if (file.fd >= 0) atomicFileAbort(file);
    file.targetPath = resolvedTarget(targetPath);
    file.tempPath.clear();
    if (targetPath.empty()) return ENOENT;

    // Refused as opening the target itself for writing would refuse it.
    struct stat status;
    if (stat(file.targetPath.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) return EISDIR;
        if (access(file.targetPath.c_str(), W_OK) != 0) return errno ? errno : EACCES;
    }

    std::string pattern = temporaryPattern(file.targetPath);
    int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return errno ? errno : EIO;
    file.fd = fd;
    file.tempPath = std::move(pattern);
    return 0;
}

bool atomicFileWrite(AtomicFile& file, const void* data, size_t length) {
    if (file.fd < 0) {
        errno = EBADF;
        return false;
    }
    const uint8_t* next = static_cast<const uint8_t*>(data);
    while (length > 0) {
        errno = 0;
        ssize_t written = write(file.fd, next, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (errno == 0) errno = EIO;
            return false;
        }
        next += written;
        length -= size_t(written);
    }
    return true;
}

bool atomicFileSeek(AtomicFile& file, uint64_t offset) {
    if (file.fd < 0 || offset > uint64_t(INT64_MAX)) return false;
    return lseek(file.fd, off_t(offset), SEEK_SET) == off_t(offset);
}

bool atomicFileResize(AtomicFile& file, uint64_t length) {
    if (file.fd < 0 || length > uint64_t(INT64_MAX)) {
        errno = EBADF;
        return false;
    }
    while (ftruncate(file.fd, off_t(length)) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

int atomicFileClose(AtomicFile& file) {
    if (file.fd < 0) return EBADF;
    int error = 0;
    if (fchmod(file.fd, 0666 & ~currentUmask()) != 0) error = errno ? errno : EIO;
    int fd = file.fd;
    file.fd = -1;
    if (close(fd) != 0 && !error) error = errno ? errno : EIO;
    if (error) removeTemp(file);
    return error;
}

int atomicFileRename(AtomicFile& file) {
    if (file.fd >= 0 || file.tempPath.empty()) return EBADF;
    if (replaceByExchange(file)) {
        file.tempPath.clear();
        return 0;
    }
    if (rename(file.tempPath.c_str(), file.targetPath.c_str()) != 0) {
        const int error = errno ? errno : EIO;
        removeTemp(file);
        return error;
    }
    file.tempPath.clear();
    return 0;
}

int atomicFileCommit(AtomicFile& file) {
    if (int error = atomicFileClose(file)) return error;
    return atomicFileRename(file);
}

void atomicFileAbort(AtomicFile& file) { removeTemp(file); }
