// The committed demo songs: the generator still makes them byte for byte,
// they load cleanly, sound at a sane level, and the extended one really
// uses its instrument features.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "mixer.h"
#include "module_files.h"
#include "player_state.h"
#include "process_runner.h"
#include "temp_dir.h"

using namespace zindle;
using namespace zindle::test;

namespace {

namespace fs = std::filesystem;

const fs::path EXAMPLES = fs::path(ZINDLE_SOURCE_DIR) / "examples";

// 48.4 s: intro, two verses, the break with its repeated bar, the first
// verse again and the outro (6 patterns and 16 rows at 5292 frames a row).
constexpr int PASS_BUFFERS = (881 + 5292 * 400) / 2048 + 1;

}  // namespace

TEST(Demo, GeneratorReproducesTheCommittedFiles) {
    const fs::path dir = make_temp_dir();
    const auto run = run_program({ZINDLE_BIN_DIR "/zindle-make-demo", dir.string()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    for (const char* name : {"demo.mod", "demo-extended.mod"}) {
        SCOPED_TRACE(name);
        const auto committed = read_module_file(EXAMPLES / name);
        const auto generated = read_module_file(dir / name);
        ASSERT_FALSE(committed.empty());
        EXPECT_TRUE(generated == committed) << "run the demo-modules target and commit the result";
        // Small enough to ship in the repository.
        EXPECT_LT(committed.size(), 64u * 1024);
    }
    fs::remove_all(dir);
}

TEST(Demo, BothSongsLoadCleanlyAndSoundWithoutClipping) {
    for (const char* name : {"demo.mod", "demo-extended.mod"}) {
        SCOPED_TRACE(name);
        bool ok = false;
        EXPECT_EQ(load(read_module_file(EXAMPLES / name), &ok), "channels: 00000006 \r\nsamples: 0000001F \r\n");
        ASSERT_TRUE(ok);
        EXPECT_EQ(player.song.extended_mode, std::string(name) == "demo-extended.mod" ? 1 : 0);

        const auto frames = render(PASS_BUFFERS);
        std::size_t clipped = 0;
        double total = 0;
        for (std::int16_t v : frames) {
            clipped += v >= 30719 || v <= -30720;
            total += double(v) * v;
        }
        EXPECT_LT(clipped, frames.size() / 1000);
        EXPECT_GT(std::sqrt(total / double(frames.size())), 1000.0);
        // Every two seconds of the body of the song sound on both sides.
        for (std::size_t second = 4; second < 44; second += 2) {
            double left = 0, right = 0;
            for (std::size_t f = second * 44100; f < (second + 2) * 44100; ++f) {
                left += double(frames[2 * f]) * frames[2 * f];
                right += double(frames[2 * f + 1]) * frames[2 * f + 1];
            }
            EXPECT_GT(std::sqrt(left / 88200), 500.0) << second;
            EXPECT_GT(std::sqrt(right / 88200), 500.0) << second;
        }
    }
}

TEST(Demo, ExtendedSongUsesEnvelopesFadeOutAndAutomaticVibrato) {
    load(read_module_file(EXAMPLES / "demo-extended.mod"));
    // Records overlap pattern 0, so the song must not play it.
    for (std::uint32_t i = 0; i < player.song.song_length; ++i) EXPECT_NE(player.song.order_table[i], 0) << i;

    bool partial_envelope = false, fading = false, auto_vibrato = false;
    const ChannelState& ch = player.channels;
    for (int b = 0; b < PASS_BUFFERS; ++b) {
        fill_buffer();
        for (int c = 0; c < player.song.channel_count; ++c) {
            if (ch.play_state[c] < STATE_PLAYING) continue;
            partial_envelope |= ch.env_volume[c] > 0 && ch.env_volume[c] < 128;
            fading |= ch.key_on[c] == 0 && ch.fade_volume[c] > 0 && ch.fade_volume[c] < 0xFFFF;
            // Lead (3) and pad (5) have no arpeggio: without a pitch effect
            // their step follows the period, unless the automatic vibrato
            // moved it.
            if ((c == 3 || c == 5) && ch.tick_mode[c] == MODE_NONE && ch.step[c] != step_for_period(ch.period[c]))
                auto_vibrato = true;
        }
    }
    EXPECT_TRUE(partial_envelope);
    EXPECT_TRUE(fading);
    EXPECT_TRUE(auto_vibrato);
}
