// libFuzzer target: the input is a module file, read as the player reads
// one, then played for a bounded number of buffers through the fast mixer
// and its start again through the reference mixer, which must agree byte
// for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "mixer.h"
#include "module_loader.h"
#include "player_state.h"

namespace {

using namespace zindle;

// 16 x 2048 frames: about 37 ticks at the default tempo, as many rows at
// speed 1. The slower reference mixer replays the first few buffers.
constexpr int BUFFERS = 16;
constexpr int REFERENCE_BUFFERS = 4;
std::int16_t fast_out[BUFFERS][FRAMES_PER_BUFFER * 2];
bool compare_reference = true;
// Only the bytes the previous input wrote need clearing; the tail behind
// the file area is never written.
std::size_t dirty = IMAGE_BYTES;

bool load(const std::uint8_t* data, std::size_t size) {
    player = PlayerState{};
    std::memset(module_image, 0, dirty);
    std::memset(output_buffers, 0, sizeof output_buffers);
    next_buffer = 0;
    dirty = size < IMAGE_BYTES ? size : IMAGE_BYTES;
    std::memcpy(module_image, data, dirty);
    return load_module();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* diff = std::getenv("ZINDLE_FUZZ_REFERENCE");
    compare_reference = diff == nullptr || diff[0] != '0';
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Every path of the fast mixer gets its share of the inputs.
    cap_mixer_level(MIXER_LEVELS[size % std::size(MIXER_LEVELS)]);
    if (!load(data, size)) return 0;
    for (auto& out : fast_out) {
        fill_buffer();
        std::memcpy(out, output_buffers[next_buffer], sizeof out);
    }
    if (!compare_reference) return 0;
    load(data, size);
    for (int b = 0; b < REFERENCE_BUFFERS; ++b) {
        fill_buffer_reference();
        if (std::memcmp(fast_out[b], output_buffers[next_buffer], sizeof fast_out[b]) != 0) __builtin_trap();
    }
    return 0;
}
