#include "driver/SourceRoots.h"

#include <cstring>
#include <new>
#include <string>

#include "core/CygdrivePath.h"
#include "core/Output.h"

namespace {

constexpr size_t kCygdrivePrefixLength = kCygdrivePrefix.size();

// The FileInfo path buffer holds 260 characters; a path needs room for 16
// more while it is compared.
constexpr size_t kFileInfoPathLimit = 260;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// A root matches only where a path component ends: at the end of the path,
// before a separator of the path, or when the root itself ends in one.
bool endsAtBoundary(const std::string& path, size_t k, const std::string& root) {
    return k == path.size() || isSeparator(path[k]) || isSeparator(root.back());
}

enum class RootMatch { matched, notMatched, stopSearch };

RootMatch matchRoot(const std::string& path, const std::string& root, size_t& k) {
    const size_t a = path.size();
    const size_t n = root.size();

    // The root as written, character for character.
    if (a >= n && path.compare(0, n, root) == 0 && endsAtBoundary(path, n, root)) {
        k = n;
        return RootMatch::matched;
    }

    size_t r = 0, w = 0;
    if (isCygdrivePath(root)) {
        // /cygdrive/<d>/... stands for <d>:\...; a drive that differs ends the
        // whole search.
        if (n <= kCygdrivePrefixLength || a < 2) return RootMatch::stopSearch;
        if (asciiUpper(root[kCygdrivePrefixLength]) != asciiUpper(path[0]) || path[1] != ':')
            return RootMatch::stopSearch;
        r = kCygdrivePrefixLength + 1;
        w = 2;
    }
    if (a - w < n - r) return RootMatch::notMatched;

    // A backslash of the path matches a forward slash of the root.
    while (r < n && (path[w] == root[r] || (path[w] == '\\' && root[r] == '/'))) {
        ++r;
        ++w;
    }
    if (r != n || !endsAtBoundary(path, w, root)) return RootMatch::notMatched;
    k = w;
    return RootMatch::matched;
}

}  // namespace

bool addSourceRoot(ToolSettings& s, const char* path) {
    if (!path || !*path) return false;
    const size_t length = strlen(path);
    for (const std::string& root : s.sourceRoots)
        if (root.size() == length && root.compare(0, length, path) == 0) return true;
    try {
        s.sourceRoots.emplace_back(path, length);
    } catch (const std::bad_alloc&) {
        printOut("***Out Of Memory.\n");
        return false;
    }
    return true;
}

int makeFileInfoPath(ToolSettings& s) {
    if (s.sourceRoots.empty()) return 0;

    const size_t a = s.fileInfoPath.size();
    if (a + 16 > kFileInfoPathLimit) {
        printOut("***File path to QDL is too large.\n");
        return -1;
    }
    const std::string path = s.fileInfoPath.substr(0, a);

    for (const std::string& root : s.sourceRoots) {
        size_t k = 0;
        RootMatch match = matchRoot(path, root, k);
        if (match == RootMatch::stopSearch) break;
        if (match == RootMatch::notMatched) continue;
        if (k < a && isSeparator(path[k])) ++k;
        s.fileInfoPath = path.substr(k);
        return 0;
    }
    return 0;
}
