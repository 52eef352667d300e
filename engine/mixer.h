// The mixer and its output ring: four buffers of 2048 stereo frames.
#pragma once

#include <cstdint>

namespace zindle {

inline constexpr std::uint32_t BUFFER_COUNT = 4;  // a power of two: the ring index wraps cheaply
inline constexpr std::uint32_t FRAMES_PER_BUFFER = 2048;
inline constexpr std::uint32_t BYTES_PER_FRAME = 4;
inline constexpr std::uint32_t BUFFER_BYTES = FRAMES_PER_BUFFER * BYTES_PER_FRAME;

// Left then right, signed 16-bit, frame after frame.
extern std::int16_t output_buffers[BUFFER_COUNT][FRAMES_PER_BUFFER * 2];
// The buffer filled last; fill_buffer advances it before filling.
extern std::uint8_t next_buffer;

// Renders the next buffer of the ring and hands it to engine_hooks.buffer_ready.
void fill_buffer();

// The straightforward frame-by-frame mixer, kept as the reference that the
// fast path is checked against. Same contract as fill_buffer.
void fill_buffer_reference();

// The levels of the production mixer's kernels, each with those below it:
// the plain kernels alone, then the x86 sets in the order the kernels use
// them (SSE2 for the smoothing in groups of four and the clip, SSSE3 for
// the staging by byte shuffle, AVX2 for wider staging and the smoothing of
// every channel at once). WebAssembly's SIMD128 kernels stand at sse2, the
// level whose kernels they follow step for step. The mixer takes what the
// processor has up to the cap; tests cap it to reach every path, the
// default is no cap.
enum class MixerLevel : std::uint8_t { plain, sse2, ssse3, avx2 };
inline constexpr MixerLevel TOP_MIXER_LEVEL = MixerLevel::avx2;
inline constexpr MixerLevel MIXER_LEVELS[] = {MixerLevel::plain, MixerLevel::sse2, MixerLevel::ssse3, MixerLevel::avx2};
inline constexpr const char* MIXER_LEVEL_NAMES[] = {"plain", "sse2", "ssse3", "avx2"};
inline const char* mixer_level_name(MixerLevel level) { return MIXER_LEVEL_NAMES[static_cast<unsigned>(level)]; }
void cap_mixer_level(MixerLevel most);
// Tests: the warm-up, in frames, with which the AVX2 path splits long runs
// into pieces; a short one makes the pieces miss each other and takes the
// path that mends that. 0 (the default) lets the lanes' steps decide.
void set_mixer_split_warm_up(std::uint32_t frames);

}  // namespace zindle
