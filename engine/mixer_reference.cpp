// The frame-by-frame mixer, written as plainly as the rules read. It is the
// reference that the production mixer must match byte for byte.
#include "mixer.h"

#include "player_state.h"
#include "sequencer.h"
#include "tick_clock.h"

namespace zindle {

namespace {

constexpr std::int32_t CLIP_HIGH = 30719;
constexpr std::int32_t CLIP_LOW = -30720;
constexpr std::uint32_t SMOOTHING_MAX_STEP = 4095;

void fade_down() {
    ChannelState& ch = player.channels;
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c)
        if (ch.mix_volume[c] > ch.ramp_floor[c]) --ch.mix_volume[c];
}

void glide() {
    ChannelState& ch = player.channels;
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c) {
        if (ch.mix_volume[c] < ch.mix_target[c])
            ++ch.mix_volume[c];
        else if (ch.mix_volume[c] > ch.mix_target[c])
            --ch.mix_volume[c];
    }
}

// The loop wrap subtracts one loop length; a step longer than the loop
// needs the remainder instead, which keeps the position inside the loop.
std::uint32_t wrap_into_loop(std::uint32_t past, std::uint32_t loop_end, std::uint32_t loop_length) {
    const std::uint32_t pos = past - loop_length;
    if (pos < loop_end || loop_length == 0 || loop_length > loop_end) return pos;
    const std::uint32_t loop_start = loop_end - loop_length;
    return loop_start + (past - loop_start) % loop_length;
}

std::int32_t channel_value(std::uint32_t c) {
    ChannelState& ch = player.channels;
    const SampleInfo& samples = player.samples;
    const std::int32_t volume = ch.mix_volume[c];
    if (volume == 0) {
        ch.last_out[c] = 0;
        return 0;
    }
    std::int32_t x = static_cast<std::int8_t>(ch.sample_data[c][ch.pos[c] >> 12]) * volume;
    const std::uint32_t step = ch.step[c];
    if (step <= SMOOTHING_MAX_STEP) {
        const std::int32_t last = ch.last_out[c];
        x = last + (((x - last) * static_cast<std::int32_t>(step)) >> 12);
    }
    const std::uint32_t next = ch.pos[c] + step;
    const std::uint8_t sample = ch.sample_num[c];
    if (next < ch.end_pos[c]) {
        ch.pos[c] = next;
    } else if (ch.play_state[c] == STATE_LOOPING) {
        ch.pos[c] = wrap_into_loop(next, ch.end_pos[c], samples.sample_loop_length[sample]);
    } else if (samples.sample_loop_end[sample] == 0) {
        ch.play_state[c] = STATE_STOPPED;
        ch.mix_target[c] = 0;
        ch.mix_volume[c] = 0;
        return x;  // the last frame still sounds; position and history stay
    } else {
        ch.play_state[c] = STATE_LOOPING;
        ch.end_pos[c] = samples.sample_loop_end[sample];
        ch.pos[c] = samples.sample_loop_end[sample] - samples.sample_loop_length[sample];
    }
    ch.last_out[c] = static_cast<std::int16_t>(x);
    return x;
}

std::int16_t clip(std::int32_t sum) {
    return static_cast<std::int16_t>(sum > CLIP_HIGH ? CLIP_HIGH : sum < CLIP_LOW ? CLIP_LOW : sum);
}

}  // namespace

void fill_buffer_reference() {
    next_buffer = (next_buffer + 1) & 3;
    std::int16_t* out = output_buffers[next_buffer];
    const ChannelState& ch = player.channels;
    for (std::uint32_t frame = 0; frame < FRAMES_PER_BUFFER; ++frame) {
        player.out_clock += BYTES_PER_FRAME;
        switch (volume_phase(player.out_clock)) {
        case VolumePhase::glide: glide(); break;
        case VolumePhase::still: break;
        case VolumePhase::fade: fade_down(); break;
        case VolumePhase::fade_then_tick:
            fade_down();
            run_tick();
            glide();
            break;
        }
        std::int32_t left = 0;
        std::int32_t right = 0;
        for (std::uint32_t c = 0; c < player.song.channel_count; ++c) {
            const std::int32_t v = channel_value(c);
            if ((ch.pan[c] & PAN_LEFT) != 0) left += v >> 1;
            if ((ch.pan[c] & PAN_RIGHT) != 0) right += v >> 1;
        }
        out[2 * frame] = clip(left);
        out[2 * frame + 1] = clip(right);
    }
    submit_buffer();
}

}  // namespace zindle
