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
// Positions below this plus any step stay far from the 32-bit wrap.
constexpr std::uint32_t LANE_POS_LIMIT = 0x80000000u;
constexpr std::uint32_t NEVER = 0xFFFFFFFFu;
// Lanes mixed in one loop: enough to overlap the chains, few enough to
// keep them in registers.
constexpr std::uint32_t LANES_TOGETHER = 2;

// Left and right sums of the buffer being rendered.
std::int32_t accumulator[FRAMES_PER_BUFFER * 2];

void fade_down() {
    ChannelState& ch = player.channels;
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c)
        if (ch.mix_volume[c] > ch.ramp_floor[c]) --ch.mix_volume[c];
}

// The volume rule of one channel for one frame; true if it changed.
bool move_volume(std::uint32_t c, VolumePhase phase) {
    ChannelState& ch = player.channels;
    std::uint8_t& vol = ch.mix_volume[c];
    if (phase == VolumePhase::glide) {
        if (vol < ch.mix_target[c]) return ++vol, true;
        if (vol > ch.mix_target[c]) return --vol, true;
    } else if (phase == VolumePhase::fade && vol > ch.ramp_floor[c]) {
        return --vol, true;
    }
    return false;
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

// A channel over a stretch of frames in which its volume stands still or
// moves one unit per frame and its sample does not end. The smoothing
//   last + (((x - last) * step) >> 12),  x = sample * volume
// is computed as (last * keep + sample * gain) >> 12 with keep = 4096 - step
// and gain = volume * step: the same value, since last * 4096 is a whole
// multiple of the divisor, with one multiply on the chain from frame to
// frame. Without smoothing keep is 0 and gain volume * 4096, which gives x.
struct Lane {
    const std::uint8_t* data;
    std::uint32_t pos;
    std::uint32_t step;
    std::uint32_t wrap_at;  // a looping sample's end_pos, or never reached
    std::uint32_t wrap_by;  // its loop length
    std::int32_t keep;
    std::int32_t gain;
    std::int32_t gain_change;  // per frame while the volume moves
    std::int32_t last;
    std::uint32_t pan_group;
    std::int32_t volume;
    std::int32_t volume_change;
    std::uint32_t channel;
};

// K lanes of one pan side by side, so their smoothing chains overlap.
template <std::uint32_t K, std::uint8_t PAN>
void mix_lanes(Lane* lanes, std::int32_t* out, std::uint32_t frames) {
    const std::uint8_t* data[K];
    std::uint32_t pos[K], step[K], wrap_at[K], wrap_by[K];
    std::int32_t keep[K], gain[K], gain_change[K], last[K];
    for (std::uint32_t k = 0; k < K; ++k) {
        data[k] = lanes[k].data, pos[k] = lanes[k].pos, step[k] = lanes[k].step;
        wrap_at[k] = lanes[k].wrap_at, wrap_by[k] = lanes[k].wrap_by;
        keep[k] = lanes[k].keep, gain[k] = lanes[k].gain, gain_change[k] = lanes[k].gain_change;
        last[k] = lanes[k].last;
    }
    for (std::uint32_t i = 0; i < frames; ++i) {
        std::int32_t sum = 0;
        for (std::uint32_t k = 0; k < K; ++k) {
            const std::int32_t s = static_cast<std::int8_t>(data[k][pos[k] >> 12]);
            pos[k] += step[k];
            pos[k] -= pos[k] >= wrap_at[k] ? wrap_by[k] : 0;
            last[k] = (last[k] * keep[k] + s * gain[k]) >> 12;
            gain[k] += gain_change[k];
            sum += last[k] >> 1;
        }
        if constexpr ((PAN & PAN_LEFT) != 0) out[2 * i] += sum;
        if constexpr ((PAN & PAN_RIGHT) != 0) out[2 * i + 1] += sum;
    }
    for (std::uint32_t k = 0; k < K; ++k) lanes[k].pos = pos[k], lanes[k].gain = gain[k], lanes[k].last = last[k];
}

template <std::uint8_t PAN>
void mix_pan_lanes(Lane* lanes, std::uint32_t count, std::int32_t* out, std::uint32_t frames) {
    for (; count >= LANES_TOGETHER; count -= LANES_TOGETHER, lanes += LANES_TOGETHER)
        mix_lanes<LANES_TOGETHER, PAN>(lanes, out, frames);
    for (; count > 0; --count, ++lanes) mix_lanes<1, PAN>(lanes, out, frames);
}

// Lanes grouped by pan: left, right, both; lanes heard on neither side are
// last and still advance.
void mix_all_lanes(Lane* lanes, const std::uint32_t* count, std::int32_t* out, std::uint32_t frames) {
    mix_pan_lanes<PAN_LEFT>(lanes, count[0], out, frames);
    lanes += count[0];
    mix_pan_lanes<PAN_RIGHT>(lanes, count[1], out, frames);
    lanes += count[1];
    mix_pan_lanes<PAN_CENTRE>(lanes, count[2], out, frames);
    lanes += count[2];
    mix_pan_lanes<0>(lanes, count[3], out, frames);
}

// Index of a pan's group in that order.
std::uint32_t pan_group(std::uint8_t pan) {
    switch (pan & PAN_CENTRE) {
    case PAN_LEFT: return 0;
    case PAN_RIGHT: return 1;
    case PAN_CENTRE: return 2;
    default: return 3;
    }
}

enum class Stretch : std::uint8_t { lane, silent, single };

// What channel c does from here on, for how many frames: a lane, silence
// (nothing moves until the next tick), or one frame with every rule where
// the sample ends or the volume reaches 0.
Stretch start_stretch(std::uint32_t c, VolumePhase phase, std::uint32_t most, Lane& lane, std::uint32_t& frames) {
    ChannelState& ch = player.channels;
    const std::int32_t vol = ch.mix_volume[c];
    std::int32_t change = 0;
    std::uint32_t moving = 0;  // frames in which the volume moves
    if (phase == VolumePhase::glide && vol != ch.mix_target[c]) {
        change = vol < ch.mix_target[c] ? 1 : -1;
        moving = static_cast<std::uint32_t>((ch.mix_target[c] - vol) * change);
    } else if (phase == VolumePhase::fade && vol > ch.ramp_floor[c]) {
        change = -1;
        moving = static_cast<std::uint32_t>(vol - ch.ramp_floor[c]);
    }
    if (change == 0 && vol == 0) {
        ch.last_out[c] = 0;
        frames = most;
        return Stretch::silent;
    }
    if (change != 0) {
        if (vol + change * static_cast<std::int32_t>(moving) == 0) --moving;  // that frame is silent
        if (moving < most) most = moving;
    }
    // A loop longer than the step wraps inside the lane: the position stays
    // below the loop end, so each wrap is one subtraction of the length.
    const std::uint32_t loop_length = player.samples.sample_loop_length[ch.sample_num[c]];
    const bool wraps = ch.play_state[c] == STATE_LOOPING && ch.pos[c] < ch.end_pos[c] &&
                       ch.step[c] < loop_length && loop_length <= ch.end_pos[c] && ch.end_pos[c] <= LANE_POS_LIMIT;
    frames = wraps ? most : frames_before_end(c, most);
    if (frames == 0) {
        frames = 1;
        return Stretch::single;
    }
    const std::uint32_t step = ch.step[c];
    const bool smooth = step <= SMOOTHING_MAX_STEP;
    const std::int32_t weight = smooth ? static_cast<std::int32_t>(step) : 4096;
    lane.data = ch.sample_data[c];
    lane.pos = ch.pos[c];
    lane.step = step;
    lane.wrap_at = wraps ? ch.end_pos[c] : NEVER;
    lane.wrap_by = wraps ? loop_length : 0;
    lane.keep = smooth ? 4096 - weight : 0;
    lane.gain = (vol + change) * weight;
    lane.gain_change = change * weight;
    lane.last = ch.last_out[c];
    lane.pan_group = pan_group(ch.pan[c]);
    lane.volume = vol;
    lane.volume_change = change;
    lane.channel = c;
    return Stretch::lane;
}

// All channels over a run of frames that share the volume phase. The run
// is cut into segments at every frame where some channel's stretch ends;
// within a segment the lanes are mixed side by side.
void mix_run(std::int32_t* out, std::uint32_t frames, VolumePhase phase) {
    const std::uint32_t channels = player.song.channel_count;
    ChannelState& ch = player.channels;
    Lane lanes[CHANNEL_SLOTS];
    Lane active[CHANNEL_SLOTS];
    Stretch kind[CHANNEL_SLOTS];
    std::uint32_t left[CHANNEL_SLOTS] = {};
    std::uint32_t done = 0;
    while (done < frames) {
        std::uint32_t segment = frames - done;
        for (std::uint32_t c = 0; c < channels; ++c) {
            if (left[c] == 0) kind[c] = start_stretch(c, phase, frames - done, lanes[c], left[c]);
            if (left[c] < segment) segment = left[c];
        }
        std::uint32_t group_count[4] = {};
        for (std::uint32_t c = 0; c < channels; ++c)
            if (kind[c] == Stretch::lane) ++group_count[lanes[c].pan_group];
        std::uint32_t group_next[4] = {0, group_count[0], group_count[0] + group_count[1],
                                       group_count[0] + group_count[1] + group_count[2]};
        const std::uint32_t count = group_next[3] + group_count[3];
        for (std::uint32_t c = 0; c < channels; ++c) {
            if (kind[c] == Stretch::lane) {
                active[group_next[lanes[c].pan_group]++] = lanes[c];
            } else if (kind[c] == Stretch::single) {
                move_volume(c, phase);
                add_frame(c, out + 2 * done);
            }
            left[c] -= segment;
        }
        mix_all_lanes(active, group_count, out + 2 * done, segment);
        for (std::uint32_t k = 0; k < count; ++k) {
            Lane& lane = lanes[active[k].channel];
            lane = active[k];
            lane.volume += lane.volume_change * static_cast<std::int32_t>(segment);
            ch.pos[lane.channel] = lane.pos;
            ch.last_out[lane.channel] = static_cast<std::int16_t>(lane.last);
            ch.mix_volume[lane.channel] = static_cast<std::uint8_t>(lane.volume);
        }
        done += segment;
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
        mix_run(out, frames, phase);
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
