// The frame-by-frame mixer, written as plainly as the rules read. It is the
// reference that the production mixer must match byte for byte, and the
// mixer itself on processors without the production mixer's kernels.
#include "mixer.h"
#include "mixer_rules.h"
#include "player_state.h"
#include "sequencer.h"
#include "tick_clock.h"

namespace zindle {

namespace {

void glide() {
    ChannelState& ch = player.channels;
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c) {
        if (ch.mix_volume[c] < ch.mix_target[c])
            ++ch.mix_volume[c];
        else if (ch.mix_volume[c] > ch.mix_target[c])
            --ch.mix_volume[c];
    }
}

std::int32_t channel_value(std::uint32_t c) {
    ChannelState& ch = player.channels;
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
    if (!advance_voice(c)) return x;  // the last frame still sounds; position and history stay
    ch.last_out[c] = static_cast<std::int16_t>(x);
    return x;
}

// The buffer's frames into `out`. MUTES: some channels are muted, and add
// nothing to either side while they play on; each kind is a function of
// its own, so the plain one stays as it was.
template <bool MUTES>
[[gnu::noinline]] void mix_frames(std::int16_t* out) {
    const ChannelState& ch = player.channels;
    for (std::uint32_t frame = 0; frame < FRAMES_PER_BUFFER; ++frame) {
        player.out_clock += BYTES_PER_FRAME;  // this frame's clock: a tick due in it runs now
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
            if constexpr (MUTES) {
                if ((player.muted >> c & 1) != 0) continue;
            }
            if ((ch.pan[c] & PAN_LEFT) != 0) left += v >> 1;
            if ((ch.pan[c] & PAN_RIGHT) != 0) right += v >> 1;
        }
        out[2 * frame] = clip_sample(left);
        out[2 * frame + 1] = clip_sample(right);
    }
}

}  // namespace

void fill_buffer_reference() {
    next_buffer = (next_buffer + 1) % BUFFER_COUNT;
    if (player.muted == 0)
        mix_frames<false>(output_buffers[next_buffer]);
    else
        mix_frames<true>(output_buffers[next_buffer]);
    count_frames_made();
    if (engine_hooks.buffer_ready != nullptr) engine_hooks.buffer_ready();
}

}  // namespace zindle
