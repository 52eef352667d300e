// The production mixer: renders the channels into 16-bit stereo frames; the
// output byte count is the engine's clock and runs the ticks between frames.
//
// It gives exactly the frames of the per-frame reference, but not frame by
// frame. Only a tick couples the channels; between ticks each channel's
// volume moves by rules of its own and the frame sums are plain integer
// additions, so groups of channels can be summed into a 32-bit accumulator
// and clipped once at the end (or all of them at once, clipping as they
// go). A stretch is the frames between two ticks (or the ends of the
// buffer); it holds runs of frames in one volume phase each (glide, still,
// fade). Over a stretch each channel is first walked on its own: its
// position with every rule of the sample end and the loop, its volume by
// each run's rule, and the sample byte times the volume of each frame,
// which are staged. Then the channels go through the smoothing together,
// one vector lane each, so that their chains from frame to frame overlap
// instead of waiting on each other.
//
// What the processor offers is decided once, in a table of kernels
// (mixer_kernels.h) that always holds one in every slot, the plain kernels
// where the processor has nothing better; this file holds the rules and
// asks the table.
#include "mixer.h"

#include <cstring>

#include "mixer_kernels.h"
#include "mixer_lanes.h"
#include "mixer_rules.h"
#include "player_state.h"
#include "sequencer.h"
#include "tick_clock.h"

namespace zindle {

using namespace mixing;

namespace {

constexpr std::uint64_t CLOCK_SPAN = 1ull << 32;
// A position below this plus any step stays clear of the 32-bit wrap.
constexpr std::uint32_t LOOP_END_LIMIT = 0x80000000u;
// Shortest loops, in steps, that the scalar walk takes through the
// end-of-sample path instead of wrapping them itself.
constexpr std::uint32_t LONG_LOOP_STEPS = 64;

const MixerKernels& kernels() {
    if (!mixer_choice.chosen) {
        mixer_choice.kernels = kernels_up_to(mixer_choice.most);
        mixer_choice.chosen = true;
    }
    return mixer_choice.kernels;
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

// One frame with every position rule, its value staged. True if the sample
// ended: the frame still sounds, and the channel is silent from the next.
bool stage_frame(std::uint32_t c, std::int16_t* to) {
    const ChannelState& ch = player.channels;
    *to = static_cast<std::int16_t>(static_cast<std::int8_t>(ch.sample_data[c][ch.pos[c] >> 12]) * ch.mix_volume[c]);
    return !advance_voice(c);
}

// Frames with the wrap of a short loop, still longer than the step, inside
// the loop: the position stays below the loop end, so each wrap is one
// subtraction.
void stage_wrapping(std::uint32_t c, std::int16_t* to, std::uint32_t frames, std::uint32_t wrap_at,
                    std::uint32_t wrap_by) {
    ChannelState& ch = player.channels;
    const std::uint8_t* data = ch.sample_data[c];
    const std::uint32_t step = ch.step[c];
    const std::int32_t vol = ch.mix_volume[c];
    std::uint32_t pos = ch.pos[c];
    for (std::int16_t* const end = to + frames; to != end; ++to) {
        const std::int32_t s = static_cast<std::int8_t>(data[pos >> 12]);
        *to = static_cast<std::int16_t>(s * vol);
        pos += step;
        pos -= pos >= wrap_at ? wrap_by : 0;
    }
    ch.pos[c] = pos;
}

// A stager of the table over a loop of whole bytes, from a position inside
// it: the loop is laid out once more with its first 16 bytes repeated
// behind it, so the bytes a block of frames reads follow one another, wrapped
// or not, and only the position needs the wrap.
void stage_laid_loop(std::uint32_t c, std::int16_t* to, std::uint32_t frames, std::uint32_t loop_end,
                     std::uint32_t loop_length) {
    ChannelState& ch = player.channels;
    std::uint8_t* laid = mixer_scratch.laid_out;
    const std::uint32_t loop_start = loop_end - loop_length;
    const std::uint32_t loop_bytes = loop_length >> 12;
    std::memcpy(laid, ch.sample_data[c] + (loop_start >> 12), loop_bytes);
    for (std::uint32_t b = loop_bytes; b < loop_bytes + 16; ++b) laid[b] = laid[b - loop_bytes];
    const std::uint32_t pos = ch.pos[c];
    kernels().stage_loop(laid, pos, loop_end, loop_length, ch.step[c], ch.mix_volume[c], to, frames);
    ch.pos[c] = loop_start + (pos - loop_start + frames * ch.step[c]) % loop_length;
}

// Walks channel c over a run of frames that share the volume phase and
// stages its values from `to` on. A channel that falls silent stays so
// until the next tick: a glide or fade reaches 0 only toward a target or
// floor of 0, and a sample that ends takes both volumes to 0.
Lane stage_channel(std::uint32_t c, std::int16_t* to, std::uint32_t frames, VolumePhase phase) {
    const MixerKernels& k = kernels();
    ChannelState& ch = player.channels;
    Lane result{c, 0, false};
    std::uint32_t i = 0;
    while (i < frames) {
        const Slope slope = volume_slope(c, phase);
        if (slope.change != 0) {
            std::uint32_t moving = slope.frames < frames - i ? slope.frames : frames - i;
            // The frame that brings the volume to 0 is silent.
            if (ch.mix_volume[c] + slope.change * static_cast<std::int32_t>(moving) == 0) --moving;
            const std::uint32_t sloped = frames_before_end(c, moving);
            if (sloped > 0) {
                // Frames in which the volume moves before each is mixed,
                // never reaching 0, and the sample does not end.
                k.stage_slope(ch.sample_data[c], ch.pos[c], ch.step[c], ch.mix_volume[c], slope.change, to + i, sloped);
                ch.pos[c] += sloped * ch.step[c];
                ch.mix_volume[c] =
                    static_cast<std::uint8_t>(ch.mix_volume[c] + slope.change * static_cast<std::int32_t>(sloped));
                i += sloped;
                continue;
            }
            ch.mix_volume[c] = static_cast<std::uint8_t>(ch.mix_volume[c] + slope.change);
            if (ch.mix_volume[c] == 0) break;
            if (stage_frame(c, to + i++)) {
                result.ended = true;
                break;
            }
            continue;
        }
        if (ch.mix_volume[c] == 0) break;
        const std::uint32_t loop_length = player.samples.sample_loop_length[ch.sample_num[c]];
        const std::uint32_t step = ch.step[c];
        const std::uint32_t wrap_at = ch.end_pos[c];
        // Inside a loop longer than the step, one subtraction wraps it.
        const bool in_loop = ch.play_state[c] == STATE_LOOPING && ch.pos[c] < wrap_at && step != 0 &&
                             step < loop_length && loop_length <= wrap_at && wrap_at <= LOOP_END_LIMIT;
        const bool wraps = in_loop && loop_length / step < LONG_LOOP_STEPS;
        // The laid-out loop needs whole bytes and a position inside the loop.
        const bool laid = k.lay_out_loops && in_loop && ((wrap_at | loop_length) & 0xFFF) == 0 &&
                          ch.pos[c] >= wrap_at - loop_length && (loop_length >> 12) <= LAID_OUT_MAX;
        const std::uint32_t steady = wraps || laid ? frames - i : frames_before_end(c, frames - i);
        if (steady > 0) {
            if (laid) {
                stage_laid_loop(c, to + i, steady, wrap_at, loop_length);
            } else if (wraps) {
                stage_wrapping(c, to + i, steady, wrap_at, loop_length);
            } else {
                k.stage(ch.sample_data[c], ch.pos[c], step, ch.mix_volume[c], to + i, steady);
                ch.pos[c] += steady * step;
            }
            i += steady;
        }
        if (i < frames && stage_frame(c, to + i++)) {  // the sample's end or its loop's
            result.ended = true;
            break;
        }
    }
    result.sounding = i;
    return result;
}

// The runs of one stretch between two ticks: a glide, a still and a fade,
// or as much of them as the buffer holds. Steps, pans and smoothing stay
// the same through them; only the volumes move, by each run's rule.
struct Run {
    VolumePhase phase;
    std::uint32_t frames;
};
constexpr std::uint32_t MOST_RUNS = 4;

// Channel c over the stretch, staged into lane `lane` run after run. Once
// silent it stays silent (see stage_channel).
Lane stage_stretch(std::uint32_t c, std::uint32_t lane, const Run* runs, std::uint32_t run_count) {
    Lane whole{c, 0, false};
    std::uint32_t offset = 0;
    for (std::uint32_t r = 0; r < run_count; ++r) {
        const Lane part = stage_channel(c, mixer_scratch.lane_rows[lane] + offset, runs[r].frames, runs[r].phase);
        whole.sounding = offset + part.sounding;
        whole.ended = part.ended;
        if (part.sounding < runs[r].frames) break;
        offset += runs[r].frames;
    }
    return whole;
}

// Every channel over a stretch of `frames` frames between two ticks, into
// its samples: all channels heard through the smoothing at once where the
// table has that kernel, otherwise in groups into the accumulator, which is
// clipped into the samples at the end.
void mix_stretch(std::int16_t* samples, const Run* runs, std::uint32_t run_count, std::uint32_t frames) {
    const MixerKernels& k = kernels();
    const bool all_at_once = k.all_at_once;
    const std::uint32_t group = all_at_once ? MOST_LANES : k.group_lanes;
    Lane lanes[MOST_LANES];
    std::uint32_t count = 0;
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c) {
        const Lane lane = stage_stretch(c, count, runs, run_count);
        if (lane.sounding == 0) {
            player.channels.last_out[c] = 0;  // silent from the first frame: nothing moves
            continue;
        }
        lanes[count++] = lane;
        if (count == group && !all_at_once) {
            k.smooth_group(lanes, count, mixer_scratch.accumulator, frames);
            count = 0;
        }
    }
    if (all_at_once) {
        if (count == 0)
            std::memset(samples, 0, 2 * frames * sizeof *samples);
        else
            k.smooth_all(lanes, count, samples, frames);
        return;
    }
    if (count > 0) k.smooth_group(lanes, count, mixer_scratch.accumulator, frames);
    k.clip(mixer_scratch.accumulator, samples, frames);
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

}  // namespace

namespace mixing {

void set_up(const Lane* lanes, std::uint32_t count, std::uint32_t width, LaneSetup& s) {
    const ChannelState& ch = player.channels;
    for (std::uint32_t l = count; l < width; ++l) s.keep[l] = s.weight[l] = s.left[l] = s.right[l] = s.last[l] = 0;
    for (std::uint32_t l = 0; l < count; ++l) {
        const std::uint32_t c = lanes[l].channel;
        const bool smooth = ch.step[c] <= SMOOTHING_MAX_STEP;
        s.keep[l] = smooth ? static_cast<std::int32_t>(ONE_BYTE_STEP - ch.step[c]) : 0;
        s.weight[l] = smooth ? static_cast<std::int32_t>(ch.step[c]) : static_cast<std::int32_t>(ONE_BYTE_STEP);
        const bool heard = (player.muted >> c & 1) == 0;
        s.left[l] = heard && (ch.pan[c] & PAN_LEFT) != 0 ? 1 : 0;
        s.right[l] = heard && (ch.pan[c] & PAN_RIGHT) != 0 ? 1 : 0;
        s.last[l] = ch.last_out[c];
    }
}

std::uint32_t next_silence(const Lane* lanes, std::uint32_t count, std::uint32_t from, std::uint32_t frames) {
    std::uint32_t at = frames;
    for (std::uint32_t l = 0; l < count; ++l)
        if (lanes[l].sounding > from && lanes[l].sounding < at) at = lanes[l].sounding;
    return at;
}

// The last value of each lane once the run is mixed: P of the last frame,
// of the one before where the sample ended in the last frame (that frame
// sounds but keeps the previous value), 0 for a lane silent by then.
void store_lasts(const Lane* lanes, std::uint32_t count, std::uint32_t frames, const std::int32_t* p,
                 const std::int32_t* before) {
    ChannelState& ch = player.channels;
    for (std::uint32_t l = 0; l < count; ++l) {
        const Lane& lane = lanes[l];
        std::int32_t last = 0;
        if (lane.sounding == frames) last = (lane.ended ? before[l] : p[l]) >> 12;
        ch.last_out[lane.channel] = static_cast<std::int16_t>(last);
    }
}

}  // namespace mixing

void set_mixer_split_warm_up(std::uint32_t frames) { mixer_choice.split_warm_up = frames; }

void cap_mixer_level(MixerLevel most) {
    mixer_choice.most = most;
    mixer_choice.chosen = false;
}

void fill_buffer() {
    next_buffer = (next_buffer + 1) % BUFFER_COUNT;
    std::uint32_t frame = 0;
    while (frame < FRAMES_PER_BUFFER) {
        const std::uint32_t now = player.out_clock + BYTES_PER_FRAME;
        VolumePhase phase = volume_phase(now);
        if (phase == VolumePhase::fade_then_tick) {
            // The tick runs inside this frame, after its fade; the frame
            // then glides, so it opens the run that follows the tick.
            fade_down();
            run_due_tick();
            phase = VolumePhase::glide;
        }
        // The runs up to the next tick or the end of the buffer.
        Run runs[MOST_RUNS];
        std::uint32_t run_count = 0;
        std::uint32_t frames = 0;
        for (std::uint32_t at = now;;) {
            const std::uint32_t length = run_length(at, phase, FRAMES_PER_BUFFER - frame - frames);
            runs[run_count++] = {phase, length};
            frames += length;
            at += length * BYTES_PER_FRAME;
            if (frame + frames == FRAMES_PER_BUFFER || run_count == MOST_RUNS) break;
            phase = volume_phase(at);
            if (phase == VolumePhase::fade_then_tick) break;
        }
        mix_stretch(output_buffers[next_buffer] + 2 * frame, runs, run_count, frames);
        player.out_clock += frames * BYTES_PER_FRAME;
        frame += frames;
    }
    count_frames_made();
    if (engine_hooks.buffer_ready != nullptr) engine_hooks.buffer_ready();
}

}  // namespace zindle
