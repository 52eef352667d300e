// Where a frame stands relative to the tick schedule.
#pragma once

#include <cstdint>

#include "mixer.h"
#include "player_state.h"

namespace zindle {

inline constexpr std::uint32_t PRE_TICK_WINDOW_BYTES = 384;  // 96 frames
inline constexpr std::uint32_t GLIDE_BYTES = 512;            // 128 frames

enum class VolumePhase : std::uint8_t { glide, still, fade, fade_then_tick };

// Times are compared as distances from the last tick, so the order of the
// schedule survives the 32-bit wrap of out_clock.
inline VolumePhase volume_phase(std::uint32_t now) {
    const SongState& song = player.song;
    const std::uint32_t base = player.clock_base;
    const std::uint32_t since = now - base;
    if (since < song.ramp_until - base) return VolumePhase::glide;
    if (since < song.tick_window_at - base) return VolumePhase::still;
    return now - song.tick_window_at >= PRE_TICK_WINDOW_BYTES ? VolumePhase::fade_then_tick : VolumePhase::fade;
}

// The tick schedule, read and run from one place. A tick runs inside the
// first frame whose clock is PRE_TICK_WINDOW_BYTES past the tick window.
//
// Frames from the next one to be made to the one the next tick runs in: 0
// when it runs in the next frame.
std::uint32_t frames_to_next_tick();
// The frame (counted from the load) that the next tick runs in.
std::uint64_t next_tick_frame();
// Runs the tick due in the next frame, whose clock is out_clock + 4; the
// clock is left where it was, as the mixers make that frame themselves.
void run_due_tick();
// The song's ticks without mixing: the clock moves straight to the next
// tick's frame and it runs there.
void run_next_tick_unmixed();
// The mixers' last step of a buffer: frames_made catches up with the clock.
inline void count_frames_made() {
    player.frames_made += (player.out_clock - player.made_clock) / BYTES_PER_FRAME;
    player.made_clock = player.out_clock;
}

}  // namespace zindle
