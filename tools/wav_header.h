// The header in front of the renderer's .wav frames: 16-bit stereo PCM at
// 44100 Hz. Up to 4 GiB of frames it is the plain 44-byte RIFF/WAVE
// header; from there on the 32-bit sizes cannot hold the length, and it is
// an RF64 header (EBU Tech 3306) of 80 bytes with 64-bit sizes in its ds64
// chunk, which common readers take.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zindle {

inline constexpr std::size_t WAV_HEADER_BYTES = 44;
inline constexpr std::size_t RF64_HEADER_BYTES = 80;
inline constexpr std::size_t MAX_WAV_HEADER_BYTES = RF64_HEADER_BYTES;

// Writes the header for `data_bytes` of frames into `out`, which has room
// for MAX_WAV_HEADER_BYTES, and returns its length.
std::size_t make_wav_header(std::uint64_t data_bytes, std::uint8_t* out);

}  // namespace zindle
