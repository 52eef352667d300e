// The plain kernels of the mixer's table: each slot's work written out
// frame by frame and lane by lane, as the rules read. They fill the table
// before a processor's kernels replace any, so the production mixer always
// has a kernel in every slot; the processor kernels are tested against
// these.
#include "mixer_kernels.h"
#include "mixer_rules.h"

namespace zindle::mixing {

namespace plain {

void stage(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
           std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i, pos += step)
        to[i] = static_cast<std::int16_t>(static_cast<std::int8_t>(data[pos >> 12]) * volume);
}

void stage_slope(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                 std::int32_t change, std::int16_t* to, std::uint32_t frames) {
    std::int32_t vol = volume;
    for (std::uint32_t i = 0; i < frames; ++i, pos += step) {
        vol += change;
        to[i] = static_cast<std::int16_t>(static_cast<std::int8_t>(data[pos >> 12]) * vol);
    }
}

void stage_loop(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end, std::uint32_t loop_length,
                std::uint32_t step, std::uint8_t volume, std::int16_t* to, std::uint32_t frames) {
    const std::uint32_t loop_start = loop_end - loop_length;
    for (std::uint32_t i = 0; i < frames; ++i) {
        to[i] = static_cast<std::int16_t>(static_cast<std::int8_t>(laid[(pos - loop_start) >> 12]) * volume);
        pos += step;
        if (pos >= loop_end) pos -= loop_length;
    }
}

// Lane l's row is mixer_scratch.lane_rows[l]. A lane sounds for its first
// `sounding` frames; a sample that ends sounds in its last frame but keeps
// the value before, and a lane silent before the run's end keeps 0.
void smooth_group(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames) {
    ChannelState& ch = player.channels;
    for (std::uint32_t l = 0; l < count; ++l) {
        const Lane& lane = lanes[l];
        const std::uint32_t c = lane.channel;
        const std::int16_t* row = mixer_scratch.lane_rows[l];
        const bool smooth = ch.step[c] <= SMOOTHING_MAX_STEP;
        const auto step = static_cast<std::int32_t>(ch.step[c]);
        // A muted channel plays on (its smoothing included) but adds nothing.
        const bool heard = (player.muted >> c & 1) == 0;
        const std::uint32_t left = heard && (ch.pan[c] & PAN_LEFT) != 0 ? 1 : 0;
        const std::uint32_t right = heard && (ch.pan[c] & PAN_RIGHT) != 0 ? 1 : 0;
        std::int32_t last = ch.last_out[c];
        std::int32_t before = last;
        for (std::uint32_t i = 0; i < lane.sounding; ++i) {
            std::int32_t x = row[i];
            if (smooth) x = last + (((x - last) * step) >> 12);
            sums[2 * i] += left ? x >> 1 : 0;
            sums[2 * i + 1] += right ? x >> 1 : 0;
            before = last;
            last = x;
        }
        if (lane.ended) last = before;
        ch.last_out[c] = static_cast<std::int16_t>(lane.sounding == frames ? last : 0);
    }
}

void clip(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < 2 * frames; ++i) {
        samples[i] = clip_sample(sums[i]);
        sums[i] = 0;
    }
}

// The lanes are staged in rows 0 to count - 1.
void smooth_all(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames) {
    smooth_group(lanes, count, mixer_scratch.accumulator, frames);
    clip(mixer_scratch.accumulator, samples, frames);
}

}  // namespace plain

MixerKernels kernels_up_to(MixerLevel most) {
    MixerKernels k = PLAIN_KERNELS;
    choose_processor_kernels(most, k);
    return k;
}

}  // namespace zindle::mixing
