#include "module/LoaderTags.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "core/CygdrivePath.h"
#include "core/Output.h"
#include "module/ModuleState.h"

namespace {

constexpr size_t kLineBufferSize = 1024;  // a longer line is read in pieces of 1023 bytes

// The tag list keeps its newest entry at the head (index 0).
void pushTag(ModuleContext& ctx, std::string text, uint32_t nameLength) {
    TagEntry entry;
    entry.nameLength = nameLength;
    entry.valueLength = uint32_t(text.size() - nameLength - 1);
    entry.text = std::move(text);
    std::vector<TagEntry>& tags = ctx.settings.loaderTags;
    tags.insert(tags.begin(), std::move(entry));
}

// Reads the next piece of a text file: up to and including a line feed, at
// most 1023 bytes. A carriage return in front of a line feed is dropped, as
// a text-mode stream of the SDK's home platform does, so that files with
// either line ending read alike. False at the end of the file.
bool readLinePiece(FILE* file, std::string& piece) {
    piece.clear();
    while (piece.size() < kLineBufferSize - 1) {
        int c = getc(file);
        if (c == EOF) break;
        if (c == '\r') {
            int following = getc(file);
            if (following == '\n')
                c = '\n';
            else if (following != EOF)
                ungetc(following, file);
        }
        piece.push_back(char(c));
        if (c == '\n') break;
    }
    return !piece.empty();
}

enum class LineScan { skip, tag, equalsFirst, noEquals, emptyValue };

// Scans one line of the tags file: leading blanks and tabs are skipped, the
// token ends at a blank, a tab, "#" or the line feed, and everything behind
// it is a comment.
LineScan scanTagLine(std::string_view line, std::string_view& token, size_t& nameLength) {
    size_t start = std::string_view::npos;
    size_t end = line.size();
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            if (start == std::string_view::npos) continue;
            end = i;
            break;
        }
        if (c == '#' || c == '\n') {
            end = i;
            break;
        }
        if (start == std::string_view::npos) {
            if (c == '=') return LineScan::equalsFirst;
            start = i;
        }
    }
    if (start == std::string_view::npos) return LineScan::skip;
    token = line.substr(start, end - start);
    nameLength = token.find('=');
    if (nameLength == std::string_view::npos) return LineScan::noEquals;
    if (nameLength + 1 == token.size()) return LineScan::emptyValue;
    return LineScan::tag;
}

void reportBadLine(const std::string& path, const char* problem, std::string_view line) {
    printOut("***Error: invalid QDL TAGS file \"%s\"\n", path.c_str());
    printOut("***Error: %s\n", problem);
    printOut("%.*s\n", int(line.size()), line.data());
}

// The file's lines, each handled until the first error.
bool readTagLines(ModuleContext& ctx, FILE* file, const std::string& path) {
    std::string piece;
    while (readLinePiece(file, piece)) {
        // The line is handled as the text it holds, up to a NUL byte.
        std::string_view line(piece.c_str());
        std::string_view token;
        size_t nameLength = 0;
        switch (scanTagLine(line, token, nameLength)) {
            case LineScan::skip:
                break;
            case LineScan::equalsFirst:
                reportBadLine(path, "line contains = before a valid tag name", line);
                return false;
            case LineScan::noEquals:
                reportBadLine(path, "line formatted incorrectly", line);
                return false;
            case LineScan::emptyValue:
                return false;
            case LineScan::tag:
                pushTag(ctx, std::string(token), uint32_t(nameLength));
                break;
        }
    }
    return !ferror(file);
}

}  // namespace

bool addTagOption(ModuleContext& ctx, const char* argument) {
    if (!argument) return false;
    const std::string_view word(argument);
    const size_t equals = word.find('=');
    if (word.empty() || equals == std::string_view::npos || equals == 0 || equals + 1 == word.size()) return false;

    const std::string_view name = word.substr(0, equals);
    const std::string_view value = word.substr(equals + 1);
    for (const TagEntry& entry : ctx.settings.loaderTags) {
        if (entry.name() != name) continue;
        if (entry.value() == value) return true;
        printOut("***Option -t value conflict. Previous value \"%s\"; current value \"%s\"\n", entry.text.c_str(),
                 argument);
        return false;
    }
    pushTag(ctx, std::string(word), uint32_t(equals));
    return true;
}

std::string tagsFilePath(const char* root) {
    const std::string_view r(root ? root : "");
    std::string path;
    if (isCygdrivePath(r)) {
        if (r.size() == kCygdrivePrefix.size()) return {};  // no drive letter: the path ends right there
        path = drivePathOfCygdrive(r) + "/system/include/qdl_tags.txt";
    } else if (r.size() >= 3 && r[2] == '\\') {
        path = std::string(r) + "\\system\\include\\qdl_tags.txt";
    } else {
        path = std::string(r) + "/system/include/qdl_tags.txt";
    }
    return path;
}

bool loadTagsFile(ModuleContext& ctx, const char* root) {
    const std::string path = tagsFilePath(root);
    if (root && isCygdrivePath(root) && ctx.settings.verbose)
        printOut("Found cygdrive path adjusted to \"%s\"\n", path.c_str());

    FILE* file = path.empty() ? nullptr : fopen(path.c_str(), "r");
    // A directory opens on POSIX but is no file to read.
    struct stat info {};
    if (file && (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))) {
        fclose(file);
        file = nullptr;
    }
    if (!file) {
        printOut("***Error: can not open \"%s\"\n", path.c_str());
        return false;
    }
    const bool complete = readTagLines(ctx, file, path);
    fclose(file);
    return complete;
}
