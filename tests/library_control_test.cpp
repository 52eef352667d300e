// libzindle 0.3's controls through the C header, against the engine linked
// into this program on its own: repeat and the song's end, float frames,
// mutes and stems, jumps to an entry, the probe, the pattern data, the
// channels as heard and the position read from another thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "busy_module.h"
#include "mixer.h"
#include "engine_harness.h"
#include "module_builder.h"
#include "module_files.h"
#include "sequencer.h"
#include "zindle.h"

using namespace zindle::test;

namespace {

constexpr std::size_t BLOCK = ZINDLE_BLOCK_FRAMES;

int load_song(const std::vector<std::uint8_t>& file) { return zindle_load(file.data(), file.size()); }

std::vector<std::int8_t> square(int length, int level) {
    std::vector<std::int8_t> wave(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
        wave[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(i < length / 2 ? level : -level);
    return wave;
}

// Two short entries at speed 2 with notes on two channels: a pass of a few
// seconds that comes back to entry 0.
std::vector<std::uint8_t> short_song() {
    ModuleBuilder b(4);
    b.sample(1, {.data = square(64, 90), .volume = 48, .loop_start_words = 0, .loop_length_words = 32});
    b.sample(2, {.data = square(200, 60), .volume = 64, .loop_start_words = 10, .loop_length_words = 90});
    b.orders({0, 1});
    b.cell(0, 0, 3, {.effect = 0xF, .param = 2});
    for (int row = 0; row < 64; row += 2) {
        b.cell(0, row, 0, {.period = amiga_period(2, row % 12), .sample = 1});
        b.cell(1, row, 1, {.period = amiga_period(3, (row / 2) % 12), .sample = 2, .effect = 0xC, .param = 40});
    }
    return b.build();
}

// Everything zindle_render gives in calls of `chunk` until it gives less.
std::vector<std::int16_t> render_to_end(std::size_t chunk, std::size_t most) {
    std::vector<std::int16_t> all;
    std::vector<std::int16_t> part(2 * chunk);
    while (all.size() < 2 * most) {
        const std::size_t want = std::min(chunk, most - all.size() / 2);
        const std::size_t got = zindle_render(part.data(), want);
        all.insert(all.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(2 * got));
        if (got < want) break;
    }
    return all;
}

// The frame at which pass `n` ends with the song endless: the first row
// whose callback sees zindle_passes() == n.
struct PassEnds {
    std::vector<std::uint64_t> at;
};
void note_pass(void* user, std::uint64_t frame, int, int, int) {
    auto& ends = static_cast<PassEnds*>(user)->at;
    while (static_cast<int>(ends.size()) < zindle_passes()) ends.push_back(frame);
}

TEST(LibraryRepeat, EachCountEndsExactlyAtItsPassAndHoldsAcrossLoadsAndSeeks) {
    const auto song = short_song();
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    PassEnds ends;
    zindle_set_row_callback(note_pass, &ends);
    ASSERT_EQ(load_song(song), 0);
    std::vector<std::int16_t> endless(2 * 4 * zindle_pass_frames());
    ASSERT_EQ(zindle_render(endless.data(), endless.size() / 2), endless.size() / 2);
    zindle_set_row_callback(nullptr, nullptr);
    ASSERT_GE(ends.at.size(), 3u);
    EXPECT_EQ(ends.at[0], zindle_pass_frames());

    EXPECT_EQ(zindle_set_repeat(-2), ZINDLE_ERROR_ARGUMENT);
    for (int count = 0; count < 3; ++count) {
        ASSERT_EQ(zindle_set_repeat(count), 0);
        ASSERT_EQ(load_song(song), 0) << "the count holds across loads";
        for (std::size_t chunk : {std::size_t{128}, std::size_t{5000}, std::size_t{1}}) {
            if (chunk == 1 && count > 0) continue;
            ASSERT_EQ(zindle_seek(0), 0);
            const auto got = render_to_end(chunk, 10 * zindle_pass_frames());
            const std::uint64_t end = ends.at[static_cast<std::size_t>(count)];
            ASSERT_EQ(got.size(), 2 * end) << count << " in calls of " << chunk;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), endless.begin())) << count;
            std::int16_t more[4];
            EXPECT_EQ(zindle_render(more, 2), 0u);
            EXPECT_EQ(zindle_frame(), end);
        }
        // A seek before the end renders up to it; to or past it, nothing.
        const std::uint64_t end = ends.at[static_cast<std::size_t>(count)];
        ASSERT_EQ(zindle_seek(end - 100), 0);
        std::vector<std::int16_t> tail(2 * 1000);
        EXPECT_EQ(zindle_render(tail.data(), 1000), 100u);
        EXPECT_TRUE(
            std::equal(tail.begin(), tail.begin() + 200, endless.begin() + 2 * static_cast<std::ptrdiff_t>(end - 100)));
        for (std::uint64_t at : {end, end + 1, end + 50000}) {
            ASSERT_EQ(zindle_seek(at), 0);
            EXPECT_EQ(zindle_render(tail.data(), 10), 0u) << at;
            std::vector<float> f(20);
            EXPECT_EQ(zindle_render_float(f.data(), 10), 0u) << at;
        }
    }
    // Back to endless: the same song plays on past every pass.
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    ASSERT_EQ(load_song(song), 0);
    EXPECT_EQ(render_to_end(4096, endless.size() / 2), endless);
}

// The count may change at any frame, also with a block made and frames of
// it waiting: the next frame given already obeys it.
TEST(LibraryRepeat, ACountSetBetweenSmallRendersHoldsFromTheNextFrame) {
    const auto song = short_song();
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    ASSERT_EQ(load_song(song), 0);
    const std::uint64_t end = zindle_pass_frames();
    ASSERT_GT(end % BLOCK, 100u) << "the end lies inside a block";
    std::vector<std::int16_t> endless(2 * (end + 3 * BLOCK));
    ASSERT_EQ(zindle_render(endless.data(), endless.size() / 2), endless.size() / 2);

    // Endless up to 50 frames before the end, its block made; then one
    // pass: single frames stop exactly at the end.
    ASSERT_EQ(zindle_seek(end - 50), 0);
    std::int16_t frame[2];
    ASSERT_EQ(zindle_render(frame, 1), 1u);
    ASSERT_EQ(zindle_set_repeat(0), 0);
    std::size_t given = 1;
    while (zindle_render(frame, 1) == 1) {
        ASSERT_LT(given, 50u);
        EXPECT_EQ(std::memcmp(frame, &endless[2 * (end - 50 + given)], sizeof frame), 0) << given;
        ++given;
    }
    EXPECT_EQ(given, 50u);
    EXPECT_EQ(zindle_frame(), end);
    float floats[2];
    EXPECT_EQ(zindle_render_float(floats, 1), 0u);

    // Endless again at the end: the song plays on from there, a frame at
    // a time, the same frames.
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    for (std::uint64_t at = end; at < end + 2 * BLOCK; ++at) {
        ASSERT_EQ(zindle_render(frame, 1), 1u) << at;
        ASSERT_EQ(std::memcmp(frame, &endless[2 * at], sizeof frame), 0) << at;
    }
    // Set past the end: nothing more, not even the frames already made.
    ASSERT_EQ(zindle_set_repeat(0), 0);
    EXPECT_EQ(zindle_render(frame, 1), 0u);
    EXPECT_EQ(zindle_frame(), end + 2 * BLOCK);
    ASSERT_EQ(zindle_set_repeat(-1), 0);
}

TEST(LibraryFloat, TheSameFramesAsSixteenBitOnesMixedInOneSong) {
    const auto song = busy_module({.channels = 8, .seed = 4});
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    ASSERT_EQ(load_song(song), 0);
    std::vector<std::int16_t> ints(2 * 6 * BLOCK);
    ASSERT_EQ(zindle_render(ints.data(), 6 * BLOCK), 6 * BLOCK);
    ASSERT_EQ(load_song(song), 0);
    std::vector<float> floats(ints.size());
    std::vector<std::int16_t> mixed(ints.size());
    std::size_t done = 0;
    constexpr std::size_t sizes[] = {128, 3000, 77, 2048};
    for (std::size_t k = 0; done < 6 * BLOCK; ++k) {
        const std::size_t n = std::min(sizes[k % 4], 6 * BLOCK - done);
        if (k % 2 == 0) {
            ASSERT_EQ(zindle_render_float(floats.data() + 2 * done, n), n);
            for (std::size_t i = 2 * done; i < 2 * (done + n); ++i)
                mixed[i] = static_cast<std::int16_t>(floats[i] * 32768.0f);
        } else {
            ASSERT_EQ(zindle_render(mixed.data() + 2 * done, n), n);
        }
        done += n;
    }
    EXPECT_EQ(mixed, ints);
    for (std::size_t i = 0; i < floats.size(); ++i)
        if (floats[i] != 0.0f) {
            ASSERT_EQ(floats[i], ints[i] / 32768.0f) << i;
        }
    EXPECT_EQ(zindle_render_float(nullptr, 10), 0u);
}

// Channel counts the format has, 4 to 32.
std::vector<int> channel_counts() {
    std::vector<int> counts{4};
    for (int c = 6; c <= 32; c += 2) counts.push_back(c);
    return counts;
}

TEST(LibraryMute, StemsSumToTheMixWhereverItDoesNotClipAtEveryChannelCountInBothModes) {
    constexpr std::size_t FRAMES = 3 * BLOCK;
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    for (const bool extended : {false, true}) {
        for (const int channels : channel_counts()) {
            const auto song = busy_module({.channels = channels, .seed = 11, .extended = extended});
            ASSERT_EQ(load_song(song), 0);
            std::vector<std::int16_t> mix(2 * FRAMES);
            ASSERT_EQ(zindle_render(mix.data(), FRAMES), FRAMES);
            std::vector<std::int32_t> sum(2 * FRAMES, 0);
            std::vector<std::int16_t> stem(2 * FRAMES);
            for (int solo = 0; solo < channels; ++solo) {
                ASSERT_EQ(load_song(song), 0);
                for (int c = 0; c < channels; ++c) ASSERT_EQ(zindle_mute(c, c != solo), 0);
                ASSERT_EQ(zindle_render(stem.data(), FRAMES), FRAMES);
                for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += stem[i];
            }
            int clipped = 0;
            for (std::size_t i = 0; i < sum.size(); ++i) {
                if (mix[i] == 30719) {
                    ASSERT_GE(sum[i], 30719) << channels << " " << i;
                    ++clipped;
                } else if (mix[i] == -30720) {
                    ASSERT_LE(sum[i], -30720) << channels << " " << i;
                    ++clipped;
                } else {
                    ASSERT_EQ(sum[i], mix[i]) << channels << (extended ? " extended" : "") << " sample " << i;
                }
            }
            EXPECT_LT(clipped, static_cast<int>(sum.size()) / 4) << channels;
        }
    }
}

TEST(LibraryMute, AppliesToFramesNotYetMadeHoldsAcrossSeeksAndALoadClearsIt) {
    const auto song = busy_module({.channels = 6, .seed = 2});
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    ASSERT_EQ(load_song(song), 0);
    std::vector<std::int16_t> plain(2 * 8 * BLOCK);
    ASSERT_EQ(zindle_render(plain.data(), 8 * BLOCK), 8 * BLOCK);
    ASSERT_EQ(load_song(song), 0);
    EXPECT_EQ(zindle_mute(2, 1), 0);
    EXPECT_EQ(zindle_mute(2, 1), 1);
    std::vector<std::int16_t> muted(plain.size());
    ASSERT_EQ(zindle_render(muted.data(), 8 * BLOCK), 8 * BLOCK);
    ASSERT_NE(muted, plain);

    // Muted after 1000 frames: the rest of that block was already made.
    ASSERT_EQ(load_song(song), 0);
    EXPECT_EQ(zindle_mute(2, 0), 0) << "a load clears the mutes";
    std::vector<std::int16_t> got(plain.size());
    ASSERT_EQ(zindle_render(got.data(), 1000), 1000u);
    EXPECT_EQ(zindle_mute(2, 1), 0);
    ASSERT_EQ(zindle_render(got.data() + 2000, 8 * BLOCK - 1000), 8 * BLOCK - 1000);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 2 * BLOCK, plain.begin()));
    EXPECT_TRUE(std::equal(got.begin() + 2 * BLOCK, got.end(), muted.begin() + 2 * BLOCK));
    // A seek keeps it, backwards and forwards.
    for (std::uint64_t at : {std::uint64_t{300}, std::uint64_t{9000}}) {
        ASSERT_EQ(zindle_seek(at), 0);
        ASSERT_EQ(zindle_render(got.data(), 4000), 4000u);
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + 8000, muted.begin() + 2 * static_cast<std::ptrdiff_t>(at)));
    }
    // Muted, then a seek forward inside the block already made (or to where
    // the song is): the mute holds from the seek's frame, not the next block.
    for (const std::uint64_t at : {std::uint64_t{1000}, std::uint64_t{1500}, std::uint64_t{BLOCK + 1500}}) {
        ASSERT_EQ(load_song(song), 0);
        ASSERT_EQ(zindle_render(got.data(), 1000), 1000u);
        if (at > BLOCK) {
            ASSERT_EQ(zindle_render(got.data(), BLOCK), BLOCK);
        }
        EXPECT_EQ(zindle_mute(2, 1), 0);
        ASSERT_EQ(zindle_seek(at), 0);
        EXPECT_EQ(zindle_frame(), at);
        ASSERT_EQ(zindle_render(got.data(), 3000), 3000u);
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + 6000, muted.begin() + 2 * static_cast<std::ptrdiff_t>(at)))
            << at;
    }
    EXPECT_EQ(zindle_mute(6, 1), ZINDLE_ERROR_ARGUMENT);
    EXPECT_EQ(zindle_mute(-1, 0), ZINDLE_ERROR_ARGUMENT);
}

TEST(LibraryJumpTo, PlaysTheEntryFromItsRowAsTheEngineDoes) {
    const auto song = busy_module({.channels = 8, .patterns = 4, .seed = 6});
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    for (const auto& [order, row] : std::vector<std::pair<int, int>>{{2, 0}, {1, 17}, {0, 63}, {3, 5}}) {
        load(song);
        auto expected = render(3);
        const int pattern = zindle::jump_to_entry(static_cast<std::uint32_t>(order), static_cast<std::uint32_t>(row));
        const auto after = render(4);
        expected.insert(expected.end(), after.begin(), after.end());

        ASSERT_EQ(load_song(song), 0);
        std::vector<std::int16_t> got(expected.size());
        ASSERT_EQ(zindle_render(got.data(), 3 * BLOCK), 3 * BLOCK);
        EXPECT_EQ(zindle_jump_to(order, row), pattern);
        EXPECT_EQ(zindle_order_entry(order), pattern);
        ASSERT_EQ(zindle_render(got.data() + 6 * BLOCK, 4 * BLOCK), 4 * BLOCK);
        EXPECT_EQ(got, expected) << order << " " << row;
    }
    EXPECT_EQ(zindle_jump_to(zindle_song_length(), 0), ZINDLE_ERROR_ARGUMENT);
    EXPECT_EQ(zindle_jump_to(-1, 0), ZINDLE_ERROR_ARGUMENT);
    EXPECT_EQ(zindle_jump_to(0, 64), ZINDLE_ERROR_ARGUMENT);
    EXPECT_EQ(zindle_jump_to(0, -1), ZINDLE_ERROR_ARGUMENT);
}

TEST(LibraryPatterns, CellsOrdersAndCountsAreTheBytesAsBuilt) {
    ModuleBuilder b(6);
    b.sample(1, {.data = square(32, 50), .volume = 40});
    b.orders({3, 0, 5, 3});
    const std::vector<std::pair<std::uint16_t, int>> periods{{1712, 0}, {856, 12}, {428, 24}, {214, 36}, {29, 71},
                                                             {453, 23}, {1, -1},   {2, -1},   {0, -1},   {4000, 0}};
    for (std::size_t i = 0; i < periods.size(); ++i)
        b.cell(5, static_cast<int>(i), static_cast<int>(i % 6),
               {.period = periods[i].first,
                .sample = static_cast<std::uint8_t>(i * 3 % 32),
                .effect = static_cast<std::uint8_t>(i),
                .param = static_cast<std::uint8_t>(0x10 * i + 1)});
    ASSERT_EQ(load_song(b.build()), 0);
    EXPECT_EQ(zindle_pattern_count(), 6);
    EXPECT_EQ(zindle_order_entry(0), 3);
    EXPECT_EQ(zindle_order_entry(2), 5);
    EXPECT_EQ(zindle_order_entry(4), 0) << "entries past the song length as stored";
    EXPECT_EQ(zindle_order_entry(128), ZINDLE_ERROR_ARGUMENT);
    struct zindle_cell cell {};
    for (std::size_t i = 0; i < periods.size(); ++i) {
        ASSERT_EQ(zindle_cell(5, static_cast<int>(i), static_cast<int>(i % 6), &cell), 0);
        EXPECT_EQ(cell.period, periods[i].first) << i;
        EXPECT_EQ(cell.note, periods[i].second) << i;
        EXPECT_EQ(cell.sample, static_cast<int>(i * 3 % 32)) << i;
        EXPECT_EQ(cell.effect, static_cast<int>(i)) << i;
        EXPECT_EQ(cell.param, static_cast<int>(0x10 * i + 1)) << i;
        EXPECT_EQ(cell.pan, 0);
    }
    ASSERT_EQ(zindle_cell(1, 0, 0, &cell), 0);
    EXPECT_EQ(cell.period + cell.sample + cell.effect + cell.param, 0);
    EXPECT_EQ(cell.note, -1);
    for (const auto& [p, r, c] :
         std::vector<std::tuple<int, int, int>>{{6, 0, 0}, {-1, 0, 0}, {0, 64, 0}, {0, -1, 0}, {0, 0, 6}, {0, 0, -1}})
        EXPECT_EQ(zindle_cell(p, r, c, &cell), ZINDLE_ERROR_ARGUMENT) << p << r << c;
    EXPECT_EQ(zindle_cell(0, 0, 0, nullptr), ZINDLE_ERROR_ARGUMENT);

    // The pan bits of the extended mode's cells.
    ModuleBuilder e(4);
    e.extended(6, 125);
    e.orders({0});
    e.cell(0, 1, 2, {.period = 428, .sample = 1, .pan_bits = 0xC0});
    e.cell(0, 2, 3, {.pan_bits = 0x40});
    ASSERT_EQ(load_song(e.build()), 0);
    ASSERT_EQ(zindle_cell(0, 1, 2, &cell), 0);
    EXPECT_EQ(cell.pan, 0xC0);
    EXPECT_EQ(cell.note, 24);
    ASSERT_EQ(zindle_cell(0, 2, 3, &cell), 0);
    EXPECT_EQ(cell.pan, 0x40);
}

TEST(LibraryChannels, StateAsHeardAtTheLastFrameGivenOutNotAsTheEngineRunsAhead) {
    // Row 0: channel 0 plays sample 1 at 428, volume 40; channel 1 sample 2
    // at 214. Row 1: channel 0's volume to 20, channel 1 is cut.
    ModuleBuilder b(4);
    b.sample(1, {.data = square(64, 60), .volume = 64, .loop_start_words = 0, .loop_length_words = 32});
    b.sample(2, {.data = square(64, 60), .volume = 50, .loop_start_words = 0, .loop_length_words = 32});
    b.orders({0});
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xC, .param = 40});
    b.cell(0, 0, 1, {.period = 214, .sample = 2});
    b.cell(0, 1, 0, {.effect = 0xC, .param = 20});
    b.cell(0, 1, 1, {.effect = 0xC, .param = 0});
    ASSERT_EQ(load_song(b.build()), 0);
    struct zindle_channel ch {};
    ASSERT_EQ(zindle_channel(0, &ch), 0);
    EXPECT_EQ(ch.sample, 0);
    EXPECT_EQ(ch.volume, 0);
    EXPECT_EQ(ch.pan, 0);
    ASSERT_EQ(zindle_channel(1, &ch), 0);
    EXPECT_EQ(ch.pan, 255);

    // Row 0's tick runs in frame 881, row 1's 6 x 882 frames later; the
    // engine has made both by then, the frames given decide.
    std::vector<std::int16_t> out(2 * 10000);
    ASSERT_EQ(zindle_render(out.data(), 881), 881u);
    ASSERT_EQ(zindle_channel(0, &ch), 0);
    EXPECT_EQ(ch.sample, 0) << "row 0 has not been heard yet";
    ASSERT_EQ(zindle_render(out.data(), 1), 1u);
    ASSERT_EQ(zindle_channel(0, &ch), 0);
    EXPECT_EQ((std::vector<int>{ch.sample, ch.volume, ch.period, ch.pan, ch.muted}),
              (std::vector<int>{1, 40, 428, 0, 0}));
    ASSERT_EQ(zindle_channel(1, &ch), 0);
    EXPECT_EQ((std::vector<int>{ch.sample, ch.volume, ch.period, ch.pan}), (std::vector<int>{2, 50, 214, 255}));
    const std::uint64_t row1 = 881 + 6 * 882;
    ASSERT_EQ(zindle_render(out.data(), row1 - zindle_frame()), row1 - 882);
    ASSERT_EQ(zindle_channel(0, &ch), 0);
    EXPECT_EQ(ch.volume, 40);
    ASSERT_EQ(zindle_render(out.data(), 1), 1u);
    ASSERT_EQ(zindle_channel(0, &ch), 0);
    EXPECT_EQ(ch.volume, 20);
    ASSERT_EQ(zindle_channel(1, &ch), 0);
    EXPECT_EQ((std::vector<int>{ch.sample, ch.volume, ch.period}), (std::vector<int>{0, 0, 0})) << "cut: silent";
    EXPECT_EQ(zindle_mute(1, 1), 0);
    ASSERT_EQ(zindle_channel(1, &ch), 0);
    EXPECT_EQ(ch.muted, 1);
    EXPECT_EQ(zindle_channel(4, &ch), ZINDLE_ERROR_ARGUMENT);
    EXPECT_EQ(zindle_channel(0, nullptr), ZINDLE_ERROR_ARGUMENT);
    // A seek back gives the state of then.
    ASSERT_EQ(zindle_seek(900), 0);
    ASSERT_EQ(zindle_channel(0, &ch), 0);
    EXPECT_EQ(ch.volume, 40);
}

// The rows as the callback saw them, and the snapshots a reader took.
struct Row {
    std::uint64_t frame;
    int order, pattern, row, passes;
};
void note_row(void* user, std::uint64_t frame, int order, int pattern, int row) {
    static_cast<std::vector<Row>*>(user)->push_back({frame, order, pattern, row, zindle_passes()});
}

TEST(LibraryPosition, AnotherThreadReadsConsistentSnapshotsWhileRendering) {
    const auto song = short_song();
    ASSERT_EQ(zindle_set_repeat(-1), 0);
    std::vector<Row> rows;
    zindle_set_row_callback(note_row, &rows);
    ASSERT_EQ(load_song(song), 0);
    const std::uint64_t frames = zindle_pass_frames() + 44100;
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::atomic<std::size_t> taken{0};
    std::vector<zindle_position> seen;
    std::thread reader([&] {
        zindle_position p{};
        started = true;
        while (!done.load(std::memory_order_relaxed))
            if (zindle_get_position(&p) == 0 && (seen.empty() || seen.back().frame != p.frame)) {
                seen.push_back(p);
                taken.store(seen.size(), std::memory_order_relaxed);
            }
    });
    while (!started) std::this_thread::yield();
    std::int16_t out[2 * 128];
    // On, past `frames`, until the reader has had its turns (a busy machine
    // may run it late), at most ten times as long.
    for (std::uint64_t given = 0; given < frames || (taken.load() < 50 && given < 10 * frames); given += 128) {
        ASSERT_EQ(zindle_render(out, 128), 128u);
        if (given % 4096 == 0) std::this_thread::yield();  // give the reader turns on one processor too
    }
    done = true;
    reader.join();
    zindle_set_row_callback(nullptr, nullptr);
    ASSERT_GT(rows.size(), 10u);
    ASSERT_GT(seen.size(), 10u);
    std::size_t r = 0;
    std::uint64_t last = 0;
    for (const zindle_position& p : seen) {
        EXPECT_EQ(p.frame % 128, 0u);
        EXPECT_GE(p.frame, last);
        last = p.frame;
        while (r + 1 < rows.size() && rows[r + 1].frame < p.frame) ++r;
        if (p.frame <= rows[0].frame) {
            EXPECT_EQ(p.row, 0);
            continue;
        }
        const Row& row = rows[r];
        EXPECT_EQ((std::vector<int>{p.order, p.pattern, p.row, p.passes}),
                  (std::vector<int>{row.order, row.pattern, row.row, row.passes}))
            << "at frame " << p.frame;
        EXPECT_EQ(p.speed, 2);
        EXPECT_EQ(p.bytes_per_tick, 3528);
        EXPECT_LT(p.tick, 2);
    }
    zindle_position p{};
    ASSERT_EQ(zindle_get_position(&p), 0);
    EXPECT_EQ(p.frame, zindle_frame());
    EXPECT_EQ(p.row, zindle_row());
    EXPECT_EQ(p.tick, zindle_tick());
    EXPECT_EQ(zindle_get_position(nullptr), ZINDLE_ERROR_ARGUMENT);
}

TEST(LibraryControls, WithoutASongEveryNewIntFunctionSaysSoButRepeatAndProbe) {
    EXPECT_EQ(zindle_load(nullptr, 0), ZINDLE_ERROR_EMPTY_SONG);
    struct zindle_cell cell {};
    struct zindle_channel channel {};
    zindle_position position{};
    EXPECT_EQ(zindle_jump_to(0, 0), ZINDLE_ERROR_NOT_LOADED);
    EXPECT_EQ(zindle_mute(0, 1), ZINDLE_ERROR_NOT_LOADED);
    EXPECT_EQ(zindle_order_entry(0), ZINDLE_ERROR_NOT_LOADED);
    EXPECT_EQ(zindle_pattern_count(), ZINDLE_ERROR_NOT_LOADED);
    EXPECT_EQ(zindle_cell(0, 0, 0, &cell), ZINDLE_ERROR_NOT_LOADED);
    EXPECT_EQ(zindle_channel(0, &channel), ZINDLE_ERROR_NOT_LOADED);
    EXPECT_EQ(zindle_get_position(&position), ZINDLE_ERROR_NOT_LOADED);
    float f[2];
    EXPECT_EQ(zindle_render_float(f, 1), 0u);
    EXPECT_EQ(zindle_set_repeat(3), 0);
    EXPECT_EQ(zindle_set_repeat(-1), 0);
    EXPECT_EQ(zindle_probe(nullptr, 100), 0);
    EXPECT_EQ(std::string(zindle_version()), "0.3.0");
    EXPECT_EQ(ZINDLE_VERSION_MAJOR * 10000 + ZINDLE_VERSION_MINOR * 100 + ZINDLE_VERSION_PATCH, 300);
}

// ---- The probe --------------------------------------------------------

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint32_t seed) {
    Lcg rng(seed);
    std::vector<std::uint8_t> out(size);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng.next(256));
    return out;
}

void put32le(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

// Files of other kinds, made here: texts, a WAV, a PNG, archives, ELF
// programs and random bytes of many sizes.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> other_files() {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files;
    std::string readme;
    for (int i = 0; i < 60; ++i)
        readme += "zindle plays modules.\nSee the manual: zindle(1), zindle-render(1).\n\t- line " + std::to_string(i) +
                  "\r\n";
    files.push_back({"text", bytes_of(readme)});
    files.push_back({"short text", bytes_of("hello, world\n")});
    std::string numbers;
    for (int i = 0; i < 2000; ++i) numbers += std::to_string(i * 7919 % 1000) + ",";
    files.push_back({"numbers without line ends", bytes_of(numbers)});
    files.push_back({"spaces", std::vector<std::uint8_t>(4000, ' ')});
    std::vector<std::uint8_t> wav = bytes_of("RIFF");
    put32le(wav, 36 + 40000);
    for (char c : std::string("WAVEfmt ")) wav.push_back(static_cast<std::uint8_t>(c));
    put32le(wav, 16);
    for (std::uint8_t b : std::initializer_list<std::uint8_t>{1, 0, 2, 0}) wav.push_back(b);
    put32le(wav, 44100);
    put32le(wav, 176400);
    for (std::uint8_t b : std::initializer_list<std::uint8_t>{4, 0, 16, 0}) wav.push_back(b);
    for (char c : std::string("data")) wav.push_back(static_cast<std::uint8_t>(c));
    put32le(wav, 40000);
    const auto noise = random_bytes(40000, 3);
    std::vector<std::uint8_t> quiet_wav = wav;
    wav.insert(wav.end(), noise.begin(), noise.end());
    files.push_back({"wav", wav});
    quiet_wav.resize(quiet_wav.size() + 40000, 0);  // digital silence
    files.push_back({"silent wav", quiet_wav});
    std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D',
                                  'R',  0,   0,   1,   0,    0,    0,    1,    0, 8, 6, 0,  0,   0};
    const auto deflated = random_bytes(3000, 5);
    png.insert(png.end(), deflated.begin(), deflated.end());
    files.push_back({"png", png});
    std::vector<std::uint8_t> zip{'P', 'K', 3, 4, 20, 0, 0, 0, 8, 0};
    zip.insert(zip.end(), deflated.begin(), deflated.end());
    files.push_back({"zip", zip});
    std::vector<std::uint8_t> gz{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    gz.insert(gz.end(), deflated.begin(), deflated.end());
    files.push_back({"gzip", gz});
    // A tar archive: a 512-byte header of names and octal numbers, the
    // file, and the zero blocks behind it.
    std::vector<std::uint8_t> tar(512, 0);
    const std::string name = "song-notes.txt";
    std::copy(name.begin(), name.end(), tar.begin());
    for (const auto& [at, text] : std::vector<std::pair<int, std::string>>{{100, "0000644"},
                                                                           {108, "0001750"},
                                                                           {116, "0001750"},
                                                                           {124, "00000003720"},
                                                                           {136, "14621042344"},
                                                                           {148, "        "},
                                                                           {156, "0"},
                                                                           {257, "ustar"},
                                                                           {263, "00"},
                                                                           {265, "user"},
                                                                           {297, "user"}})
        std::copy(text.begin(), text.end(), tar.begin() + at);
    const auto body = bytes_of(readme.substr(0, 2000));
    tar.insert(tar.end(), body.begin(), body.end());
    tar.resize(10240, 0);
    files.push_back({"tar", tar});
    std::ifstream self("/proc/self/exe", std::ios::binary);
    std::vector<std::uint8_t> elf((std::istreambuf_iterator<char>(self)), std::istreambuf_iterator<char>());
    if (!elf.empty()) {
        files.push_back({"this program", elf});
        files.push_back({"the start of this program", std::vector<std::uint8_t>(elf.begin(), elf.begin() + 5000)});
    }
    for (std::size_t size : {0u, 1u, 599u, 600u, 601u, 1083u, 1084u, 1500u, 4096u, 70000u, 1u << 20})
        for (std::uint32_t seed = 1; seed <= 20; ++seed)
            files.push_back({"random " + std::to_string(size) + "/" + std::to_string(seed), random_bytes(size, seed)});
    return files;
}

TEST(LibraryProbe, ModulesOfEveryKindProbeOneOtherFilesZero) {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> modules;
    for (const char* demo : {"demo.mod", "demo-extended.mod"})
        modules.push_back({demo, read_module_file(std::filesystem::path(ZINDLE_SOURCE_DIR) / "examples" / demo)});
    for (const int channels : channel_counts())
        for (const bool extended : {false, true})
            modules.push_back(
                {"busy " + std::to_string(channels), busy_module({.channels = channels, .extended = extended})});
    modules.push_back({"short song", short_song()});
    ModuleBuilder old;
    old.fifteen_samples();
    old.sample(1, {.data = square(3000, 50), .volume = 64, .loop_start_words = 100, .loop_length_words = 1400});
    old.sample(15, {.data = square(500, 20), .volume = 0});
    old.orders({0, 1, 0, 2});
    old.cell(2, 5, 3, {.period = 428, .sample = 15});
    const auto old_song = old.build();
    modules.push_back({"15 samples", old_song});
    modules.push_back({"15 samples cut in its samples", {old_song.begin(), old_song.begin() + 600 + 3 * 1024 + 100}});
    modules.push_back({"15 samples cut in its patterns", {old_song.begin(), old_song.begin() + 700}});
    std::vector<std::uint8_t> padded = old_song;
    padded.resize(padded.size() + 1000, 0);
    modules.push_back({"15 samples with bytes behind", padded});
    // One corpus file is no module of a kind zindle knows: no tag, sample
    // volumes of 111 to 131, finetune bytes of 83 and 128, a header that
    // declares seven times its size. It plays as noise, and probes 0.
    for (const auto& file : module_files_in(ZINDLE_CORPUS_DIR)) {
        const auto bytes = read_module_file(file);
        if (file.filename() == "area1-game2.mod")
            EXPECT_EQ(zindle_probe(bytes.data(), bytes.size()), 0);
        else
            modules.push_back({file.string(), bytes});
    }
    // Loop starts given in bytes, as some old files have them.
    ModuleBuilder bytes_loop;
    bytes_loop.fifteen_samples();
    bytes_loop.sample(2, {.data = square(1000, 50), .volume = 30, .loop_start_words = 800, .loop_length_words = 100});
    bytes_loop.orders({0});
    modules.push_back({"loop start in bytes", bytes_loop.build()});

    for (const auto& [name, bytes] : modules) {
        ASSERT_FALSE(bytes.empty()) << name;
        EXPECT_EQ(zindle_probe(bytes.data(), bytes.size()), 1) << name;
    }
    for (const auto& [name, bytes] : other_files()) EXPECT_EQ(zindle_probe(bytes.data(), bytes.size()), 0) << name;

    // Any size is read only up to itself: a tagged module cut before its
    // tag is judged as untagged, from exactly the bytes given.
    const auto demo = modules[0].second;
    for (std::size_t size = 0; size <= 1100; size += 1) {
        std::vector<std::uint8_t> cut(demo.begin(), demo.begin() + static_cast<std::ptrdiff_t>(size));
        const int result = zindle_probe(cut.data(), cut.size());  // ASan catches any read past it
        if (size >= 1084) {
            EXPECT_EQ(result, 1) << size;
        }
    }
    // Nothing is loaded or changed.
    ASSERT_EQ(load_song(short_song()), 0);
    std::vector<std::int16_t> before(2 * 3000), after(2 * 3000);
    ASSERT_EQ(zindle_render(before.data(), 3000), 3000u);
    ASSERT_EQ(zindle_seek(0), 0);
    EXPECT_EQ(zindle_probe(demo.data(), demo.size()), 1);
    ASSERT_EQ(zindle_render(after.data(), 3000), 3000u);
    EXPECT_EQ(after, before);
}

}  // namespace
