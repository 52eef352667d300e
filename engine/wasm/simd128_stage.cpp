// The SIMD128 stagers: a channel's frames 16 at a time by the byte swizzle,
// for steps of up to one sample byte per frame; longer steps go to the
// plain stagers. The SSSE3 stagers' blocks (x86/ssse3.cpp) with
// i8x16.swizzle for pshufb; SIMD128 has no multiply of unsigned by signed
// bytes, so the frames' bytes are widened with their sign and multiplied
// by the volume in 16 bits, which holds every product (-128 * 255 at most).
#include <wasm_simd128.h>

#include "mixer_kernels.h"
#include "mixer_rules.h"
#include "wasm/kernels.h"

namespace zindle::mixing::wasm {

namespace {

// 16 frames at a time: the 16 bytes from the first frame's byte on are
// loaded at once and swizzled into frame order by each frame's byte
// offset, (pos & 0xFFF) + k * step >> 12 for frame k, at most 15. The last
// block of a stretch may stage up to 15 frames past it, which the next
// stage overwrites or nobody reads.
struct SwizzleBlocks {
    v128_t ramp_low, ramp_high;  // k * step for frames 0-7, 8-15, in 16 bits

    explicit SwizzleBlocks(std::uint32_t step) {
        ramp_low = wasm_i16x8_mul(wasm_i16x8_splat(static_cast<std::int16_t>(step)),
                                  wasm_i16x8_make(0, 1, 2, 3, 4, 5, 6, 7));
        ramp_high = wasm_i16x8_add(ramp_low, wasm_i16x8_splat(static_cast<std::int16_t>(8 * step)));
    }

    void stage(const std::uint8_t* from, std::uint32_t pos, v128_t volume_low, v128_t volume_high,
               std::int16_t* to) const {
        const v128_t frac = wasm_i16x8_splat(static_cast<std::int16_t>(pos & 0xFFF));
        const v128_t offsets = wasm_u8x16_narrow_i16x8(wasm_u16x8_shr(wasm_i16x8_add(frac, ramp_low), 12),
                                                       wasm_u16x8_shr(wasm_i16x8_add(frac, ramp_high), 12));
        const v128_t bytes = wasm_i8x16_swizzle(wasm_v128_load(from), offsets);
        wasm_v128_store(to, wasm_i16x8_mul(wasm_i16x8_extend_low_i8x16(bytes), volume_low));
        wasm_v128_store(to + 8, wasm_i16x8_mul(wasm_i16x8_extend_high_i8x16(bytes), volume_high));
    }
};

}  // namespace

// The image's tail keeps every load inside it.
void stage_simd128(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                   std::int16_t* to, std::uint32_t frames) {
    if (step > ONE_BYTE_STEP) return plain::stage(data, pos, step, volume, to, frames);
    const SwizzleBlocks blocks(step);
    const v128_t scale = wasm_i16x8_splat(volume);
    for (std::uint32_t i = 0; i < frames; i += 16, pos += 16 * step)
        blocks.stage(data + (pos >> 12), pos, scale, scale, to + i);
}

void stage_slope_simd128(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                         std::int32_t change, std::int16_t* to, std::uint32_t frames) {
    if (step > ONE_BYTE_STEP) return plain::stage_slope(data, pos, step, volume, change, to, frames);
    const SwizzleBlocks blocks(step);
    const v128_t by = wasm_i16x8_splat(static_cast<std::int16_t>(change));
    v128_t volume_low =
        wasm_i16x8_add(wasm_i16x8_splat(volume), wasm_i16x8_mul(by, wasm_i16x8_make(1, 2, 3, 4, 5, 6, 7, 8)));
    v128_t volume_high = wasm_i16x8_add(volume_low, wasm_i16x8_shl(by, 3));
    const v128_t block_change = wasm_i16x8_shl(by, 4);
    for (std::uint32_t i = 0; i < frames; i += 16, pos += 16 * step) {
        blocks.stage(data + (pos >> 12), pos, volume_low, volume_high, to + i);
        volume_low = wasm_i16x8_add(volume_low, block_change);
        volume_high = wasm_i16x8_add(volume_high, block_change);
    }
}

// Every block's start is wrapped into the loop (the loop may be shorter
// than a block).
void stage_loop_simd128(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end,
                        std::uint32_t loop_length, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                        std::uint32_t frames) {
    if (step > ONE_BYTE_STEP) return plain::stage_loop(laid, pos, loop_end, loop_length, step, volume, to, frames);
    const std::uint32_t loop_start = loop_end - loop_length;
    const SwizzleBlocks blocks(step);
    const v128_t scale = wasm_i16x8_splat(volume);
    for (std::uint32_t i = 0; i < frames; i += 16) {
        blocks.stage(laid + ((pos - loop_start) >> 12), pos, scale, scale, to + i);
        pos += 16 * step;
        while (pos >= loop_end) pos -= loop_length;
    }
}

}  // namespace zindle::mixing::wasm
