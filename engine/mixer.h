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

// The fast mixer uses the processor's extensions beyond SSE2 where it has
// them: the SSSE3 byte shuffle for staging, then AVX2 for the smoothing.
// Tests cap them to check every path; all are allowed by default.
enum class MixerExtensions : std::uint8_t { none, byte_shuffle, all };
void allow_mixer_extensions(MixerExtensions most);
// Tests: the warm-up, in frames, with which the AVX2 path splits long runs
// into pieces; a short one makes the pieces miss each other and takes the
// path that mends that. 0 (the default) lets the lanes' steps decide.
void set_mixer_split_warm_up(std::uint32_t frames);

}  // namespace zindle
