// One sequencer tick, its place in the output clock, and the look-ahead that
// prepares the de-click fade before the next row.
#include "tick_clock.h"

#include "mixer.h"
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
    // out_clock is the clock of the frame the tick runs in, 4 past its start.
    TickStart start{player.frames_made + (player.out_clock - player.made_clock) / BYTES_PER_FRAME - 1, song.tick,
                    nullptr, 0};
    if (song.tick != 0) {
        apply_tick_effects();
    } else {
        start.order_entry = song.order_pos;
        start.row_offset = song.row_offset;
        decode_row();
        if (engine_hooks.row_tick != nullptr) engine_hooks.row_tick(start.order_entry, start.row_offset);
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
    if (engine_hooks.tick != nullptr) engine_hooks.tick(start);
}

std::uint32_t frames_to_next_tick() {
    // Signed: a tick already overdue runs in the next frame.
    const auto ahead = static_cast<std::int32_t>(player.song.tick_window_at + PRE_TICK_WINDOW_BYTES - player.out_clock);
    return ahead <= static_cast<std::int32_t>(BYTES_PER_FRAME)
               ? 0
               : (static_cast<std::uint32_t>(ahead) + BYTES_PER_FRAME - 1) / BYTES_PER_FRAME - 1;
}

void run_due_tick() {
    player.out_clock += BYTES_PER_FRAME;
    run_tick();
    player.out_clock -= BYTES_PER_FRAME;
}

std::uint64_t next_tick_frame() {
    return player.frames_made + (player.out_clock - player.made_clock) / BYTES_PER_FRAME + frames_to_next_tick();
}

void run_next_tick_unmixed() {
    player.out_clock += frames_to_next_tick() * BYTES_PER_FRAME;
    run_due_tick();
}

}  // namespace zindle
