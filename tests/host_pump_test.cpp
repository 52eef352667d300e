// The refill pump, the device and timer callbacks, the Z key and the window
// procedure, against the real engine and a fake device.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host.h"
#include "host_fake_win32.h"
#include "module_loader.h"
#include "player_state.h"
#include "sequencer.h"

using namespace zindle;
using fake::win32;

namespace {

constexpr std::uint32_t BYTES_PER_BUFFER = 8192;

void device_finishes(int buffers = 1) {
    for (int i = 0; i < buffers; ++i) wave_callback(wave_out, MM_WOM_DONE, 0, 0, 0);
}

std::vector<int> written_since(std::size_t from) {
    return {win32.written.begin() + static_cast<std::ptrdiff_t>(from), win32.written.end()};
}

// The set-up of the audio path as start-up runs it, on a small module.
class Pump : public ::testing::Test {
protected:
    void SetUp() override { start(0); }

    void start(std::uint8_t earlier_done) {
        fake::reset();
        const fake::ModuleImage module({0, 1});
        std::memcpy(module_image, module.bytes.data(), module.bytes.size());
        main_window = reinterpret_cast<HWND>(&window_token);
        buffers_done.store(earlier_done);
        ASSERT_TRUE(open_sound_device());
        ASSERT_TRUE(load_module());
        prime_sound_device();
        win32.console.clear();
    }

    char window_token = 0;
};

TEST_F(Pump, PrimingFillsBuffersOneToThreeThenZeroAndRefillsGoRoundTheRing) {
    EXPECT_EQ(win32.prepared, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(win32.written, (std::vector<int>{1, 2, 3, 0}));
    EXPECT_EQ(player.out_clock, 4 * BYTES_PER_BUFFER);
    std::vector<int> refills;
    for (int i = 0; i < 6; ++i) {
        const std::size_t before = win32.written.size();
        device_finishes();
        refill_pump();
        const std::vector<int> now = written_since(before);
        ASSERT_EQ(now.size(), 1u) << "refill " << i;
        refills.push_back(now[0]);
    }
    EXPECT_EQ(refills, (std::vector<int>{1, 2, 3, 0, 1, 2}));
    EXPECT_EQ(player.out_clock, 10 * BYTES_PER_BUFFER);
}

TEST_F(Pump, OneRunRefillsEveryFinishedBufferAndNothingMore) {
    refill_pump();
    EXPECT_EQ(win32.written.size(), 4u) << "nothing finished, nothing refilled";
    device_finishes(3);
    refill_pump();
    EXPECT_EQ(written_since(4), (std::vector<int>{1, 2, 3}));
    refill_pump();
    EXPECT_EQ(win32.written.size(), 7u);
    EXPECT_EQ(buffers_refilled.load(), buffers_done.load());
}

TEST_F(Pump, ABufferFinishedDuringTheRunIsRefilledInTheSameRun) {
    int finishes_left = 2;
    win32.on_write = [&](int) {
        if (finishes_left-- > 0) device_finishes();
    };
    device_finishes();
    refill_pump();
    EXPECT_EQ(written_since(4), (std::vector<int>{1, 2, 3}));
}

TEST_F(Pump, CountersWrapAt256AndThePumpGoesOn) {
    start(250);
    EXPECT_EQ(buffers_refilled.load(), 250) << "the set-up starts level with the device";
    std::vector<int> refills;
    for (int i = 0; i < 300; ++i) {
        const std::size_t before = win32.written.size();
        device_finishes(i == 5 ? 4 : 1);  // four at once across the wrap
        refill_pump();
        for (int index : written_since(before)) refills.push_back(index);
    }
    ASSERT_EQ(refills.size(), 303u);
    for (std::size_t n = 0; n < refills.size(); ++n) ASSERT_EQ(refills[n], static_cast<int>((n + 1) % 4)) << n;
    EXPECT_EQ(buffers_done.load(), (250 + 303) % 256);
    EXPECT_EQ(buffers_refilled.load(), buffers_done.load());
    EXPECT_EQ(player.out_clock, (4 + 303) * BYTES_PER_BUFFER);
}

TEST_F(Pump, NothingIsRefilledUntilTheDeviceIsReady) {
    audio_ready.store(0);
    device_finishes(2);
    refill_pump();
    EXPECT_EQ(win32.written.size(), 4u);
    audio_ready.store(1);
    refill_pump();
    EXPECT_EQ(written_since(4), (std::vector<int>{1, 2}));
}

TEST_F(Pump, DeviceNoticesOtherThanDoneAreIgnored) {
    wave_callback(wave_out, MM_WOM_OPEN, 0, 0, 0);
    wave_callback(wave_out, MM_WOM_CLOSE, 0, 0, 0);
    EXPECT_EQ(buffers_done.load(), 0);
    refill_pump();
    EXPECT_EQ(win32.written.size(), 4u);
}

TEST_F(Pump, TimerPostsRefillMessagesOnlyWhileThePumpIsIdle) {
    timer_callback(1, 0, 0, 0, 0);
    ASSERT_EQ(win32.posted.size(), 1u);
    EXPECT_EQ(win32.posted[0].window, main_window);
    EXPECT_EQ(win32.posted[0].message, WM_USER);
    EXPECT_EQ(win32.posted[0].wparam, 0u);
    EXPECT_EQ(win32.posted[0].lparam, 0);

    // Timer periods that fall inside a pump run post nothing.
    win32.on_write = [](int) { timer_callback(1, 0, 0, 0, 0); };
    device_finishes(2);
    refill_pump();
    EXPECT_EQ(win32.written.size(), 6u);
    EXPECT_EQ(win32.posted.size(), 1u);
    EXPECT_EQ(pump_busy.load(), 0);

    timer_callback(1, 0, 0, 0, 0);
    EXPECT_EQ(win32.posted.size(), 2u);
}

// Order list 0, 2, 1; the byte after the last entry is 5.
class OrderJump : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::ModuleImage module({0, 2, 1, 5}, 3);
        // Pattern 0 loops its first two rows many times.
        module.effect(0, 0, 0, 0x0E, 0x60);
        module.effect(0, 1, 0, 0x0E, 0x6F);
        std::memcpy(module_image, module.bytes.data(), module.bytes.size());
        ASSERT_TRUE(load_module());
        win32.console.clear();
        decoded.clear();
        engine_hooks.row_tick = [](const std::uint8_t* entry, std::uint32_t row_offset) {
            decoded.push_back({static_cast<int>(entry - player.song.order_table), row_offset});
        };
    }
    void TearDown() override { engine_hooks.row_tick = nullptr; }

    struct Row {
        int entry;
        std::uint32_t offset;
        bool operator==(const Row&) const = default;
    };
    static inline std::vector<Row> decoded;
    static constexpr std::uint32_t PATTERN_BYTES = 1024;
    static constexpr std::uint32_t ROW_BYTES = 16;
};

TEST_F(OrderJump, ZAbandonsARunningLoopAndPlaysTheNextEntryFromItsFirstRow) {
    // Rows last 6 ticks of 3528 bytes: 8 buffers reach the loop's first turn.
    for (int i = 0; i < 8; ++i) fill_buffer();
    ASSERT_GE(decoded.size(), 3u);
    ASSERT_EQ(decoded[2], (Row{0, 0})) << "the loop went back to row 0";
    ASSERT_NE(player.song.loop_count, 0);

    const std::size_t before = decoded.size();
    press_z();
    EXPECT_EQ(win32.console, "00000002 \r\n");
    EXPECT_EQ(player.song.order_pos, player.song.order_table + 1);
    EXPECT_EQ(player.song.loop_count, 0);
    EXPECT_EQ(player.song.row_offset, 2 * PATTERN_BYTES);
    EXPECT_EQ(player.song.loop_row_offset, 2 * PATTERN_BYTES);

    for (int i = 0; i < 8; ++i) fill_buffer();
    ASSERT_GE(decoded.size(), before + 3);
    EXPECT_EQ(decoded[before], (Row{1, 2 * PATTERN_BYTES}));
    EXPECT_EQ(decoded[before + 1], (Row{1, 2 * PATTERN_BYTES + ROW_BYTES}));
    EXPECT_EQ(decoded[before + 2], (Row{1, 2 * PATTERN_BYTES + 2 * ROW_BYTES}));
}

TEST_F(OrderJump, ZOnTheLastEntryWrapsToEntryZeroAndPrintsItsPattern) {
    press_z();
    press_z();
    ASSERT_EQ(player.song.order_pos, player.song.order_table + 2);
    win32.console.clear();
    for (int i = 0; i < 3; ++i) fill_buffer();
    player.song.loop_count = 7;
    const ChannelState channels = player.channels;
    const std::uint8_t tick = player.song.tick;

    press_z();
    // The pattern of entry 0, not the byte 5 after the last entry.
    EXPECT_EQ(win32.console, "00000000 \r\n");
    EXPECT_EQ(player.song.order_pos, player.song.order_table);
    EXPECT_EQ(player.song.row_offset, 0u);
    EXPECT_EQ(player.song.loop_row_offset, 0u);
    EXPECT_EQ(player.song.loop_count, 0);
    EXPECT_EQ(player.song.tick, tick);
    EXPECT_EQ(std::memcmp(&channels, &player.channels, sizeof channels), 0) << "the voices are left as they are";
}

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        const fake::ModuleImage module({3, 1, 4});
        std::memcpy(module_image, module.bytes.data(), module.bytes.size());
        main_window = reinterpret_cast<HWND>(&window_token);
        ASSERT_TRUE(open_sound_device());
        ASSERT_TRUE(load_module());
        prime_sound_device();
        win32.console.clear();
        win32.calls.clear();
        win32.default_result = 77;
        win32.window_class.lpfnWndProc = window_procedure;
    }
    LRESULT send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
        return window_procedure(main_window, message, wparam, lparam);
    }
    char window_token = 0;
};

TEST_F(Window, EscapeAsksTheWindowToCloseAndPassesTheKeyOn) {
    EXPECT_EQ(send(WM_KEYDOWN, VK_ESCAPE, 0x10001), 77);
    ASSERT_EQ(win32.posted.size(), 1u);
    EXPECT_EQ(win32.posted[0].window, main_window);
    EXPECT_EQ(win32.posted[0].message, WM_CLOSE);
    EXPECT_EQ(win32.posted[0].wparam, 0u);
    EXPECT_EQ(win32.posted[0].lparam, 0);
    ASSERT_EQ(win32.defaulted.size(), 1u);
    EXPECT_EQ(win32.defaulted[0].message, WM_KEYDOWN);
    EXPECT_EQ(win32.defaulted[0].wparam, static_cast<WPARAM>(VK_ESCAPE));
    EXPECT_EQ(win32.defaulted[0].lparam, 0x10001);
    EXPECT_EQ(win32.console, "");
}

TEST_F(Window, EachZKeyDownMovesOneEntryAndPassesTheKeyOn) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(send(WM_KEYDOWN, 'Z', 0x40000001), 77);
    EXPECT_EQ(win32.console, "00000001 \r\n00000004 \r\n00000003 \r\n00000001 \r\n");
    EXPECT_EQ(player.song.order_pos, player.song.order_table + 1);
    EXPECT_EQ(win32.defaulted.size(), 4u);
    EXPECT_TRUE(win32.posted.empty());
}

TEST_F(Window, OtherKeysOnlyGoToTheDefaultHandling) {
    const auto* position = player.song.order_pos;
    for (WPARAM key : {WPARAM{'A'}, WPARAM{'z'}, WPARAM{0x0D}}) EXPECT_EQ(send(WM_KEYDOWN, key), 77);
    EXPECT_EQ(win32.defaulted.size(), 3u);
    EXPECT_TRUE(win32.posted.empty());
    EXPECT_EQ(win32.console, "");
    EXPECT_EQ(player.song.order_pos, position);
}

TEST_F(Window, RefillMessageRunsThePumpAndIsNotPassedOn) {
    device_finishes();
    EXPECT_EQ(send(WM_USER), 0);
    EXPECT_EQ(written_since(4), (std::vector<int>{1}));
    EXPECT_TRUE(win32.defaulted.empty());
}

TEST_F(Window, LifeMessages) {
    EXPECT_EQ(send(WM_CREATE), 0);
    EXPECT_TRUE(win32.defaulted.empty());
    EXPECT_EQ(send(WM_DESTROY), 0);
    EXPECT_EQ(win32.quit_code, 0);
    EXPECT_TRUE(win32.defaulted.empty());
    // Closing goes to the default handling, which destroys the window.
    win32.quit_code = -1;
    EXPECT_EQ(send(WM_CLOSE), 77);
    ASSERT_EQ(win32.defaulted.size(), 1u);
    EXPECT_EQ(win32.defaulted[0].message, WM_CLOSE);
    EXPECT_EQ(win32.quit_code, 0);
}

}  // namespace
