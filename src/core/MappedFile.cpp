#include "core/MappedFile.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The result form of a system error met while opening a file.
uint32_t resultForErrno(int error) {
    switch (error) {
    case ENOENT: return kResultFileNotFound;
    case ENOTDIR: return kResultPathNotFound;
    case EMFILE:
    case ENFILE: return kResultTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR: return kResultAccessDenied;
    case ENAMETOOLONG: return kResultNameTooLong;
    case ENOMEM: return kResultOutOfMemory;
    default: return kResultFail;
    }
}

}  // namespace

uint32_t mapFile(const char* path, MappedFile** result) {
    if (!path || !*path || !result) return kResultUnexpected;
    *result = nullptr;

    // O_NONBLOCK keeps a FIFO or device from blocking the open; anything but
    // a regular file is refused below.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return resultForErrno(errno);

    struct stat info;
    if (fstat(fd, &info) != 0) {
        uint32_t code = resultForErrno(errno);
        close(fd);
        return code;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        return kResultAccessDenied;
    }
    uint64_t size = uint64_t(info.st_size);
    if (info.st_size <= 0 || (size >> 32) != 0) {
        close(fd);
        return kResultFail;
    }

    MappedFile* mapping = new (std::nothrow) MappedFile;
    if (!mapping) {
        close(fd);
        return kResultOutOfMemory;
    }
    try {
        mapping->path = path;
    } catch (const std::bad_alloc&) {
        delete mapping;
        close(fd);
        return kResultOutOfMemory;
    }

    void* view = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (view == MAP_FAILED) {
        delete mapping;
        close(fd);
        return kResultFail;
    }

    mapping->fileHandle = fd;
    mapping->sizeLow = uint32_t(size);
    mapping->sizeHigh = uint32_t(size >> 32);
    mapping->base = static_cast<uint8_t*>(view);
    *result = mapping;
    return 0;
}

void prepareForWriting(uint8_t* start, size_t length) {
#ifdef MADV_POPULATE_WRITE
    if (!start || length == 0) return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t first = uintptr_t(start) & ~(page - 1);
    madvise(reinterpret_cast<void*>(first), uintptr_t(start) + length - first, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)length;
#endif
}

int32_t releaseMappedFile(MappedFile* mapping) {
    if (!mapping) return 0;
    int32_t count = mapping->refCount.fetch_sub(1) - 1;
    if (count == 0) {
        if (mapping->base) munmap(mapping->base, size_t(mapping->size()));
        if (mapping->fileHandle >= 0) close(mapping->fileHandle);
        delete mapping;
    }
    return count;
}
