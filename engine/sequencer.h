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
// The same to entry `order` (below song_length) from `row` (0 to 63).
std::uint8_t jump_to_entry(std::uint32_t order, std::uint32_t row);
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

// Where the engine hands things to the program around it. Every seam is a
// pointer set at run time, null doing nothing: a program (the player, the
// library, a test) wires what it needs, and may rewire it between calls.
// reset_engine() leaves them as the program set them.
struct TickStart {
    std::uint64_t frame;  // the frame the tick runs in (frames_made counts from the load)
    std::uint8_t tick;    // which tick of its row, 0 the row tick
    // A row tick's order entry and row offset as decoded; null otherwise.
    const std::uint8_t* order_entry;
    std::uint32_t row_offset;
};
struct EngineHooks {
    // output_buffers[next_buffer] is complete (the player queues it).
    void (*buffer_ready)();
    // The loader's report bytes, to be shown unchanged.
    void (*console)(const char* bytes, std::uint32_t count);
    // After each row tick's decode: the order entry and row offset decoded.
    void (*row_tick)(const std::uint8_t* order_entry, std::uint32_t row_offset);
    // After every tick, with where and which it was (after row_tick).
    void (*tick)(const TickStart& start);
};
extern EngineHooks engine_hooks;

}  // namespace zindle
