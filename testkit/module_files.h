// Module files on disk for the tests and the benchmark: the real-module
// corpus (optional) and reading a file as the player would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace zindle::test {

// The .mod files directly in `dir`, sorted by name; none when the folder
// is missing.
std::vector<std::filesystem::path> module_files_in(const std::filesystem::path& dir);

// The file's bytes, cut to the image size as the player reads it; empty
// when it cannot be read.
std::vector<std::uint8_t> read_module_file(const std::filesystem::path& path);

}  // namespace zindle::test
