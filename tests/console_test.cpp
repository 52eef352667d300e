// The console report's two output forms: raw text and 8-digit hex lines.
#include <gtest/gtest.h>

#include <string>

#include "console_text.h"
#include "engine_harness.h"

using namespace zindle;
using namespace zindle::test;

namespace {

// Runs one output call and returns what it wrote and in how many writes.
template <typename F>
std::pair<std::string, int> capture(F&& output) {
    take_console();
    const int before = console_writes();
    output();
    return {take_console(), console_writes() - before};
}

}  // namespace

TEST(ConsoleHex, EightUpperCaseDigitsThenBlankCrLfInOneWrite) {
    const struct {
        std::uint32_t value;
        const char* text;
    } cases[] = {
        {0, "00000000 \r\n"},           {31, "0000001F \r\n"},          {0xFFFFFFFFu, "FFFFFFFF \r\n"},
        {0x89ABCDEFu, "89ABCDEF \r\n"}, {0x01234567u, "01234567 \r\n"}, {0xA0000009u, "A0000009 \r\n"},
        {10, "0000000A \r\n"},
    };
    for (const auto& c : cases) {
        const auto [bytes, writes] = capture([&] { write_hex(c.value); });
        EXPECT_EQ(bytes, std::string(c.text, 11)) << c.value;
        EXPECT_EQ(writes, 1) << c.value;
    }
}

TEST(ConsoleHex, InlineFormLeavesTheLineOpenAndReusesTheBuffer) {
    const auto [first, first_writes] = capture([] { write_hex_inline(0xDEADBEEFu); });
    EXPECT_EQ(first, "DEADBEEF ");
    EXPECT_EQ(first_writes, 1);

    // A shorter number must not leave digits of the previous one behind.
    const auto [second, second_writes] = capture([] { write_hex_inline(0x2Au); });
    EXPECT_EQ(second, "0000002A ");
    EXPECT_EQ(second_writes, 1);

    // The line end behind the digits is still there for the full form.
    const auto [full, full_writes] = capture([] { write_hex(0x7u); });
    EXPECT_EQ(full, "00000007 \r\n");
    EXPECT_EQ(std::string(hex_text, 11), "00000007 \r\n");
    EXPECT_EQ(full_writes, 1);
}

TEST(ConsoleText, WritesTheBytesUnchangedAndNothingForAnEmptyText) {
    const auto [empty, empty_writes] = capture([] { write_text(""); });
    EXPECT_EQ(empty, "");
    EXPECT_EQ(empty_writes, 0);

    // No line end is added and no byte is altered, high bytes included.
    const auto [raw, raw_writes] = capture([] { write_text("a\tb\r\n\xFF\x80 z"); });
    EXPECT_EQ(raw, "a\tb\r\n\xFF\x80 z");
    EXPECT_EQ(raw_writes, 1);

    // The text stops at its terminating zero.
    const char with_zero[] = {'a', 'b', 0, 'c', 0};
    const auto [cut, cut_writes] = capture([&] { write_text(with_zero); });
    EXPECT_EQ(cut, "ab");
    EXPECT_EQ(cut_writes, 1);
}

TEST(ConsoleText, TextThenNumberFormOneLine) {
    const auto [line, writes] = capture([] {
        write_text("samples: ");
        write_hex(15);
    });
    EXPECT_EQ(line, "samples: 0000000F \r\n");
    EXPECT_EQ(writes, 2);
}
