// The output clock wraps at 2^32 bytes (about 6 h 45 min). A song started
// just before the wrap must sound exactly like the same song started at 0:
// tick schedule, pattern delays, tempo changes and ramps included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "mixer.h"
#include "module_builder.h"
#include "module_loader.h"
#include "player_state.h"

namespace zindle::test {
namespace {

constexpr std::uint32_t SECOND = 44100 * 4;

// The player's own start, with the clock preset.
void load_with_clock(const std::vector<std::uint8_t>& file, std::uint32_t clock) {
    load(file);  // clears the engine and the output ring
    player = PlayerState{};
    std::memset(module_image, 0, sizeof module_image);
    std::memcpy(module_image, file.data(), std::min<std::size_t>(file.size(), IMAGE_BYTES));
    player.out_clock = clock;
    ASSERT_TRUE(load_module());
}

std::vector<std::int8_t> wave(std::size_t bytes) {
    std::vector<std::int8_t> d(bytes);
    for (std::size_t i = 0; i < bytes; ++i) d[i] = static_cast<std::int8_t>((i * 53) % 220 - 110);
    return d;
}

ModuleBuilder notes(bool extended) {
    ModuleBuilder b(4);
    const int p = extended ? 1 : 0;
    if (extended) {
        b.extended(3, 140);
        b.orders({1});
        std::array<std::uint8_t, 32> r{};
        const std::uint8_t env[] = {3, 30, 4, 0xF8, 0, 0, 2, 0xFC, 0x80, 0x50, 1, 2};
        std::copy(std::begin(env), std::end(env), r.begin());
        r[25] = 0x40;
        r[26] = 3;
        r[27] = 5;
        r[28] = 8;
        b.instrument(1, r);
    }
    b.sample(1, Sample{.data = wave(300), .loop_start_words = 50, .loop_length_words = 100});
    b.sample(2, Sample{.data = wave(1000), .volume = 40});
    for (int row = 0; row < 64; row += 2) {
        b.cell(p, row, row % 4,
               Cell{.period = amiga_period(1 + row % 3, row % 12),
                    .sample = static_cast<std::uint8_t>(1 + row % 2),
                    .effect = static_cast<std::uint8_t>(row % 8 == 0 ? 0xA : 0x4),
                    .param = static_cast<std::uint8_t>(row % 8 == 0 ? 0x0F : 0x37)});
        if (row % 6 == 0) b.cell(p, row + 1, (row + 1) % 4, Cell{.period = 1});  // key-off
    }
    return b;
}

struct Song {
    const char* name;
    std::vector<std::uint8_t> file;
};

std::vector<Song> songs() {
    std::vector<Song> all;
    all.push_back({"notes, slides and key-offs", notes(false).build()});
    all.push_back({"extended mode: envelope, fade and auto-vibrato", notes(true).build()});
    {
        ModuleBuilder b = notes(false);
        // Pattern delays of several rows and tempo changes all through.
        for (int row = 3; row < 64; row += 8) b.cell(0, row, 3, Cell{.effect = 0xE, .param = 0xE3});
        for (int row = 5; row < 64; row += 8)
            b.cell(0, row, 2, Cell{.effect = 0xF, .param = static_cast<std::uint8_t>(row % 16 == 5 ? 33 : 255)});
        b.cell(0, 7, 1, Cell{.effect = 0xF, .param = 1});
        b.cell(0, 15, 1, Cell{.effect = 0xF, .param = 5});
        all.push_back({"pattern delays and tempo changes", b.build()});
    }
    {
        ModuleBuilder b = notes(false);
        for (int row = 0; row < 64; ++row)
            b.cell(0, row, 3, Cell{.effect = 0xE, .param = static_cast<std::uint8_t>(0x90 | (row % 3 + 1))});
        b.cell(0, 0, 2, Cell{.effect = 0xF, .param = 255});
        all.push_back({"retriggers at the fastest tempo", b.build()});
    }
    return all;
}

TEST(ClockWrap, SongsStartedJustBeforeTheWrapSoundExactlyAsFromZero) {
    constexpr int BUFFERS = 110;  // about 5.1 s
    // Clocks that put the wrap a few seconds in, inside the first tick
    // window, inside the first ramp, and on the very next frame.
    const std::uint32_t offsets[] = {
        3 * SECOND, 3 * SECOND + 1234 * 4, 2 * SECOND + 17 * 4, 3528 - 384, 3528 - 388, 512, 4};
    for (const Song& song : songs()) {
        SCOPED_TRACE(song.name);
        load_with_clock(song.file, 0);
        const std::vector<std::int16_t> from_zero = render(BUFFERS);
        ASSERT_TRUE(std::any_of(from_zero.begin(), from_zero.end(), [](std::int16_t v) { return v != 0; }));
        for (std::uint32_t before : offsets) {
            SCOPED_TRACE("wrap " + std::to_string(before) + " bytes in");
            const std::uint32_t start = 0u - before;
            load_with_clock(song.file, start);
            const std::vector<std::int16_t> wrapped = render(BUFFERS);
            ASSERT_LT(player.out_clock, start) << "the clock did not wrap";
            EXPECT_EQ(player.out_clock, static_cast<std::uint32_t>(BUFFERS * BUFFER_BYTES) - before);
            const auto diff = std::mismatch(from_zero.begin(), from_zero.end(), wrapped.begin());
            EXPECT_TRUE(diff.first == from_zero.end())
                << "first difference at frame " << (diff.first - from_zero.begin()) / 2;
            // The reference mixer keeps the same schedule.
            load_with_clock(song.file, start);
            const std::vector<std::int16_t> reference = render_reference(BUFFERS);
            EXPECT_TRUE(reference == from_zero);
        }
    }
}

}  // namespace
}  // namespace zindle::test
