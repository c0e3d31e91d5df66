#include "dump/FileKind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr char kArchiveMagic[] = "!<arch>\n";
constexpr uint64_t kLargestModule = 0xFFFFFFFFull;
}  // namespace

FileKind fileKind(ByteSpan bytes) {
    if (bytes.size() >= 8 && memcmp(bytes.data(), kArchiveMagic, 8) == 0) return FileKind::library;
    if (looksLikeModule(bytes)) return FileKind::module;
    if (looksLikeElf(bytes)) return FileKind::otherElf;
    return FileKind::other;
}

std::string describeFile(ByteSpan bytes) {
    switch (fileKind(bytes)) {
        case FileKind::library: return "an import library (ar archive)";
        case FileKind::module: return "a QDL/QDX module";
        case FileKind::otherElf: {
            if (bytes.size() < sizeof(Elf32_Ehdr)) return "a truncated ELF file";
            const bool little = bytes[EI_DATA] == ELFDATA2LSB;
            const uint16_t type = little ? uint16_t(bytes[16] | bytes[17] << 8) : uint16_t(bytes[16] << 8 | bytes[17]);
            char text[96];
            snprintf(text, sizeof text, "an ELF file that is not a module (e_type 0x%04X, OS/ABI %u)", type,
                     unsigned(bytes[EI_OSABI]));
            return text;
        }
        case FileKind::other: break;
    }
    if (bytes.empty()) return "an empty file";
    return "neither an ELF file nor an ar archive";
}

bool readInputFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = strerror(errno);
        return false;
    }
    struct stat info;
    bool ok = fstat(fd, &info) == 0;
    if (!ok) error = strerror(errno);
    else if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
        ok = false;
    } else if (uint64_t(info.st_size) > kLargestModule) {
        error = "larger than 4 GiB, more than a module or library can be";
        ok = false;
    }
    if (ok) {
        bytes.resize(size_t(info.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                error = got < 0 ? strerror(errno) : "file shrank while it was read";
                ok = false;
                break;
            }
            done += size_t(got);
        }
    }
    close(fd);
    return ok;
}
