// One 4-byte pattern cell, read the one way both the row decoder and the
// tick clock's look-ahead read it.
#pragma once

#include <cstdint>

#include "player_state.h"

namespace zindle {

// Period fields from this one on are notes; below it lie the special
// values (0 nothing, 1 key-off, 2 the vibrato goes on).
inline constexpr std::uint32_t FIRST_NOTE_PERIOD = 29;

struct PatternCell {
    std::uint8_t pan_bits;       // 0x40 left, 0x80 right, both, or 0: keep the pan
    std::uint8_t sample;         // 0 to 31
    std::uint32_t period_field;  // 0 to 4095
    std::uint8_t effect;         // 0 to 15
    std::uint8_t param;          // the effect's xy
};

// Bytes b0 b1 b2 b3 of the cell at `offset` in the image (0 past its end):
// pan bits in b0's top two bits, the sample in b0 bit 4 and b2's upper
// nibble, the period field in b0's lower nibble and b1, the effect in b2's
// lower nibble, its parameter in b3.
inline PatternCell read_cell(std::uint32_t offset) {
    const std::uint8_t b0 = image_byte(offset);
    const std::uint8_t b1 = image_byte(offset + 1);
    const std::uint8_t b2 = image_byte(offset + 2);
    return {static_cast<std::uint8_t>(b0 & 0xC0), static_cast<std::uint8_t>((b0 & 0x10) | (b2 >> 4)),
            (b0 & 0x0Fu) * 256u + b1, static_cast<std::uint8_t>(b2 & 0x0F), image_byte(offset + 3)};
}

}  // namespace zindle
