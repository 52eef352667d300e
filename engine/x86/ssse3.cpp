// The SSSE3 stagers: a channel's frames 16 at a time by the byte shuffle,
// for steps of up to one sample byte per frame; longer steps go to the
// plain stagers.
#include <tmmintrin.h>

#include "mixer_kernels.h"
#include "mixer_rules.h"
#include "x86/kernels.h"

namespace zindle::mixing::x86 {

namespace {
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

    explicit ShuffleBlocks(std::uint32_t step) {
        ramp_low =
            _mm_mullo_epi16(_mm_set1_epi16(static_cast<std::int16_t>(step)), _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
        ramp_high = _mm_add_epi16(ramp_low, _mm_set1_epi16(static_cast<std::int16_t>(8 * step)));
    }

    void stage(const std::uint8_t* from, std::uint32_t pos, __m128i volume_low, __m128i volume_high,
               std::int16_t* to) const {
        const __m128i frac = _mm_set1_epi16(static_cast<std::int16_t>(pos & 0xFFF));
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const __m128i low = _mm_shuffle_epi8(bytes, _mm_srli_epi16(_mm_add_epi16(frac, ramp_low), 12));
        const __m128i high = _mm_shuffle_epi8(bytes, _mm_srli_epi16(_mm_add_epi16(frac, ramp_high), 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_maddubs_epi16(volume_low, low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm_maddubs_epi16(volume_high, high));
    }
};

}  // namespace

// The image's tail keeps every load inside it.
void stage_ssse3(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                 std::uint32_t frames) {
    if (step > ONE_BYTE_STEP) return plain::stage(data, pos, step, volume, to, frames);
    const ShuffleBlocks blocks(step);
    const __m128i scale = _mm_set1_epi16(volume);
    for (std::uint32_t i = 0; i < frames; i += 16, pos += 16 * step)
        blocks.stage(data + (pos >> 12), pos, scale, scale, to + i);
}

void stage_slope_ssse3(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                       std::int32_t change, std::int16_t* to, std::uint32_t frames) {
    if (step > ONE_BYTE_STEP) return plain::stage_slope(data, pos, step, volume, change, to, frames);
    const ShuffleBlocks blocks(step);
    const __m128i by = _mm_set1_epi16(static_cast<std::int16_t>(change));
    __m128i volume_low =
        _mm_add_epi16(_mm_set1_epi16(volume), _mm_mullo_epi16(by, _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8)));
    __m128i volume_high = _mm_add_epi16(volume_low, _mm_slli_epi16(by, 3));
    const __m128i block_change = _mm_slli_epi16(by, 4);
    for (std::uint32_t i = 0; i < frames; i += 16, pos += 16 * step) {
        blocks.stage(data + (pos >> 12), pos, volume_low, volume_high, to + i);
        volume_low = _mm_add_epi16(volume_low, block_change);
        volume_high = _mm_add_epi16(volume_high, block_change);
    }
}

// Every block's start is wrapped into the loop (the loop may be shorter
// than a block).
void stage_loop_ssse3(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end, std::uint32_t loop_length,
                      std::uint32_t step, std::uint8_t volume, std::int16_t* to, std::uint32_t frames) {
    if (step > ONE_BYTE_STEP) return plain::stage_loop(laid, pos, loop_end, loop_length, step, volume, to, frames);
    const std::uint32_t loop_start = loop_end - loop_length;
    const ShuffleBlocks blocks(step);
    const __m128i scale = _mm_set1_epi16(volume);
    for (std::uint32_t i = 0; i < frames; i += 16) {
        blocks.stage(laid + ((pos - loop_start) >> 12), pos, scale, scale, to + i);
        pos += 16 * step;
        while (pos >= loop_end) pos -= loop_length;
    }
}

}  // namespace zindle::mixing::x86
