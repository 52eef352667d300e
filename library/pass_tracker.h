// Where one pass of a song ends: at the first row heard for the second
// time, except the rows a pattern loop repeats on purpose.
#pragma once

#include <cstdint>

#include "player_state.h"

namespace zindle {

struct PassTracker {
    std::uint64_t visited[256];  // one bit a row
    std::uint8_t loop_count;
    std::uint32_t completed;

    void reset() {
        clear();
        loop_count = 0;
        completed = 0;
    }

    void clear() {
        for (std::uint64_t& entry : visited) entry = 0;
    }

    // A row tick decoded `row_offset` of the entry `order`: called after
    // the decode, with the song's position and loop state as it left them.
    // A row already heard ends the pass and starts the next one there.
    void row(std::uint32_t order, std::uint32_t row_offset, std::uint32_t pattern) {
        const SongState& song = player.song;
        const std::uint32_t row_bytes = song.channel_count * 4u;
        const std::uint32_t row = (row_offset - pattern * song.pattern_bytes) / row_bytes;
        if (order < 256 && row < 64) {
            if ((visited[order] >> row & 1) != 0) {
                ++completed;
                clear();
            }
            visited[order] |= std::uint64_t{1} << row;
        }
        // A pattern loop that jumps back replays the rows from its start to
        // here on purpose: forget those so the replay does not end the pass.
        // Everything else the entry played before the loop start still counts.
        const bool loop_jumped = song.loop_count != loop_count && song.loop_count >= 1;
        loop_count = song.loop_count;
        if (!loop_jumped || song.order_pos != song.order_table + order || order >= 256) return;
        const std::uint32_t target = (song.row_offset - pattern * song.pattern_bytes) / row_bytes;
        for (std::uint32_t r = target; r <= row && r < 64; ++r) visited[order] &= ~(std::uint64_t{1} << r);
    }
};

}  // namespace zindle
