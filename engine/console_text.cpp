#include "console_text.h"

#include "sequencer.h"

namespace zindle {

namespace {
void console_write(const char* bytes, std::uint32_t count) {
    if (engine_hooks.console != nullptr) engine_hooks.console(bytes, count);
}
}  // namespace

// Zero at first and filled at each use, so that it needs no initialised
// data: a section of its own costs the Windows player 512 bytes.
char hex_text[11];

void write_text(const char* text) {
    std::uint32_t count = 0;
    while (text[count] != 0) ++count;
    if (count == 0) return;
    console_write(text, count);
}

static void format_hex(std::uint32_t value) {
    for (std::uint32_t k = 8; k >= 1; --k) {
        auto digit = static_cast<char>(((value >> ((8 - k) * 4)) & 15) + 0x30);
        if (digit >= 0x3A) digit = static_cast<char>(digit + 7);
        hex_text[k - 1] = digit;
    }
    hex_text[8] = ' ';
    hex_text[9] = '\r';
    hex_text[10] = '\n';
}

void write_hex(std::uint32_t value) {
    format_hex(value);
    console_write(hex_text, 11);
}

void write_hex_inline(std::uint32_t value) {
    format_hex(value);
    console_write(hex_text, 9);
}

}  // namespace zindle
