// The WebAssembly kernel table's slots against the plain ones, as
// tests/mixer_kernel_test.cpp checks the x86 table: built for wasm32 with
// the module's kernels and run in node (tests/web/kernels.test.mjs), since
// GoogleTest does not run there. Random and edge inputs, odd run lengths,
// lanes falling silent at every frame, steps at the staging and smoothing
// limits and past them, split runs whose guesses meet or miss, loops from 1
// byte to the longest laid out. Nothing is allocated: the cases' buffers
// are static.
#include <cstdint>
#include <initializer_list>

#include "mixer.h"
#include "mixer_kernels.h"
#include "mixer_lanes.h"
#include "mixer_rules.h"
#include "player_state.h"

using namespace zindle;
using namespace zindle::mixing;

namespace {

// Which slot failed, in the failure's code; also the bits of
// zindle_check_slots.
enum Slot : std::uint32_t { STAGE = 1, SLOPE = 2, LOOP = 4, CLIP = 8, GROUP = 16, ALL = 32 };

constexpr std::uint32_t EDGE_STEPS[] = {1, 4095, 4096, 4097, 8191, 8192, 8193, 12288, 20000};
constexpr std::uint32_t LOOP_BYTES[] = {1, 2, 3, 7, 15, 16, 17, 100, 1023, LAID_OUT_MAX};
constexpr std::uint32_t MOST_STEP = 3 * 8192;
constexpr std::uint32_t MOST_FRAMES = FRAMES_PER_BUFFER;

std::uint32_t seed = 20261209;
std::uint32_t next() {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    return seed;
}
std::uint32_t below(std::uint32_t n) { return next() % n; }

// Sample bytes with room for the blocks a stager may load past its frames.
std::uint8_t data[MOST_FRAMES * MOST_STEP / 4096 + 2 + 64];
std::int16_t got[MOST_FRAMES + BLOCK_SLACK], want[MOST_FRAMES + BLOCK_SLACK];

void fill_bytes(std::uint8_t* to, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) to[i] = static_cast<std::uint8_t>(next());
}

// The edge steps up to `most` and six random ones, into `to`; their count.
std::uint32_t steps_up_to(std::uint32_t most, std::uint32_t* to) {
    std::uint32_t n = 0;
    for (std::uint32_t s : EDGE_STEPS)
        if (s <= most) to[n++] = s;
    for (int i = 0; i < 6; ++i) to[n++] = 1 + below(most);
    return n;
}

// The frames a stager is asked for, where a kernel and the plain one must
// agree; what a kernel writes past them is its own slack.
bool same(const std::int16_t* a, const std::int16_t* b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

bool stage_agrees(const MixerKernels& k) {
    std::uint32_t steps[16];
    const std::uint32_t n = steps_up_to(MOST_STEP, steps);
    for (std::uint32_t s = 0; s < n; ++s)
        for (std::uint32_t frames : {1u, 2u, 15u, 16u, 17u, 31u, 33u, 63u, 2047u}) {
            fill_bytes(data, sizeof data);
            const std::uint32_t pos = below(4096);
            const auto volume = static_cast<std::uint8_t>(below(256));
            k.stage(data, pos, steps[s], volume, got, frames);
            PLAIN_KERNELS.stage(data, pos, steps[s], volume, want, frames);
            if (!same(got, want, frames)) return false;
        }
    return true;
}

bool slope_agrees(const MixerKernels& k) {
    std::uint32_t steps[16];
    const std::uint32_t n = steps_up_to(MOST_STEP, steps);
    for (std::uint32_t s = 0; s < n; ++s)
        for (std::int32_t change : {1, -1})
            for (std::uint32_t frames : {1u, 7u, 16u, 17u, 96u, 127u, 128u}) {
                fill_bytes(data, sizeof data);
                const std::uint32_t pos = below(4096);
                // The volume never reaches 0 nor passes 255 on the way.
                const auto volume =
                    static_cast<std::uint8_t>(change > 0 ? below(256 - frames) : frames + below(256 - frames));
                k.stage_slope(data, pos, steps[s], volume, change, got, frames);
                PLAIN_KERNELS.stage_slope(data, pos, steps[s], volume, change, want, frames);
                if (!same(got, want, frames)) return false;
            }
    return true;
}

bool loop_agrees(const MixerKernels& k) {
    for (std::uint32_t bytes : LOOP_BYTES) {
        const std::uint32_t loop_length = bytes << 12;
        const std::uint32_t loop_start = (1 + below(64)) << 12;
        const std::uint32_t loop_end = loop_start + loop_length;
        // Laid out as the mixer lays it out: its first 16 bytes behind it.
        fill_bytes(data, bytes);
        for (std::uint32_t b = bytes; b < bytes + 16; ++b) data[b] = data[b - bytes];
        // Steps shorter than the loop, as the mixer hands them over.
        std::uint32_t steps[16];
        const std::uint32_t n = steps_up_to(loop_length - 1 < MOST_STEP ? loop_length - 1 : MOST_STEP, steps);
        for (std::uint32_t s = 0; s < n; ++s)
            for (std::uint32_t frames : {1u, 17u, 33u, 1001u}) {
                const std::uint32_t start = loop_start + below(loop_length);
                const auto volume = static_cast<std::uint8_t>(1 + below(255));
                k.stage_loop(data, start, loop_end, loop_length, steps[s], volume, got, frames);
                PLAIN_KERNELS.stage_loop(data, start, loop_end, loop_length, steps[s], volume, want, frames);
                if (!same(got, want, frames)) return false;
            }
    }
    return true;
}

std::int32_t sums[2 * MOST_FRAMES + 8], plain_sums[2 * MOST_FRAMES + 8];
std::int16_t samples[2 * MOST_FRAMES + 8], plain_samples[2 * MOST_FRAMES + 8];

bool clip_agrees(const MixerKernels& k) {
    const std::int32_t edges[] = {30718, 30719, 30720, -30720, -30721, -30719, 0, 1 << 20, -(1 << 20)};
    for (std::uint32_t frames : {1u, 3u, 4u, 5u, 2048u}) {
        for (std::uint32_t i = 0; i < 2 * frames; ++i)
            sums[i] = plain_sums[i] = i < 9 ? edges[i] : static_cast<std::int32_t>(below(200000)) - 100000;
        k.clip(sums, samples, frames);
        PLAIN_KERNELS.clip(plain_sums, plain_samples, frames);
        if (!same(samples, plain_samples, 2 * frames)) return false;
        for (std::uint32_t i = 0; i < 2 * frames; ++i)
            if (sums[i] != plain_sums[i]) return false;
    }
    return true;
}

// `count` lanes with random staged rows, steps from `steps`, pans and last
// values, falling silent where `sounding` says; kept to be put back before
// each smoothing.
Lane lanes[CHANNEL_SLOTS];
std::int16_t rows[CHANNEL_SLOTS][FRAMES_PER_BUFFER + BLOCK_SLACK];
std::int16_t lasts[CHANNEL_SLOTS];

void random_lanes(std::uint32_t count, std::uint32_t frames, const std::uint32_t* sounding, std::uint32_t n_sounding,
                  const std::uint32_t* steps, std::uint32_t n_steps) {
    constexpr std::uint8_t pans[] = {PAN_LEFT, PAN_RIGHT, PAN_CENTRE, 0};
    ChannelState& ch = player.channels;
    for (std::uint32_t l = 0; l < count; ++l) {
        ch.step[l] = steps[l % n_steps];
        ch.pan[l] = pans[next() % 4];
        lasts[l] = static_cast<std::int16_t>(static_cast<std::int32_t>(next() % 65281) - 32640);
        for (std::uint32_t i = 0; i < frames + BLOCK_SLACK; ++i)
            rows[l][i] = static_cast<std::int16_t>((static_cast<std::int32_t>(next() % 256) - 128) *
                                                   static_cast<std::int32_t>(next() % 256));
        const std::uint32_t s = sounding[l % n_sounding];
        lanes[l] = {l, s, s > 0 && next() % 2 == 0};
    }
}

void put_back_lane(std::uint32_t to_row, std::uint32_t l) {
    for (std::uint32_t i = 0; i < FRAMES_PER_BUFFER + BLOCK_SLACK; ++i) mixer_scratch.lane_rows[to_row][i] = rows[l][i];
}

void put_back_lasts(std::uint32_t count) {
    for (std::uint32_t l = 0; l < count; ++l) player.channels.last_out[l] = lasts[l];
}

std::int16_t got_lasts[CHANNEL_SLOTS];

// The lanes through a group slot, each group staged in the first rows as
// the mixer does, into sums that start at 7; the last values into `after`.
void smooth_in_groups(GroupKernel group, std::uint32_t width, std::uint32_t count, std::uint32_t frames,
                      std::int32_t* into, std::int16_t* after) {
    put_back_lasts(count);
    for (std::uint32_t i = 0; i < 2 * frames + 8; ++i) into[i] = 7;
    for (std::uint32_t at = 0; at < count; at += width) {
        const std::uint32_t n = width < count - at ? width : count - at;
        for (std::uint32_t l = 0; l < n; ++l) put_back_lane(l, at + l);
        group(lanes + at, n, into, frames);
    }
    for (std::uint32_t l = 0; l < count; ++l) after[l] = player.channels.last_out[l];
}

// The lanes through a slot that takes them all, into samples.
void smooth_at_once(AllKernel all, std::uint32_t count, std::uint32_t frames, std::int16_t* into,
                    std::int16_t* after) {
    put_back_lasts(count);
    for (std::uint32_t l = 0; l < count; ++l) put_back_lane(l, l);
    for (std::uint32_t i = 0; i < 2 * frames + 8; ++i) into[i] = 0x5555;
    all(lanes, count, into, frames);
    for (std::uint32_t l = 0; l < count; ++l) after[l] = player.channels.last_out[l];
}

// Each smoothing slot that is not the plain one against the plain one; the
// failing slot, or 0.
std::uint32_t smoothing_fails(const MixerKernels& k, std::uint32_t count, std::uint32_t frames) {
    const MixerKernels& plain = PLAIN_KERNELS;
    if (k.smooth_group != plain.smooth_group) {
        smooth_in_groups(plain.smooth_group, k.group_lanes, count, frames, plain_sums, got_lasts);
        std::int16_t want_lasts[CHANNEL_SLOTS];
        for (std::uint32_t l = 0; l < count; ++l) want_lasts[l] = got_lasts[l];
        smooth_in_groups(k.smooth_group, k.group_lanes, count, frames, sums, got_lasts);
        for (std::uint32_t i = 0; i < 2 * frames + 8; ++i)
            if (sums[i] != plain_sums[i]) return GROUP;
        if (!same(got_lasts, want_lasts, count)) return GROUP;
    }
    if (k.smooth_all != plain.smooth_all) {
        smooth_at_once(plain.smooth_all, count, frames, plain_samples, got_lasts);
        std::int16_t want_lasts[CHANNEL_SLOTS];
        for (std::uint32_t l = 0; l < count; ++l) want_lasts[l] = got_lasts[l];
        smooth_at_once(k.smooth_all, count, frames, samples, got_lasts);
        if (!same(samples, plain_samples, 2 * frames + 8) || !same(got_lasts, want_lasts, count)) return ALL;
    }
    return 0;
}

std::uint32_t smoothing_with_a_lane_falling_silent(const MixerKernels& k) {
    for (std::uint32_t frames : {1u, 2u, 5u, 16u, 33u})
        // The mixer hands over only lanes heard in the first frame.
        for (std::uint32_t silent = 1; silent <= frames; ++silent) {
            const std::uint32_t sounding[] = {frames, silent, frames, frames};
            const std::uint32_t steps[] = {100, 4095, 4096, 8192};
            random_lanes(4, frames, sounding, 4, steps, 4);
            if (const std::uint32_t slot = smoothing_fails(k, 4, frames)) return slot;
        }
    return 0;
}

std::uint32_t smoothing_of_every_lane_count_and_step(const MixerKernels& k) {
    for (std::uint32_t count = 1; count <= CHANNEL_SLOTS; ++count)
        for (std::uint32_t frames : {3u, 882u, 2047u}) {
            const std::uint32_t steps[] = {0, 1, 4095, 4096, 8192, 1 + below(4095), 1 + below(4095)};
            const std::uint32_t sounding[] = {frames, frames, 1 + below(frames), frames};
            random_lanes(count, frames, sounding, 4, steps, 7);
            if (const std::uint32_t slot = smoothing_fails(k, count, frames)) return slot;
        }
    return 0;
}

// Long runs of lanes that all sound are split in two, each group of four
// (the samples' own, or one of those summed into the accumulator), the
// second half from a guess; a warm-up of 2 frames makes most guesses miss
// and takes the path that mends them.
std::uint32_t split_runs_fail(const MixerKernels& k) {
    for (std::uint32_t warm_up : {0u, 2u, 6u})
        for (std::uint32_t count : {1u, 2u, 3u, 4u, 5u, 8u, 11u})
            for (std::uint32_t frames : {2048u, 2047u, 1500u, 128u, 127u, 14u}) {
                mixer_choice.split_warm_up = warm_up;
                const std::uint32_t steps[] = {1 + below(4095), 4095, 2000 + below(2000), 4096};
                const std::uint32_t sounding[] = {frames};
                random_lanes(count, frames, sounding, 1, steps, 4);
                if (const std::uint32_t slot = smoothing_fails(k, count, frames)) return slot;
            }
    return 0;
}

std::uint32_t split_runs(const MixerKernels& k) {
    const std::uint32_t failed = split_runs_fail(k);
    mixer_choice.split_warm_up = 0;
    return failed;
}

MixerKernels at_level(std::uint32_t level) {
    return kernels_up_to(static_cast<MixerLevel>(level < 3 ? level : 3));
}

}  // namespace

// 1 where the engine was built with its processor kernels (ZINDLE_KERNELS).
extern "C" std::uint32_t zindle_check_with_kernels() { return ZINDLE_WITH_KERNELS; }

// The slots of the table up to `level` (0 plain to 3, MIXER_LEVELS) that
// hold another kernel than the plain one, as Slot bits.
extern "C" std::uint32_t zindle_check_slots(std::uint32_t level) {
    const MixerKernels k = at_level(level);
    const MixerKernels& plain = PLAIN_KERNELS;
    return (k.stage != plain.stage ? STAGE : 0) | (k.stage_slope != plain.stage_slope ? SLOPE : 0) |
           (k.stage_loop != plain.stage_loop ? LOOP : 0) | (k.clip != plain.clip ? CLIP : 0) |
           (k.smooth_group != plain.smooth_group ? GROUP : 0) | (k.smooth_all != plain.smooth_all ? ALL : 0);
}

// Every such slot at `level` against the plain one: 0, or the first slot
// (a Slot bit) that gave other values.
extern "C" std::uint32_t zindle_check_kernels(std::uint32_t level) {
    const MixerKernels k = at_level(level);
    const MixerKernels& plain = PLAIN_KERNELS;
    player.muted = 0;
    if (k.stage != plain.stage && !stage_agrees(k)) return STAGE;
    if (k.stage_slope != plain.stage_slope && !slope_agrees(k)) return SLOPE;
    if (k.stage_loop != plain.stage_loop && !loop_agrees(k)) return LOOP;
    if (k.clip != plain.clip && !clip_agrees(k)) return CLIP;
    if (const std::uint32_t slot = smoothing_with_a_lane_falling_silent(k)) return slot;
    if (const std::uint32_t slot = split_runs(k)) return slot;
    return smoothing_of_every_lane_count_and_step(k);
}
