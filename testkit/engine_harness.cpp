#include "engine_harness.h"

#include <algorithm>
#include <cstring>

#include "engine_seams.h"
#include "mixer.h"
#include "module_loader.h"
#include "player_state.h"

namespace zindle::test {

std::string load(const std::vector<std::uint8_t>& file, bool* loaded) { return load_at_clock(file, 0, loaded); }

std::string load_at_clock(const std::vector<std::uint8_t>& file, std::uint32_t start_clock, bool* loaded) {
    wire_test_seams();
    player = PlayerState{};
    player.out_clock = start_clock;
    std::memset(module_image, 0, sizeof module_image);
    std::memset(output_buffers, 0, sizeof output_buffers);
    next_buffer = 0;
    seams::submissions = 0;
    seams::console_bytes.clear();
    // An empty file copies nothing (and may have no data pointer at all).
    if (!file.empty()) std::memcpy(module_image, file.data(), std::min<std::size_t>(file.size(), IMAGE_BYTES));
    const bool ok = load_module();
    if (loaded != nullptr) *loaded = ok;
    return take_console();
}

std::string take_console() {
    wire_test_seams();
    std::string bytes;
    bytes.swap(seams::console_bytes);
    return bytes;
}

namespace {
std::vector<std::int16_t> render_with(void (*fill)(), int buffers) {
    std::vector<std::int16_t> frames;
    frames.reserve(static_cast<std::size_t>(buffers) * FRAMES_PER_BUFFER * 2);
    for (int i = 0; i < buffers; ++i) {
        fill();
        const std::int16_t* b = output_buffers[next_buffer];
        frames.insert(frames.end(), b, b + FRAMES_PER_BUFFER * 2);
    }
    return frames;
}
}  // namespace

std::vector<std::int16_t> render(int buffers) { return render_with(fill_buffer, buffers); }
std::vector<std::int16_t> render_reference(int buffers) { return render_with(fill_buffer_reference, buffers); }
int submitted_buffers() { return seams::submissions; }
int console_writes() { return seams::console_calls; }

}  // namespace zindle::test
