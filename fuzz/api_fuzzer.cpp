// libFuzzer target for the C library: the input's last 16 bytes steer the
// calls, all before them is the module file (so the module seeds serve as
// they are). Renders in odd-sized calls, Z jumps,
// position queries, exact seeks and reloads, the 0.3 controls (jumps to an
// entry, mutes, float frames, repeat counts, the probe and the pattern and
// channel readers); every seek is checked against
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

// The readers of the song's data: in range, or the range error.
void check_readers() {
    const int channels = zindle_channel_count();
    const int patterns = zindle_pattern_count();
    check(patterns >= 1 && patterns <= 256);
    const int entries = zindle_song_length() > 128 ? zindle_song_length() : 128;
    for (int o = -1; o <= entries; ++o) check((zindle_order_entry(o) >= 0) == (o >= 0 && o < entries));
    struct zindle_cell cell {};
    for (int c = -1; c <= channels; ++c) {
        const int result = zindle_cell(patterns - 1, 63, c, &cell);
        check(result == (c >= 0 && c < channels ? 0 : ZINDLE_ERROR_ARGUMENT));
        if (result == 0)
            check(cell.period >= 0 && cell.period < 4096 && cell.note >= -1 && cell.note <= 71 && cell.sample < 32 &&
                  cell.effect < 16 && cell.param < 256 && (cell.pan & ~0xC0) == 0);
        struct zindle_channel state {};
        const int heard = zindle_channel(c, &state);
        check(heard == (c >= 0 && c < channels ? 0 : ZINDLE_ERROR_ARGUMENT));
        if (heard == 0)
            check(state.sample >= 0 && state.sample < 32 && state.volume >= 0 && state.volume <= 64 &&
                  state.period >= 0 && state.period < 4096 && (state.muted == 0 || state.muted == 1));
    }
    check(zindle_cell(patterns, 0, 0, &cell) == ZINDLE_ERROR_ARGUMENT);
    struct zindle_position p {};
    check(zindle_get_position(&p) == 0 && p.frame == zindle_frame() && p.row == zindle_row() &&
          p.tick == zindle_tick());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(zindle_probe(data, size) == 0 || zindle_probe(data, size) == 1);
    check(zindle_set_repeat(-1) == 0);
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

    check_readers();

    // Mutes, float frames and a jump to an entry: the frames of a seek back
    // with some channels muted, as floats, are the 16-bit ones.
    const int channels = zindle_channel_count();
    for (int c = 0; c < channels; ++c) check(zindle_mute(c, (steer[6] >> (c & 7)) & 1) == 0);
    check(zindle_mute(channels, 1) == ZINDLE_ERROR_ARGUMENT);
    check(zindle_seek(from) == 0);
    render_chunked(again, frames - from, steer, 7);
    check(zindle_seek(from) == 0);
    static float floats[2 * MOST_FRAMES];
    check(zindle_render_float(floats, frames - from) == frames - from);
    for (std::size_t i = 0; i < 2 * (frames - from); ++i) check(floats[i] == again[i] / 32768.0f);
    const int order = steer[7] % (zindle_song_length() + 1);
    const int row = steer[8] % 65;
    const int jumped = zindle_jump_to(order, row);
    check(order < zindle_song_length() && row < 64 ? jumped == zindle_order_entry(order)
                                                   : jumped == ZINDLE_ERROR_ARGUMENT);
    render_chunked(again, frames / 4, steer, 12);
    check_position();
    check_readers();

    // Played once: the render ends at the first pass, or later after a
    // seek past it gives nothing.
    if (steer[9] & 1) {
        check(zindle_set_repeat(0) == 0);
        check(zindle_seek(0) == 0);
        std::size_t total = 0;
        for (std::size_t got = MOST_FRAMES; got == MOST_FRAMES && total < 4 * MOST_FRAMES; total += got)
            got = zindle_render(again, MOST_FRAMES);
        check(total == zindle_pass_frames() || total >= 4 * MOST_FRAMES);
        check(zindle_set_repeat(-1) == 0);
    }

    // A second load of the same bytes plays as the first.
    if (steer[5] & 1) {
        check(zindle_load(file, file_size) == 0);
        const std::size_t some = frames < 3000 ? frames : 3000;
        render_chunked(again, some, steer, 11);
        check(std::memcmp(again, straight, some * 4) == 0);
    }
    return 0;
}
