// Small helpers shared by the engine behaviour tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "module_builder.h"
#include "player_state.h"
#include "sequencer.h"

namespace zindle::test {

inline std::vector<std::int8_t> flat(std::size_t n, std::int8_t v) { return std::vector<std::int8_t>(n, v); }

// A sample of `bytes` bytes of `value`, looping over all of it.
inline Sample looped(std::size_t bytes, std::int8_t value, std::uint8_t volume = 64) {
    return {.data = flat(bytes, value),
            .volume = volume,
            .loop_start_words = 0,
            .loop_length_words = static_cast<std::uint16_t>(bytes / 2)};
}

// Four channels with sample 1 looping over 256 bytes of 50.
inline ModuleBuilder with_sample() {
    ModuleBuilder b(4);
    b.sample(1, looped(256, 50));
    return b;
}

// Index of the order entry that is playing.
inline std::uint32_t entry() { return static_cast<std::uint32_t>(player.song.order_pos - player.song.order_table); }

// While one lives, every row tick's order entry and row offset, and the
// out_clock at which it ran.
struct RowRecorder {
    static inline std::vector<std::pair<std::uint32_t, std::uint32_t>> decoded;  // (entry, row offset)
    static inline std::vector<std::uint32_t> decoded_at;

    RowRecorder() {
        decoded.clear();
        decoded_at.clear();
        engine_hooks.row_tick = record;
    }
    ~RowRecorder() { engine_hooks.row_tick = nullptr; }
    RowRecorder(const RowRecorder&) = delete;
    RowRecorder& operator=(const RowRecorder&) = delete;

    static void record(const std::uint8_t* entry, std::uint32_t row_offset) {
        decoded.emplace_back(static_cast<std::uint32_t>(entry - player.song.order_table), row_offset);
        decoded_at.push_back(player.out_clock);
    }
};

inline void ticks(int n) {
    for (int i = 0; i < n; ++i) run_tick();
}

inline std::int16_t left(const std::vector<std::int16_t>& f, std::size_t frame) { return f[2 * frame]; }
inline std::int16_t right(const std::vector<std::int16_t>& f, std::size_t frame) { return f[2 * frame + 1]; }

// Makes channel c play sample s from its start at a fixed step and volume,
// with no ramp pending, so that the frames before the first tick show the
// mixing alone.
inline void poke_voice(std::uint32_t c, std::uint8_t s, std::uint8_t volume, std::uint32_t step, std::uint8_t pan) {
    ChannelState& ch = player.channels;
    ch.sample_num[c] = s;
    ch.sample_data[c] = player.samples.sample_data[s];
    ch.pos[c] = 0;
    ch.end_pos[c] = player.samples.sample_length[s];
    ch.play_state[c] = STATE_PLAYING;
    ch.mix_volume[c] = volume;
    ch.mix_target[c] = volume;
    ch.note_volume[c] = static_cast<std::uint8_t>((volume + 1) / 2);  // keeps it sounding after the first tick
    ch.ramp_floor[c] = NO_RAMP_FLOOR;
    ch.step[c] = step;
    ch.pan[c] = pan;
    ch.last_out[c] = 0;
}

}  // namespace zindle::test
