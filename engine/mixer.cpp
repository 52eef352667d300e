// The production mixer: renders the channels into 16-bit stereo frames; the
// output byte count is the engine's clock and runs the ticks between frames.
//
// It gives exactly the frames of the per-frame reference, but works one
// channel at a time over runs of frames. Only a tick couples the channels;
// between ticks each channel's volume moves by rules of its own and the
// frame sums are plain integer additions, so each channel is mixed over a
// whole run into a 32-bit accumulator and the clip is applied once at the
// end. A run is a stretch of frames in one volume phase (glide, still or
// fade); inside a channel's run the loop stops only where its volume moves
// or its sample ends.
#include "mixer.h"

#include "player_state.h"
#include "sequencer.h"
#include "tick_clock.h"

namespace zindle {

std::int16_t output_buffers[BUFFER_COUNT][FRAMES_PER_BUFFER * 2];
std::uint8_t next_buffer;

namespace {

constexpr std::int32_t CLIP_HIGH = 30719;
constexpr std::int32_t CLIP_LOW = -30720;
constexpr std::uint32_t SMOOTHING_MAX_STEP = 4095;
constexpr std::uint64_t CLOCK_SPAN = 1ull << 32;
// A position below this plus any step stays clear of the 32-bit wrap.
constexpr std::uint32_t LOOP_END_LIMIT = 0x80000000u;
constexpr std::uint32_t NEVER = 0xFFFFFFFFu;
// Loops of at least this many steps wrap through the end-of-sample path.
constexpr std::uint32_t LONG_LOOP_STEPS = 64;

// Left and right sums of the buffer being rendered.
std::int32_t accumulator[FRAMES_PER_BUFFER * 2];

void fade_down() {
    ChannelState& ch = player.channels;
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c)
        if (ch.mix_volume[c] > ch.ramp_floor[c]) --ch.mix_volume[c];
}

// Where the volume of channel c goes in this phase: +1, -1 or 0 per frame,
// and for how many frames.
struct Slope {
    std::int32_t change;
    std::uint32_t frames;
};

Slope volume_slope(std::uint32_t c, VolumePhase phase) {
    const ChannelState& ch = player.channels;
    const std::int32_t vol = ch.mix_volume[c];
    const std::int32_t target = ch.mix_target[c];
    if (phase == VolumePhase::glide && vol < target) return {1, static_cast<std::uint32_t>(target - vol)};
    if (phase == VolumePhase::glide && vol > target) return {-1, static_cast<std::uint32_t>(vol - target)};
    const std::int32_t floor = ch.ramp_floor[c];
    if (phase == VolumePhase::fade && vol > floor) return {-1, static_cast<std::uint32_t>(vol - floor)};
    return {0, 0};
}

// The loop wrap subtracts one loop length; a step longer than the loop
// needs the remainder instead, which keeps the position inside the loop.
std::uint32_t wrap_into_loop(std::uint32_t past, std::uint32_t loop_end, std::uint32_t loop_length) {
    const std::uint32_t pos = past - loop_length;
    if (pos < loop_end || loop_length == 0 || loop_length > loop_end) return pos;
    const std::uint32_t loop_start = loop_end - loop_length;
    return loop_start + (past - loop_start) % loop_length;
}

// One frame of one channel with every rule: used where the volume moves
// and in the frame where the sample ends or wraps.
std::int32_t frame_value(std::uint32_t c) {
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

void add_frame(std::uint32_t c, std::int32_t* out) {
    const std::int32_t v = frame_value(c);
    const std::uint8_t pan = player.channels.pan[c];
    if ((pan & PAN_LEFT) != 0) out[0] += v >> 1;
    if ((pan & PAN_RIGHT) != 0) out[1] += v >> 1;
}

// Frames at constant volume before the one in which pos + step reaches
// end_pos; in those the plain advance is all that happens.
std::uint32_t frames_before_end(std::uint32_t c, std::uint32_t limit) {
    const ChannelState& ch = player.channels;
    const std::uint32_t pos = ch.pos[c];
    const std::uint32_t end = ch.end_pos[c];
    const std::uint32_t step = ch.step[c];
    if (pos >= end) return 0;
    if (step == 0) return limit;
    const std::uint32_t frames = (end - pos - 1) / step;
    return frames < limit ? frames : limit;
}

// The common case: constant volume, no sample end. Smoothing
//   last + (((x - last) * step) >> 12)
// is computed as (last * (4096 - step) + x * step) >> 12, the same value
// (last * 4096 is a whole multiple of the divisor) with one multiply on the
// chain from one frame to the next instead of a subtract and a multiply.
//
// WRAP: a short loop, still longer than the step, wraps inside the loop
// (wrap_at is the loop end, wrap_by its length); the position stays below
// the loop end, so each wrap is one subtraction. Long loops end the loop
// instead and wrap through frame_value, which costs less than a test in
// every frame.
template <bool SMOOTH, bool LEFT, bool RIGHT, bool WRAP>
void mix_plain(std::uint32_t c, std::int32_t* out, std::uint32_t frames, std::uint32_t wrap_at,
               std::uint32_t wrap_by) {
    ChannelState& ch = player.channels;
    const std::uint8_t* data = ch.sample_data[c];
    const std::uint32_t step = ch.step[c];
    const std::int32_t vol = ch.mix_volume[c];
    std::uint32_t pos = ch.pos[c];
    std::int32_t last = ch.last_out[c];
    const std::int32_t keep = 4096 - static_cast<std::int32_t>(step);
    const std::int32_t gain = vol * static_cast<std::int32_t>(step);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::int32_t s = static_cast<std::int8_t>(data[pos >> 12]);
        pos += step;
        if constexpr (WRAP) pos -= pos >= wrap_at ? wrap_by : 0;
        if constexpr (SMOOTH) {
            last = (last * keep + s * gain) >> 12;
        } else {
            last = s * vol;
        }
        if constexpr (LEFT) out[2 * i] += last >> 1;
        if constexpr (RIGHT) out[2 * i + 1] += last >> 1;
    }
    ch.pos[c] = pos;
    ch.last_out[c] = static_cast<std::int16_t>(last);
}

template <bool SMOOTH, bool WRAP>
void mix_plain_panned(std::uint32_t c, std::int32_t* out, std::uint32_t frames, std::uint32_t wrap_at,
                      std::uint32_t wrap_by) {
    switch (player.channels.pan[c] & (PAN_LEFT | PAN_RIGHT)) {
    case PAN_LEFT: mix_plain<SMOOTH, true, false, WRAP>(c, out, frames, wrap_at, wrap_by); break;
    case PAN_RIGHT: mix_plain<SMOOTH, false, true, WRAP>(c, out, frames, wrap_at, wrap_by); break;
    case PAN_CENTRE: mix_plain<SMOOTH, true, true, WRAP>(c, out, frames, wrap_at, wrap_by); break;
    default: mix_plain<SMOOTH, false, false, WRAP>(c, out, frames, wrap_at, wrap_by); break;
    }
}

// The volume moving one unit per frame, before each frame is mixed, and
// never reaching 0. The product with the volume grows by the weight per
// frame; the smoothing is the same rewriting as in mix_plain, and without
// it keep is 0 and the weight 4096, which gives sample * volume.
void mix_slope(std::uint32_t c, std::int32_t* out, std::uint32_t frames, std::int32_t change) {
    ChannelState& ch = player.channels;
    const std::uint8_t* data = ch.sample_data[c];
    const std::uint32_t step = ch.step[c];
    const bool smooth = step <= SMOOTHING_MAX_STEP;
    const std::int32_t weight = smooth ? static_cast<std::int32_t>(step) : 4096;
    const std::int32_t keep = smooth ? 4096 - weight : 0;
    const std::int32_t left_mask = (ch.pan[c] & PAN_LEFT) != 0 ? -1 : 0;
    const std::int32_t right_mask = (ch.pan[c] & PAN_RIGHT) != 0 ? -1 : 0;
    const std::int32_t vol = ch.mix_volume[c];
    std::int32_t gain = (vol + change) * weight;
    const std::int32_t gain_change = change * weight;
    std::uint32_t pos = ch.pos[c];
    std::int32_t last = ch.last_out[c];
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::int32_t s = static_cast<std::int8_t>(data[pos >> 12]);
        pos += step;
        last = (last * keep + s * gain) >> 12;
        gain += gain_change;
        out[2 * i] += (last >> 1) & left_mask;
        out[2 * i + 1] += (last >> 1) & right_mask;
    }
    ch.pos[c] = pos;
    ch.last_out[c] = static_cast<std::int16_t>(last);
    ch.mix_volume[c] = static_cast<std::uint8_t>(vol + change * static_cast<std::int32_t>(frames));
}

// One channel over a run of frames that all share the volume phase.
void mix_channel(std::uint32_t c, std::int32_t* out, std::uint32_t frames, VolumePhase phase) {
    ChannelState& ch = player.channels;
    while (frames > 0) {
        const Slope slope = volume_slope(c, phase);
        if (slope.change != 0) {
            std::uint32_t moving = slope.frames < frames ? slope.frames : frames;
            // The frame that brings the volume to 0 is silent: per-frame rules.
            if (ch.mix_volume[c] + slope.change * static_cast<std::int32_t>(moving) == 0) --moving;
            const std::uint32_t sloped = frames_before_end(c, moving);
            if (sloped > 0) {
                mix_slope(c, out, sloped, slope.change);
                out += 2 * sloped;
                frames -= sloped;
                continue;
            }
            ch.mix_volume[c] = static_cast<std::uint8_t>(ch.mix_volume[c] + slope.change);
            add_frame(c, out);
            out += 2;
            --frames;
            continue;
        }
        if (ch.mix_volume[c] == 0) {
            // Silent and staying so until the next tick: nothing moves.
            ch.last_out[c] = 0;
            return;
        }
        const std::uint32_t loop_length = player.samples.sample_loop_length[ch.sample_num[c]];
        const std::uint32_t step = ch.step[c];
        const bool wraps = ch.play_state[c] == STATE_LOOPING && ch.pos[c] < ch.end_pos[c] && step != 0 &&
                           step < loop_length && loop_length / step < LONG_LOOP_STEPS &&
                           loop_length <= ch.end_pos[c] && ch.end_pos[c] <= LOOP_END_LIMIT;
        const std::uint32_t plain = wraps ? frames : frames_before_end(c, frames);
        const std::uint32_t wrap_at = wraps ? ch.end_pos[c] : NEVER;
        const std::uint32_t wrap_by = wraps ? loop_length : 0;
        if (plain > 0) {
            const bool smooth = step <= SMOOTHING_MAX_STEP;
            if (smooth && wraps)
                mix_plain_panned<true, true>(c, out, plain, wrap_at, wrap_by);
            else if (smooth)
                mix_plain_panned<true, false>(c, out, plain, wrap_at, wrap_by);
            else if (wraps)
                mix_plain_panned<false, true>(c, out, plain, wrap_at, wrap_by);
            else
                mix_plain_panned<false, false>(c, out, plain, wrap_at, wrap_by);
            out += 2 * plain;
            frames -= plain;
        }
        if (frames > 0) {
            add_frame(c, out);  // the end of the sample or of its loop
            out += 2;
            --frames;
        }
    }
}

// Frames, from the one at `since` (bytes after the last tick) on, that stay
// below `limit`, at most `most`.
std::uint32_t frames_below(std::uint32_t since, std::uint64_t limit, std::uint32_t most) {
    const std::uint64_t frames = (limit - since + BYTES_PER_FRAME - 1) / BYTES_PER_FRAME;
    return frames < most ? static_cast<std::uint32_t>(frames) : most;
}

// How many frames from the one at T on share its volume phase. The
// distance from the last tick grows by 4 per frame and never passes 2^32
// inside a run, so each phase ends where that distance crosses a bound.
std::uint32_t run_length(std::uint32_t now, VolumePhase phase, std::uint32_t most) {
    const SongState& song = player.song;
    const std::uint32_t base = player.clock_base;
    const std::uint32_t since = now - base;
    switch (phase) {
    case VolumePhase::glide: return frames_below(since, song.ramp_until - base, most);
    case VolumePhase::still: return frames_below(since, song.tick_window_at - base, most);
    default: {
        const std::uint64_t window_end = std::uint64_t{song.tick_window_at - base} + PRE_TICK_WINDOW_BYTES;
        return frames_below(since, window_end < CLOCK_SPAN ? window_end : CLOCK_SPAN, most);
    }
    }
}

std::int16_t clip(std::int32_t sum) {
    return static_cast<std::int16_t>(sum > CLIP_HIGH ? CLIP_HIGH : sum < CLIP_LOW ? CLIP_LOW : sum);
}

}  // namespace

void fill_buffer() {
    next_buffer = (next_buffer + 1) & 3;
    std::uint32_t frame = 0;
    while (frame < FRAMES_PER_BUFFER) {
        const std::uint32_t now = player.out_clock + BYTES_PER_FRAME;
        VolumePhase phase = volume_phase(now);
        if (phase == VolumePhase::fade_then_tick) {
            // The tick runs inside this frame, after its fade; the frame
            // then glides, so it opens the run that follows the tick.
            fade_down();
            player.out_clock = now;
            run_tick();
            player.out_clock = now - BYTES_PER_FRAME;
            phase = VolumePhase::glide;
        }
        const std::uint32_t frames = run_length(now, phase, FRAMES_PER_BUFFER - frame);
        std::int32_t* out = accumulator + 2 * frame;
        for (std::uint32_t c = 0; c < player.song.channel_count; ++c) mix_channel(c, out, frames, phase);
        player.out_clock += frames * BYTES_PER_FRAME;
        frame += frames;
    }
    std::int16_t* samples = output_buffers[next_buffer];
    for (std::uint32_t i = 0; i < FRAMES_PER_BUFFER * 2; ++i) {
        samples[i] = clip(accumulator[i]);
        accumulator[i] = 0;
    }
    submit_buffer();
}

}  // namespace zindle
