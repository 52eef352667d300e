#include "temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace zindle::test {

std::string make_temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zindle-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    return pattern;
}

}  // namespace zindle::test
