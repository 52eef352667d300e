// Console report: raw texts and 8-digit hexadecimal numbers. Where the bytes
// finally go is up to each program, through engine_hooks.console.
#pragma once

#include <cstdint>

namespace zindle {

// 8 digits, a blank, CR and LF; only the digits are ever rewritten.
extern char hex_text[11];

void write_text(const char* text);
void write_hex(std::uint32_t value);         // 11 bytes: digits, blank, CR, LF
void write_hex_inline(std::uint32_t value);  // 9 bytes: digits and blank

}  // namespace zindle
