// The renderer's numbers on the command line, read one strict way: decimal
// digits only, with one decimal point where a fraction is allowed; no sign,
// no blanks, no exponent, nothing past a stated upper bound.
#pragma once

#include <cstdint>

namespace zindle {

// The largest --buffers: 10^9 buffers of 2048 frames, about 537 days.
inline constexpr std::uint64_t MAX_BUFFERS = 1000000000;
// The largest --seconds: 46,000,000 s, about 532 days (under MAX_BUFFERS).
inline constexpr std::uint64_t MAX_SECONDS = 46000000;

// A whole number from 0 to `most`. False for anything else.
bool parse_whole_number(const char* text, std::uint64_t most, std::uint64_t& value);

// Seconds (at most MAX_SECONDS) as the least whole number of buffers of
// 2048 frames at 44100 Hz that covers them, worked out exactly. False for
// anything that is not digits with at most one decimal point and at least
// one digit.
bool parse_seconds_as_buffers(const char* text, std::uint64_t& buffers);

// A point in time, as seconds read as parse_seconds_as_buffers reads them
// (90, 90.25, .5, 5.) or as minutes, a colon, two digits of seconds under
// 60 and an optional fraction (1:30, 1:30.250), at most MAX_SECONDS: the
// frame at 44100 Hz in which it falls (a part of a frame is cut). False
// for anything else.
bool parse_time_as_frames(const char* text, std::uint64_t& frames);

}  // namespace zindle
