// One sequencer tick, its place in the output clock, and the look-ahead that
// prepares the de-click fade before the next row.
#include "tick_clock.h"

#include "pattern_cell.h"
#include "player_state.h"
#include "sequencer.h"

namespace zindle {

namespace {

// Channels whose next cell starts a note or switches sample fade to a
// quarter of their level in the window before that row.
void look_ahead() {
    const SongState& song = player.song;
    ChannelState& ch = player.channels;
    const std::uint32_t row = image_offset(song.pattern_base) + song.row_offset;
    for (std::uint32_t c = 0; c < song.channel_count; ++c) {
        const PatternCell cell = read_cell(row + 4 * c);
        if (cell.period_field >= FIRST_NOTE_PERIOD || (cell.sample != 0 && cell.sample != ch.sample_num[c]))
            ch.ramp_floor[c] = ch.mix_target[c] >> 2;
    }
}

}  // namespace

void run_tick() {
    SongState& song = player.song;
    song.lfo_phase = (song.lfo_phase + 1) & 63;
    if (song.tick != 0) {
        apply_tick_effects();
    } else {
        const std::uint8_t* entry = song.order_pos;
        const std::uint32_t row_offset = song.row_offset;
        decode_row();
        if (engine_hooks.row_tick != nullptr) engine_hooks.row_tick(entry, row_offset);
    }
    update_voices();
    ++song.tick;
    if (song.tick >= song.speed) {
        song.tick = 0;
        look_ahead();
    }
    song.tick_window_at += song.bytes_per_tick;
    song.ramp_until = player.out_clock + GLIDE_BYTES;
    player.clock_base = player.out_clock;
}

}  // namespace zindle
