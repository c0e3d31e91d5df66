// Cygwin's names for drive-letter paths: "/cygdrive/c/sdk" stands for "c:/sdk".
#pragma once

#include <string>
#include <string_view>

constexpr std::string_view kCygdrivePrefix = "/cygdrive/";

inline bool isCygdrivePath(std::string_view path) { return path.substr(0, kCygdrivePrefix.size()) == kCygdrivePrefix; }

// The drive-letter form of a cygdrive path: the letter after the prefix, ":",
// then the rest ("/cygdrive/" alone gives ":").
inline std::string drivePathOfCygdrive(std::string_view path) {
    const size_t letter = kCygdrivePrefix.size();
    std::string drivePath(path.substr(letter, 1));
    drivePath += ':';
    if (path.size() > letter + 1) drivePath += path.substr(letter + 1);
    return drivePath;
}
