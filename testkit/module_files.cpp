#include "module_files.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "player_state.h"

namespace zindle::test {

std::vector<std::filesystem::path> module_files_in(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.is_regular_file() && entry.path().extension() == ".mod") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> read_module_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > IMAGE_BYTES) bytes.resize(IMAGE_BYTES);
    return bytes;
}

}  // namespace zindle::test
