// What the renderer's files need from the system, defined once for tools/.
#pragma once

#include <fcntl.h>

#include <string>

// Files are read and written as bytes everywhere: no line-end translation
// where the C library would otherwise do it.
#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace zindle {

// What ends a folder in a path: C:\music\song.mod and C:song.mod on Windows.
#ifdef _WIN32
inline constexpr const char* PATH_SEPARATORS = "/\\:";
#else
inline constexpr const char* PATH_SEPARATORS = "/";
#endif

// The folder part of a path, separator included ("" for the current one).
inline std::string folder_of(const std::string& path) {
    const std::size_t cut = path.find_last_of(PATH_SEPARATORS);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// The file name part of a path.
inline std::string base_of(const std::string& path) {
    const std::size_t cut = path.find_last_of(PATH_SEPARATORS);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace zindle
