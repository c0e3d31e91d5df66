#include "module/LoaderTags.h"

#include <cstdio>
#include <cstring>

#include "driver/Output.h"
#include "driver/ToolState.h"

namespace {

// A new tag at the head of the list; `text` is the whole "<x>=<y>".
void pushTag(std::string_view text, size_t equals) {
    TagEntry entry;
    entry.text = std::string(text);
    entry.nameLength = uint32_t(equals);
    entry.valueLength = uint32_t(text.size() - equals - 1);
    auto& tags = settings().loaderTags;
    tags.insert(tags.begin(), std::move(entry));
}

void reportBadLine(const std::string& path, const char* reason, const char* line) {
    printOut("***Error: invalid QDL TAGS file \"%s\"\n", path.c_str());
    printOut("***Error: %s\n", reason);
    printOut("%s\n", line);
}

}  // namespace

bool addTagOption(const char* argument) {
    if (!argument) return false;
    std::string_view text(argument);
    const size_t equals = text.find('=');
    if (text.empty() || equals == std::string_view::npos || equals == 0 || equals + 1 == text.size()) return false;
    std::string_view name = text.substr(0, equals);
    std::string_view value = text.substr(equals + 1);
    for (const TagEntry& tag : settings().loaderTags) {
        if (tag.name() != name) continue;
        if (tag.value() == value) return true;
        printOut("***Option -t value conflict. Previous value \"%s\"; current value \"%s\"\n", tag.text.c_str(), argument);
        return false;
    }
    pushTag(text, equals);
    return true;
}

std::string tagsFilePath(const char* root) {
    char path[1024];
    if (strncmp(root, "/cygdrive/", 10) == 0 && root[10] != '\0')
        snprintf(path, sizeof path, "%c:%s/system/include/qdl_tags.txt", root[10], root + 11);
    else if (strlen(root) >= 3 && root[2] == '\\')
        snprintf(path, sizeof path, "%s\\system\\include\\qdl_tags.txt", root);
    else
        snprintf(path, sizeof path, "%s/system/include/qdl_tags.txt", root);
    return path;
}

bool loadTagsFile(const char* root) {
    const std::string path = tagsFilePath(root);
    if (strncmp(root, "/cygdrive/", 10) == 0 && root[10] != '\0' && settings().verbose)
        printOut("Found cygdrive path adjusted to \"%s\"\n", path.c_str());
    FILE* file = fopen(path.c_str(), "r");
    if (!file) {
        printOut("***Error: can not open \"%s\"\n", path.c_str());
        return false;
    }
    char line[1024];
    bool complete = true;
    while (fgets(line, sizeof line, file)) {
        // Read as text: a carriage return in front of the line feed is not part of the line.
        size_t length = strlen(line);
        if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') {
            line[length - 2] = '\n';
            line[length - 1] = '\0';
            --length;
        }
        size_t start = 0;
        size_t stop = 0;
        bool started = false;
        bool equalsFirst = false;
        for (stop = 0; stop < length; ++stop) {
            const char c = line[stop];
            if (c == ' ' || c == '\t') {
                if (started) break;
                continue;
            }
            if (c == '#' || c == '\n') break;
            if (c == '=' && !started) {
                equalsFirst = true;
                break;
            }
            if (!started) {
                started = true;
                start = stop;
            }
        }
        if (equalsFirst) {
            reportBadLine(path, "line contains = before a valid tag name", line);
            complete = false;
            break;
        }
        if (!started) continue;
        std::string_view token(line + start, stop - start);
        const size_t equals = token.find('=');
        if (equals == std::string_view::npos) {
            reportBadLine(path, "line formatted incorrectly", line);
            complete = false;
            break;
        }
        if (equals + 1 == token.size()) {
            complete = false;
            break;
        }
        pushTag(token, equals);
    }
    fclose(file);
    return complete;
}
