// One sequencer tick and the passes it is made of. All of them work on the
// one PlayerState and run only from inside fill_buffer.
#pragma once

#include <cstdint>

namespace zindle {

void run_tick();       // the whole tick, in its fixed order
void decode_row();     // row tick: position, then one cell per channel
void advance_order();  // working position to row 0 of the next entry
// Outside the row tick: the next order entry (entry 0 after the last) plays
// from its first row on the next row tick, with no pattern loop running.
// Returns that entry's pattern number.
std::uint8_t jump_to_next_order();
void apply_tick_effects();                     // every other tick: slides, arpeggio, tremolo, ...
void update_voices();                          // every tick: triggers, vibrato, volume targets
void update_instrument(std::uint8_t channel);  // extended mode, per channel

// The working position of the row being decoded. Commands change it; the
// row commits it at its end, so the last position command of a row wins.
struct RowWork {
    std::uint32_t next_row_offset;
    const std::uint8_t* next_order;
};
extern RowWork row_work;

// Optional observer for tools: called after each row tick with the order
// entry and row offset that were decoded. Null in the player.
using RowTickHook = void (*)(const std::uint8_t* order_entry, std::uint32_t row_offset);
struct EngineHooks {
    RowTickHook row_tick;
};
extern EngineHooks engine_hooks;

}  // namespace zindle
