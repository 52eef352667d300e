// Where a frame stands relative to the tick schedule.
#pragma once

#include <cstdint>

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

}  // namespace zindle
