// libFuzzer target for the C library: the input's last 16 bytes steer the
// calls, all before them is the module file (so the module seeds serve as
// they are). Renders in odd-sized calls, Z jumps,
// position queries, exact seeks and reloads; every seek is checked against
// the frames of a straight render, and every call must return what the
// header promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zindle.h"

namespace {

constexpr std::size_t STEER_BYTES = 16;
constexpr std::size_t MOST_FRAMES = 24000;  // about 27 ticks at the usual tempo
std::int16_t straight[2 * MOST_FRAMES];
std::int16_t again[2 * MOST_FRAMES];

void check(bool ok) {
    if (!ok) std::abort();
}

// A chunk size from one steering byte: 1 to 4096 frames, odd ones common.
std::size_t chunk(std::uint8_t b) {
    static constexpr std::size_t sizes[] = {1, 7, 13, 1000, 2047, 2048, 2049, 4096};
    return b < 128 ? sizes[b & 7] : static_cast<std::size_t>(b) * 16 + 1;
}

void render_chunked(std::int16_t* out, std::size_t frames, const std::uint8_t* steer, std::size_t step) {
    for (std::size_t done = 0, i = 0; done < frames; ++i) {
        std::size_t want = chunk(steer[(step + i) % STEER_BYTES]);
        if (want > frames - done) want = frames - done;
        check(zindle_render(out + 2 * done, want) == want);
        done += want;
    }
}

void check_position() {
    check(zindle_order() >= 0 && zindle_order() < 256);
    check(zindle_pattern() >= 0 && zindle_pattern() < 256);
    check(zindle_row() >= 0 && zindle_row() < 64);
    check(zindle_tick() >= 0 && (zindle_tick() < zindle_speed() || zindle_tick() == 0));
    check(zindle_bytes_per_tick() >= 1729);
    check(zindle_passes() >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < STEER_BYTES) {
        const int result = zindle_load(data, size);
        check(result == ZINDLE_ERROR_EMPTY_SONG || result == 0);
        return 0;
    }
    const std::uint8_t* file = data;
    const std::size_t file_size = size - STEER_BYTES;
    const std::uint8_t* steer = data + file_size;
    const int loaded = zindle_load(file, file_size);
    check(zindle_report()[0] == 'c');
    if (loaded != 0) {
        check(loaded == ZINDLE_ERROR_EMPTY_SONG);
        std::int16_t frame[2];
        check(zindle_render(frame, 1) == 0 && zindle_seek(1) == ZINDLE_ERROR_NOT_LOADED);
        return 0;
    }
    check(zindle_channel_count() >= 4 && zindle_channel_count() <= 32);
    for (int s = 0; s <= 32; ++s) check((zindle_sample_name(s) != nullptr) == (s >= 1 && s <= zindle_sample_count()));
    check((zindle_return_order() < 0) == (zindle_return_row() < 0));

    const std::size_t frames = 1 + (steer[0] * 256u + steer[1]) % MOST_FRAMES;
    render_chunked(straight, frames, steer, 2);
    check_position();
    check(zindle_frame() == frames);

    // Jumps here and there, then a seek back must give the straight frames.
    for (int i = 0; i < (steer[2] & 3); ++i) {
        check(zindle_jump() >= 0);
        render_chunked(again, frames / 4, steer, 5 + static_cast<std::size_t>(i));
        check_position();
    }
    const std::size_t from = (steer[3] * 256u + steer[4]) % frames;
    check(zindle_seek(from) == 0);
    check(zindle_frame() == from);
    render_chunked(again, frames - from, steer, 9);
    check(std::memcmp(again, straight + 2 * from, (frames - from) * 4) == 0);

    // A second load of the same bytes plays as the first.
    if (steer[5] & 1) {
        check(zindle_load(file, file_size) == 0);
        const std::size_t some = frames < 3000 ? frames : 3000;
        render_chunked(again, some, steer, 11);
        check(std::memcmp(again, straight, some * 4) == 0);
    }
    return 0;
}
