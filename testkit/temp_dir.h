// Temporary folders for tests that write files, and the small file
// helpers those tests share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zindle::test {

// A fresh empty directory under the system's temporary folder.
std::string make_temp_dir();

// The bytes written to, or read from, a file whole.
void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::string read_file(const std::filesystem::path& path);

// The names of the entries of a folder, sorted.
std::vector<std::string> names_in(const std::filesystem::path& folder);

}  // namespace zindle::test
