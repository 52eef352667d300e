// Every committed fuzz seed and every input the fuzzer once tripped over,
// played the way the fuzz target plays them: loaded as the player loads a
// file, rendered for a while, the start replayed by the reference mixer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "player_state.h"

namespace zindle::test {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs() {
    std::vector<fs::path> files;
    for (const char* dir : {"fuzz/seeds", "fuzz/regressions"}) {
        const fs::path folder = fs::path(ZINDLE_SOURCE_DIR) / dir;
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
    }
    return files;
}

TEST(FuzzRegression, EverySeedAndFoundInputPlaysAndBothMixersAgree) {
    const std::vector<fs::path> files = inputs();
    ASSERT_FALSE(files.empty()) << "no seeds under fuzz/";
    for (const fs::path& path : files) {
        SCOPED_TRACE(path.filename().string());
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (file.size() > IMAGE_BYTES) file.resize(IMAGE_BYTES);
        bool ok = false;
        load(file, &ok);
        if (!ok) continue;
        const std::vector<std::int16_t> fast = render(16);
        load(file);
        const std::vector<std::int16_t> reference = render_reference(4);
        ASSERT_TRUE(std::equal(reference.begin(), reference.end(), fast.begin()));
    }
}

}  // namespace
}  // namespace zindle::test
