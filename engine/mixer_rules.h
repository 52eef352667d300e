// The mixing rules that both mixers apply, each stated once: the clip
// bounds, the smoothing threshold, the pre-tick fade and a voice's move to
// its next frame. The reference mixer applies them frame by frame; the
// production mixer and its kernels are checked against it byte for byte.
#pragma once

#include <cstdint>

#include "player_state.h"

namespace zindle {

// Bounds of an output sample (0x77FF and -0x7800).
inline constexpr std::int16_t CLIP_HIGH = 30719;
inline constexpr std::int16_t CLIP_LOW = -30720;

// A channel whose step is at most this (less than one sample byte per
// output frame) is smoothed: x = last + (((x - last) * step) >> 12).
inline constexpr std::uint32_t SMOOTHING_MAX_STEP = 4095;
// One sample byte per output frame in 20.12 fixed point; the smoothing's
// divisor.
inline constexpr std::uint32_t ONE_BYTE_STEP = 4096;

inline std::int16_t clip_sample(std::int32_t sum) {
    return static_cast<std::int16_t>(sum > CLIP_HIGH ? CLIP_HIGH : sum < CLIP_LOW ? CLIP_LOW : sum);
}

// In the frames before a row tick, each channel's volume falls by one per
// frame toward its floor.
inline void fade_down() {
    ChannelState& ch = player.channels;
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c)
        if (ch.mix_volume[c] > ch.ramp_floor[c]) --ch.mix_volume[c];
}

// The loop wrap subtracts one loop length; a step longer than the loop
// needs the remainder instead, which keeps the position inside the loop.
inline std::uint32_t wrap_into_loop(std::uint32_t past, std::uint32_t loop_end, std::uint32_t loop_length) {
    const std::uint32_t pos = past - loop_length;
    if (pos < loop_end || loop_length == 0 || loop_length > loop_end) return pos;
    const std::uint32_t loop_start = loop_end - loop_length;
    return loop_start + (past - loop_start) % loop_length;
}

// Moves channel c on by one frame with every rule of the sample's end and
// its loop. False when a sample without a loop ended: the channel is then
// silenced, and its position (and the smoothing's last value) stay.
inline bool advance_voice(std::uint32_t c) {
    ChannelState& ch = player.channels;
    const SampleInfo& samples = player.samples;
    const std::uint32_t next = ch.pos[c] + ch.step[c];
    const std::uint8_t sample = ch.sample_num[c];
    if (next < ch.end_pos[c]) {
        ch.pos[c] = next;
    } else if (ch.play_state[c] == STATE_LOOPING) {
        ch.pos[c] = wrap_into_loop(next, ch.end_pos[c], samples.sample_loop_length[sample]);
    } else if (samples.sample_loop_end[sample] == 0) {
        ch.play_state[c] = STATE_STOPPED;
        ch.mix_target[c] = 0;
        ch.mix_volume[c] = 0;
        return false;
    } else {
        ch.play_state[c] = STATE_LOOPING;
        ch.end_pos[c] = samples.sample_loop_end[sample];
        ch.pos[c] = samples.sample_loop_end[sample] - samples.sample_loop_length[sample];
    }
    return true;
}

}  // namespace zindle
