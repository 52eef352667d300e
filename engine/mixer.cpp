// The production mixer: renders the channels into 16-bit stereo frames; the
// output byte count is the engine's clock and runs the ticks between frames.
//
// It gives exactly the frames of the per-frame reference, but not frame by
// frame. Only a tick couples the channels; between ticks each channel's
// volume moves by rules of its own and the frame sums are plain integer
// additions, so groups of channels can be summed into a 32-bit accumulator
// and clipped once at the end (the AVX2 kernels take every channel at once
// and clip as they go). A stretch is the frames between two ticks
// (or the ends of the buffer); it holds runs of frames in one volume phase
// each (glide, still, fade). Over a stretch each channel is first walked
// on its own: its position with every rule of the sample end and the loop,
// its volume by each run's rule, and the sample byte times the volume of
// each frame, which are staged. Then four channels at a time (with AVX2,
// all of them) go through the smoothing together, one vector lane each, so
// that their chains from frame to frame overlap instead of waiting on each
// other (mixer_wide.cpp has the AVX2 kernels, chosen at run time).
#include "mixer.h"
#include "mixer_lanes.h"

#include <cstring>

#include "player_state.h"
#include "sequencer.h"
#include "tick_clock.h"

#if defined(__SSE2__) && !defined(ZINDLE_PORTABLE_LANES)
#include <cpuid.h>
#include <emmintrin.h>
#include <tmmintrin.h>
#define ZINDLE_SSE2_LANES 1
#endif

namespace zindle {

std::int16_t output_buffers[BUFFER_COUNT][FRAMES_PER_BUFFER * 2];
std::uint8_t next_buffer;

namespace mixing {
alignas(32) std::int16_t staged[MOST_CHAINS * CHAIN_STRIDE];
alignas(32) std::int16_t lane_rows[MOST_LANES][FRAMES_PER_BUFFER + BLOCK_SLACK];
}  // namespace mixing

using namespace mixing;

namespace {

constexpr std::uint32_t SMOOTHING_MAX_STEP = 4095;
constexpr std::uint64_t CLOCK_SPAN = 1ull << 32;
// A position below this plus any step stays clear of the 32-bit wrap.
constexpr std::uint32_t LOOP_END_LIMIT = 0x80000000u;

// Left and right sums of the stretch being rendered, where more than one
// group of channels sounds in it; 0 between stretches.
alignas(32) std::int32_t accumulator[FRAMES_PER_BUFFER * 2];


// What the processor offers beyond SSE2, found on the first buffer: the
// byte shuffle that stages 16 frames at once, and AVX2 for the smoothing.
constexpr std::uint8_t FEATURES_KNOWN = 1;
constexpr std::uint8_t BYTE_SHUFFLE = 2;
constexpr std::uint8_t WIDE_VECTORS = 4;
std::uint8_t features = 0;
MixerExtensions extensions_allowed = MixerExtensions::all;

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
    ChannelState& ch = player.channels;
    const SampleInfo& samples = player.samples;
    const std::int32_t s = static_cast<std::int8_t>(ch.sample_data[c][ch.pos[c] >> 12]);
    *to = static_cast<std::int16_t>(s * ch.mix_volume[c]);
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
        return true;
    } else {
        ch.play_state[c] = STATE_LOOPING;
        ch.end_pos[c] = samples.sample_loop_end[sample];
        ch.pos[c] = samples.sample_loop_end[sample] - samples.sample_loop_length[sample];
    }
    return false;
}

// Frames with the plain advance (WRAP: the wrap of a short loop, still
// longer than the step, inside the loop: the position stays below the loop
// end, so each wrap is one subtraction).
template <bool WRAP>
void stage_plain(std::uint32_t c, std::int16_t* to, std::uint32_t frames, std::uint32_t wrap_at,
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
        if constexpr (WRAP) pos -= pos >= wrap_at ? wrap_by : 0;
    }
    ch.pos[c] = pos;
}

// Steps up to one sample byte per frame: 16 frames then lie within 16
// bytes, and their offsets from the first byte fit 16 bits. The AVX2
// staging also takes steps up to two bytes, 8 frames at a time.
constexpr std::uint32_t SHUFFLE_MAX_STEP = ONE_BYTE_STEP;
// Shortest loops that the scalar walk takes through the end-of-sample path
// instead of wrapping them itself.
constexpr std::uint32_t LONG_LOOP_STEPS = 64;
// Longest loop, in bytes, that the shuffled staging lays out.
constexpr std::uint32_t LAID_OUT_MAX = 1024;

#ifdef ZINDLE_SSE2_LANES
#define ZINDLE_SHUFFLE __attribute__((target("ssse3")))

// 16 frames at a time: the 16 bytes from the first frame's byte on are
// loaded at once and shuffled into frame order by each frame's byte
// offset, (pos & 0xFFF) + k * step >> 12 for frame k, then multiplied by
// each frame's volume. Each offset lands in the low byte of a 16-bit word
// whose high byte is 0, so the shuffle leaves the frame's byte beside the
// block's first one, and a multiply-add by the volume (0 to 255, again with
// a 0 beside it) gives byte times volume at once. The last block of a
// stretch may stage up to 15 frames past it, which the next stage
// overwrites or nobody reads.
struct ShuffleBlocks {
    __m128i ramp_low, ramp_high;  // k * step for frames 0-7, 8-15

    ZINDLE_SHUFFLE explicit ShuffleBlocks(std::uint32_t step) {
        ramp_low = _mm_mullo_epi16(_mm_set1_epi16(static_cast<std::int16_t>(step)), _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
        ramp_high = _mm_add_epi16(ramp_low, _mm_set1_epi16(static_cast<std::int16_t>(8 * step)));
    }

    ZINDLE_SHUFFLE void stage(const std::uint8_t* from, std::uint32_t pos, __m128i volume_low, __m128i volume_high,
                              std::int16_t* to) const {
        const __m128i frac = _mm_set1_epi16(static_cast<std::int16_t>(pos & 0xFFF));
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const __m128i low = _mm_shuffle_epi8(bytes, _mm_srli_epi16(_mm_add_epi16(frac, ramp_low), 12));
        const __m128i high = _mm_shuffle_epi8(bytes, _mm_srli_epi16(_mm_add_epi16(frac, ramp_high), 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_maddubs_epi16(volume_low, low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm_maddubs_epi16(volume_high, high));
    }
};

// stage_plain without the wrap. The image's tail keeps every load inside it.
ZINDLE_SHUFFLE void stage_shuffled(std::uint32_t c, std::int16_t* to, std::uint32_t frames) {
    ChannelState& ch = player.channels;
    const std::uint8_t* data = ch.sample_data[c];
    const std::uint32_t step = ch.step[c];
    const ShuffleBlocks blocks(step);
    const __m128i volume = _mm_set1_epi16(ch.mix_volume[c]);
    std::uint32_t pos = ch.pos[c];
    for (std::uint32_t i = 0; i < frames; i += 16, pos += 16 * step)
        blocks.stage(data + (pos >> 12), pos, volume, volume, to + i);
    ch.pos[c] += frames * step;
}

// With AVX2, 32 frames at a time.
void stage_shuffled_any(std::uint32_t c, std::int16_t* to, std::uint32_t frames) {
#ifdef ZINDLE_WIDE_LANES
    if ((features & WIDE_VECTORS) != 0) {
        ChannelState& ch = player.channels;
        stage_shuffled_wide(ch.sample_data[c], ch.pos[c], ch.step[c], ch.mix_volume[c], to, frames);
        ch.pos[c] += frames * ch.step[c];
        return;
    }
#endif
    stage_shuffled(c, to, frames);
}

// stage_slope: the same blocks with the volume moving by `change` before
// each frame.
ZINDLE_SHUFFLE void stage_shuffled_slope(std::uint32_t c, std::int16_t* to, std::uint32_t frames, std::int32_t change) {
    ChannelState& ch = player.channels;
    const std::uint8_t* data = ch.sample_data[c];
    const std::uint32_t step = ch.step[c];
    const ShuffleBlocks blocks(step);
    const std::int32_t vol = ch.mix_volume[c];
    const __m128i by = _mm_set1_epi16(static_cast<std::int16_t>(change));
    __m128i volume_low = _mm_add_epi16(_mm_set1_epi16(static_cast<std::int16_t>(vol)),
                                       _mm_mullo_epi16(by, _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8)));
    __m128i volume_high = _mm_add_epi16(volume_low, _mm_slli_epi16(by, 3));
    const __m128i block_change = _mm_slli_epi16(by, 4);
    std::uint32_t pos = ch.pos[c];
    for (std::uint32_t i = 0; i < frames; i += 16, pos += 16 * step) {
        blocks.stage(data + (pos >> 12), pos, volume_low, volume_high, to + i);
        volume_low = _mm_add_epi16(volume_low, block_change);
        volume_high = _mm_add_epi16(volume_high, block_change);
    }
    ch.pos[c] += frames * step;
    ch.mix_volume[c] = static_cast<std::uint8_t>(vol + change * static_cast<std::int32_t>(frames));
}

alignas(16) std::uint8_t laid_out[LAID_OUT_MAX + 16];

// stage_plain with the wrap of a loop of up to LAID_OUT_MAX whole bytes,
// from a position inside it. The loop is laid out once more with its first
// 16 bytes repeated behind it: the 16 bytes from any frame's byte on are
// then the ones the frames read, wrapped or not, and only the position
// needs the wrap (once per block, so the loop may be shorter than a block).
ZINDLE_SHUFFLE void stage_shuffled_loop(std::uint32_t c, std::int16_t* to, std::uint32_t frames, std::uint32_t loop_end,
                                        std::uint32_t loop_length) {
    ChannelState& ch = player.channels;
    const std::uint32_t step = ch.step[c];
    const std::uint32_t loop_start = loop_end - loop_length;
    const std::uint32_t loop_bytes = loop_length >> 12;
    const std::uint8_t* loop = ch.sample_data[c] + (loop_start >> 12);
    std::memcpy(laid_out, loop, loop_bytes);
    for (std::uint32_t b = loop_bytes; b < loop_bytes + 16; ++b) laid_out[b] = laid_out[b - loop_bytes];
    const std::uint32_t start_pos = ch.pos[c];
#ifdef ZINDLE_WIDE_LANES
    if ((features & WIDE_VECTORS) != 0) {
        stage_shuffled_loop_wide(laid_out, start_pos, loop_end, loop_length, step, ch.mix_volume[c], to, frames);
    } else
#endif
    {
        const ShuffleBlocks blocks(step);
        const __m128i volume = _mm_set1_epi16(ch.mix_volume[c]);
        std::uint32_t pos = start_pos;
        for (std::uint32_t i = 0; i < frames; i += 16) {
            blocks.stage(laid_out + ((pos - loop_start) >> 12), pos, volume, volume, to + i);
            pos += 16 * step;
            while (pos >= loop_end) pos -= loop_length;
        }
    }
    ch.pos[c] = loop_start + (start_pos - loop_start + frames * step) % loop_length;
}

std::uint8_t find_features() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return FEATURES_KNOWN;
    std::uint8_t found = FEATURES_KNOWN;
    if ((c & bit_SSSE3) != 0) found |= BYTE_SHUFFLE;
    // AVX2 needs the system to save the wide registers too.
    if ((c & bit_AVX) != 0 && (c & bit_OSXSAVE) != 0) {
        unsigned low = 0, high = 0;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        if ((low & 6) == 6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_AVX2) != 0)
            found |= WIDE_VECTORS;
    }
    return found;
}
#else
void stage_shuffled_any(std::uint32_t, std::int16_t*, std::uint32_t) {}
void stage_shuffled_slope(std::uint32_t, std::int16_t*, std::uint32_t, std::int32_t) {}
void stage_shuffled_loop(std::uint32_t, std::int16_t*, std::uint32_t, std::uint32_t, std::uint32_t) {}
std::uint8_t find_features() { return FEATURES_KNOWN; }
#endif

// Frames in which the volume moves by `change` before each is mixed, never
// reaching 0, and the sample does not end.
void stage_slope(std::uint32_t c, std::int16_t* to, std::uint32_t frames, std::int32_t change) {
    ChannelState& ch = player.channels;
    const std::uint8_t* data = ch.sample_data[c];
    const std::uint32_t step = ch.step[c];
    std::int32_t vol = ch.mix_volume[c];
    std::uint32_t pos = ch.pos[c];
    for (std::uint32_t i = 0; i < frames; ++i) {
        vol += change;
        to[i] = static_cast<std::int16_t>(static_cast<std::int8_t>(data[pos >> 12]) * vol);
        pos += step;
    }
    ch.pos[c] = pos;
    ch.mix_volume[c] = static_cast<std::uint8_t>(vol);
}

// Walks channel c over a run of frames that share the volume phase and
// stages its values from `to` on. A channel that falls silent stays so
// until the next tick: a glide or fade reaches 0 only toward a target or
// floor of 0, and a sample that ends takes both volumes to 0.
Lane stage_channel(std::uint32_t c, std::int16_t* to, std::uint32_t frames, VolumePhase phase) {
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
                if ((features & BYTE_SHUFFLE) != 0 && ch.step[c] <= SHUFFLE_MAX_STEP)
                    stage_shuffled_slope(c, to + i, sloped, slope.change);
                else
                    stage_slope(c, to + i, sloped, slope.change);
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
        const bool shuffle = ((features & BYTE_SHUFFLE) != 0 && step <= SHUFFLE_MAX_STEP) ||
                             ((features & WIDE_VECTORS) != 0 && step <= WIDE_SHUFFLE_MAX_STEP);
        // The laid-out loop needs whole bytes and a position inside the loop.
        const bool laid = shuffle && in_loop && ((wrap_at | loop_length) & 0xFFF) == 0 &&
                          ch.pos[c] >= wrap_at - loop_length && (loop_length >> 12) <= LAID_OUT_MAX;
        const std::uint32_t plain = wraps || laid ? frames - i : frames_before_end(c, frames - i);
        if (plain > 0) {
            if (laid)
                stage_shuffled_loop(c, to + i, plain, wrap_at, loop_length);
            else if (wraps)
                stage_plain<true>(c, to + i, plain, wrap_at, loop_length);
            else if (shuffle)
                stage_shuffled_any(c, to + i, plain);
            else
                stage_plain<false>(c, to + i, plain, 0, 0);
            i += plain;
        }
        if (i < frames && stage_frame(c, to + i++)) {  // the sample's end or its loop's
            result.ended = true;
            break;
        }
    }
    result.sounding = i;
    return result;
}

#ifdef ZINDLE_SSE2_LANES

// Lanes in the four 32-bit parts of a vector. The chain from frame to frame
// is P << 4, which holds last in its upper 16 bits, times keep << 16 in one
// multiply-add (the lower 16 bits meet 0), plus x * weight formed beside it.
// The `_b` coefficients are those of the second frame of a pair.
class LaneKernel {
public:
    static constexpr std::uint32_t WIDTH = LANES;

    LaneKernel(const LaneSetup& s, std::int32_t* out) : out_(out) {
        keep_ = _mm_slli_epi32(load(s.keep), 16);
        weight_ = load(s.weight);
        keep_b_ = keep_;
        weight_b_ = weight_;
        left_ = _mm_packs_epi32(load(s.left), load(s.left));
        right_ = _mm_packs_epi32(load(s.right), load(s.right));
        p_ = _mm_slli_epi32(load(s.last), 12);
        before_ = p_;
    }

    // Lane l silent from the frame after the next pair's first (`second`)
    // or from the next pair on.
    void silence(std::uint32_t l, bool second) {
        alignas(16) std::int32_t mask[LANES] = {-1, -1, -1, -1};
        mask[l] = 0;
        const __m128i m = load(mask);
        keep_b_ = _mm_and_si128(keep_b_, m);
        weight_b_ = _mm_and_si128(weight_b_, m);
        if (!second) {
            keep_ = _mm_and_si128(keep_, m);
            weight_ = _mm_and_si128(weight_, m);
        }
    }
    void begin_pair() {
        keep_b_ = keep_;
        weight_b_ = weight_;
    }

    // Frames i and i + 1.
    void pair(std::uint32_t i) {
        const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(staged + LANES * i));
        const __m128i zero = _mm_setzero_si128();
        const __m128i xa = _mm_madd_epi16(_mm_unpacklo_epi16(x, zero), weight_);
        const __m128i xb = _mm_madd_epi16(_mm_unpackhi_epi16(x, zero), weight_b_);
        const __m128i pa = _mm_add_epi32(_mm_madd_epi16(_mm_slli_epi32(p_, 4), keep_), xa);
        const __m128i pb = _mm_add_epi32(_mm_madd_epi16(_mm_slli_epi32(pa, 4), keep_b_), xb);
        before_ = pa;
        p_ = pb;
        keep_ = keep_b_;
        weight_ = weight_b_;
        add_heard(_mm_packs_epi32(_mm_srai_epi32(pa, 13), _mm_srai_epi32(pb, 13)), i, true);
    }

    // Frame i alone, the last of an odd run.
    void single(std::uint32_t i) {
        const __m128i x = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(staged + LANES * i)),
                                             _mm_setzero_si128());
        before_ = p_;
        p_ = _mm_add_epi32(_mm_madd_epi16(_mm_slli_epi32(p_, 4), keep_), _mm_madd_epi16(x, weight_));
        add_heard(_mm_packs_epi32(_mm_srai_epi32(p_, 13), _mm_setzero_si128()), i, false);
    }

    void finish(std::int32_t* p, std::int32_t* before) const {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), p_);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(before), before_);
    }

private:
    static __m128i load(const std::int32_t* v) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
    }

    // heard: the lanes' halved values of frames i and i + 1 as 16-bit
    // numbers; each side's sum is one multiply-add by its 0/1 weights and
    // the fold of the two pairs it leaves per frame.
    void add_heard(__m128i heard, std::uint32_t i, bool two) {
        const __m128i l = _mm_madd_epi16(heard, left_);
        const __m128i r = _mm_madd_epi16(heard, right_);
        const __m128i lr_a = _mm_unpacklo_epi32(l, r);  // frame i: left, right of lanes 0-1, of 2-3
        const __m128i lr_b = _mm_unpackhi_epi32(l, r);  // frame i + 1
        const __m128i sums = _mm_add_epi32(_mm_unpacklo_epi64(lr_a, lr_b), _mm_unpackhi_epi64(lr_a, lr_b));
        add_sums(out_, i, sums, two);
    }

    std::int32_t* out_;
    __m128i keep_, keep_b_, weight_, weight_b_, left_, right_, p_, before_;
};

#else

// The same lanes one after another, for machines without SSE2.
class LaneKernel {
public:
    static constexpr std::uint32_t WIDTH = LANES;

    LaneKernel(const LaneSetup& s, std::int32_t* out) : out_(out) {
        for (std::uint32_t l = 0; l < LANES; ++l) {
            keep_[l] = keep_b_[l] = s.keep[l];
            weight_[l] = weight_b_[l] = s.weight[l];
            left_[l] = s.left[l];
            right_[l] = s.right[l];
            p_[l] = before_[l] = s.last[l] * 4096;
        }
    }
    void silence(std::uint32_t l, bool second) {
        keep_b_[l] = weight_b_[l] = 0;
        if (!second) keep_[l] = weight_[l] = 0;
    }
    void begin_pair() {
        for (std::uint32_t l = 0; l < LANES; ++l) keep_b_[l] = keep_[l], weight_b_[l] = weight_[l];
    }
    void pair(std::uint32_t i) {
        frame(i, keep_, weight_);
        frame(i + 1, keep_b_, weight_b_);
        for (std::uint32_t l = 0; l < LANES; ++l) keep_[l] = keep_b_[l], weight_[l] = weight_b_[l];
    }
    void single(std::uint32_t i) { frame(i, keep_, weight_); }
    void finish(std::int32_t* p, std::int32_t* before) const {
        for (std::uint32_t l = 0; l < LANES; ++l) p[l] = p_[l], before[l] = before_[l];
    }

private:
    void frame(std::uint32_t i, const std::int32_t* keep, const std::int32_t* weight) {
        for (std::uint32_t l = 0; l < LANES; ++l) {
            before_[l] = p_[l];
            p_[l] = (p_[l] >> 12) * keep[l] + staged[LANES * i + l] * weight[l];
            const std::int32_t heard = p_[l] >> 13;
            out_[2 * i] += heard * left_[l];
            out_[2 * i + 1] += heard * right_[l];
        }
    }
    std::int32_t* out_;
    std::int32_t keep_[LANES], weight_[LANES], keep_b_[LANES], weight_b_[LANES], left_[LANES], right_[LANES];
    std::int32_t p_[LANES], before_[LANES];
};

#endif


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
        const Lane part = stage_channel(c, lane_rows[lane] + offset, runs[r].frames, runs[r].phase);
        whole.sounding = offset + part.sounding;
        whole.ended = part.ended;
        if (part.sounding < runs[r].frames) break;
        offset += runs[r].frames;
    }
    return whole;
}

// The sums of `frames` frames clipped into their samples; the sums are
// left at 0.
void clip_into(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames) {
    std::uint32_t i = 0;
    const std::uint32_t count = 2 * frames;
#ifdef ZINDLE_SSE2_LANES
    // Saturating to 16 bits first changes nothing, the bounds lie inside.
    const __m128i high = _mm_set1_epi16(CLIP_HIGH);
    const __m128i low = _mm_set1_epi16(CLIP_LOW);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8) {
        auto* from = reinterpret_cast<__m128i*>(sums + i);
        const __m128i packed = _mm_packs_epi32(_mm_loadu_si128(from), _mm_loadu_si128(from + 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + i), _mm_max_epi16(_mm_min_epi16(packed, high), low));
        _mm_storeu_si128(from, zero);
        _mm_storeu_si128(from + 1, zero);
    }
#endif
    for (; i < count; ++i) {
        const std::int32_t sum = sums[i];
        samples[i] = static_cast<std::int16_t>(sum > CLIP_HIGH ? CLIP_HIGH : sum < CLIP_LOW ? CLIP_LOW : sum);
        sums[i] = 0;
    }
}

// Every channel over a stretch of `frames` frames between two ticks, into
// its samples. The AVX2 kernels take all channels heard at once and clip
// the frames themselves; the SSE2 kernel adds groups of four into the
// accumulator, which is clipped into the samples at the end.
void mix_stretch(std::int16_t* samples, const Run* runs, std::uint32_t run_count, std::uint32_t frames) {
    static_assert(MOST_LANES >= CHANNEL_SLOTS);
    Lane lanes[MOST_LANES];
    const bool wide = (features & WIDE_VECTORS) != 0;
    const std::uint32_t group = wide ? MOST_LANES : LANES;
    std::uint32_t count = 0;
    const auto add_four = [&] {
        interleave_four(0, frames);
        smooth_lanes<LaneKernel>(lanes, count, accumulator, frames);
        count = 0;
    };
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c) {
        const Lane lane = stage_stretch(c, count, runs, run_count);
        if (lane.sounding == 0) {
            player.channels.last_out[c] = 0;  // silent from the first frame: nothing moves
            continue;
        }
        lanes[count++] = lane;
        if (count == group && !wide) add_four();
    }
#ifdef ZINDLE_WIDE_LANES
    if (wide) {
        if (count == 0)
            for (std::uint32_t i = 0; i < 2 * frames; ++i) samples[i] = 0;
        else if (count <= LANES)
            smooth_lanes_wide(lanes, count, samples, frames);
        else
            smooth_lanes_chained(lanes, count, samples, frames);
        return;
    }
#endif
    if (count > 0) add_four();
    clip_into(accumulator, samples, frames);
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
        s.keep[l] = smooth ? 4096 - static_cast<std::int32_t>(ch.step[c]) : 0;
        s.weight[l] = smooth ? static_cast<std::int32_t>(ch.step[c]) : 4096;
        s.left[l] = (ch.pan[c] & PAN_LEFT) != 0 ? 1 : 0;
        s.right[l] = (ch.pan[c] & PAN_RIGHT) != 0 ? 1 : 0;
        s.last[l] = ch.last_out[c];
    }
}

// The frame at which the next lane falls silent, after `from`.
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

#ifndef ZINDLE_WIDE_LANES
void set_mixer_split_warm_up(std::uint32_t) {}
#endif

void allow_mixer_extensions(MixerExtensions most) {
    extensions_allowed = most;
    features = 0;
}

void fill_buffer() {
    if (features == 0) {
        const std::uint8_t allowed = extensions_allowed == MixerExtensions::all            ? 0xFF
                                     : extensions_allowed == MixerExtensions::byte_shuffle ? BYTE_SHUFFLE
                                                                                           : 0;
        features = static_cast<std::uint8_t>(FEATURES_KNOWN | (find_features() & allowed));
    }
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
    submit_buffer();
}

}  // namespace zindle
