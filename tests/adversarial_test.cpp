// Modules built to break the engine: every one must load (or be refused),
// play without reading outside module_image, and keep the song position
// and every voice in a state the next tick can work from.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "engine_harness.h"
#include "mixer.h"
#include "module_builder.h"
#include "player_state.h"
#include "process_runner.h"
#include "sequencer.h"
#include "temp_dir.h"

namespace zindle::test {
namespace {

constexpr std::uint16_t C2 = 428;  // a middle period, any will do

std::uint32_t order_index() { return static_cast<std::uint32_t>(player.song.order_pos - player.song.order_table); }

// The song position and each voice as the next tick and frame need them.
void expect_valid_state() {
    const SongState& song = player.song;
    ASSERT_LT(order_index(), song.song_length);
    const std::uint32_t start = image_byte(image_offset(song.order_pos)) * song.pattern_bytes;
    ASSERT_GE(song.row_offset, start);
    ASSERT_LT(song.row_offset, start + song.pattern_bytes);
    ASSERT_EQ((song.row_offset - start) % (song.channel_count * 4u), 0u);
    const ChannelState& ch = player.channels;
    for (std::uint32_t c = 0; c < song.channel_count; ++c) {
        if (ch.sample_data[c] == nullptr) continue;
        ASSERT_GE(ch.sample_data[c], module_image) << "channel " << c;
        const std::uint64_t read_at = image_offset(ch.sample_data[c]) + (ch.pos[c] >> 12);
        // The mixer's staging may load 16 bytes at once from up to 32 bytes on.
        ASSERT_LE(read_at + 48, IMAGE_BYTES + IMAGE_TAIL_BYTES) << "channel " << c;
        if (ch.env_index[c] != 254) {
            ASSERT_LE(ch.env_index[c], 22) << "channel " << c;
        }
    }
}

// Renders buffer by buffer, checking the state after each.
std::vector<std::int16_t> play_checked(int buffers) {
    std::vector<std::int16_t> all;
    for (int i = 0; i < buffers; ++i) {
        const std::vector<std::int16_t> b = render(1);
        all.insert(all.end(), b.begin(), b.end());
        expect_valid_state();
        if (::testing::Test::HasFatalFailure()) {
            ADD_FAILURE() << "after buffer " << i;
            break;
        }
    }
    return all;
}

bool silent(const std::vector<std::int16_t>& frames) {
    for (std::int16_t v : frames)
        if (v != 0) return false;
    return true;
}

std::vector<std::int8_t> saw(std::size_t bytes) {
    std::vector<std::int8_t> d(bytes);
    for (std::size_t i = 0; i < bytes; ++i) d[i] = static_cast<std::int8_t>((i * 37) % 200 - 100);
    return d;
}

// Rows decoded, as (order entry, row), through the row tick hook.
std::vector<std::pair<std::uint32_t, std::uint32_t>> rows_seen;
void record_row(const std::uint8_t* entry, std::uint32_t row_offset) {
    const SongState& song = player.song;
    const std::uint32_t start = image_byte(image_offset(entry)) * song.pattern_bytes;
    rows_seen.emplace_back(static_cast<std::uint32_t>(entry - song.order_table),
                           (row_offset - start) / (song.channel_count * 4u));
}

struct RowTrace {
    RowTrace() {
        rows_seen.clear();
        engine_hooks.row_tick = record_row;
    }
    ~RowTrace() { engine_hooks.row_tick = nullptr; }
};

// --- Samples claiming more than the file holds -----------------------------

TEST(Adversarial, SampleHeadersClaimingFarMoreThanTheFileReadOnlyTheImageAndItsTail) {
    // Every slot claims the longest sample with the longest loop; the data
    // behind sample 1 fills the file area to its end with loud bytes, so a
    // sample placed anywhere but at the pinned end would be heard.
    ModuleBuilder b(4);
    b.sample(1,
             Sample{.data = saw(64), .length_words = 0xFFFF, .loop_start_words = 0xFFFF, .loop_length_words = 0xFFFF});
    for (int s = 2; s <= 31; ++s)
        b.sample(s,
                 Sample{.data = {}, .length_words = 0xFFFF, .loop_start_words = 0x8000, .loop_length_words = 0xFFFF});
    for (int c = 0; c < 4; ++c) b.cell(0, 0, c, Cell{.period = C2, .sample = static_cast<std::uint8_t>(28 + c)});
    std::vector<std::uint8_t> file = b.build();
    file.resize(IMAGE_BYTES, 0x7F);
    bool ok = false;
    load(file, &ok);
    ASSERT_TRUE(ok);
    for (int s = 1; s <= 31; ++s) {
        const std::uint32_t start = image_offset(player.samples.sample_data[s]);
        EXPECT_LE(start, IMAGE_BYTES) << s;
        EXPECT_LE(start + (player.samples.sample_length[s] >> 12), IMAGE_BYTES + IMAGE_TAIL_BYTES) << s;
        EXPECT_LE(player.samples.sample_loop_end[s], player.samples.sample_length[s]) << s;
    }
    // Samples 13 and up start past the file area (12 x 128 KiB): silence.
    EXPECT_TRUE(silent(play_checked(200)));

    // Sample 1 itself is in the file and loops over the loud fill.
    b.cell(0, 0, 0, Cell{.period = C2, .sample = 1});
    file = b.build();
    file.resize(IMAGE_BYTES, 0x7F);
    load(file, &ok);
    EXPECT_FALSE(silent(play_checked(200)));
}

TEST(Adversarial, LoopLongerThanItsSampleIsClampedAndThePositionStaysInTheLoop) {
    // Loop of 2 bytes at the end of a 4-byte sample, played at the
    // smallest period: the step is far longer than the loop.
    ModuleBuilder b(4);
    b.sample(1, Sample{.data = {100, -100, 90, -90}, .loop_start_words = 1, .loop_length_words = 0x7FFF});
    b.sample(2, Sample{.data = saw(8), .loop_start_words = 3, .loop_length_words = 1 + 1});
    b.cell(0, 0, 0, Cell{.period = 1, .sample = 1});
    b.cell(0, 0, 1, Cell{.period = 3, .sample = 2});
    b.cell(0, 0, 2, Cell{.period = 3, .sample = 2, .effect = 0, .param = 0xFF});  // arpeggio shifts
    bool ok = false;
    load(b.build(), &ok);
    ASSERT_TRUE(ok);
    for (int i = 0; i < 50; ++i) {
        play_checked(1);
        const ChannelState& ch = player.channels;
        for (int c = 0; c < 3; ++c) {
            if (ch.play_state[c] != STATE_LOOPING) continue;
            const std::uint32_t length = player.samples.sample_loop_length[ch.sample_num[c]];
            ASSERT_LT(ch.pos[c], ch.end_pos[c]) << "channel " << c;
            ASSERT_GE(ch.pos[c], ch.end_pos[c] - length) << "channel " << c;
        }
    }
}

TEST(Adversarial, SampleOffsetFarPastTheSampleEndStopsOrLoopsInsideTheSample) {
    ModuleBuilder b(4);
    b.sample(1, Sample{.data = saw(64)});
    b.sample(2, Sample{.data = saw(64), .loop_start_words = 16, .loop_length_words = 16});
    // The last sample of the file, so the offset reaches past the image.
    b.sample(31, Sample{.data = saw(64), .loop_start_words = 8, .loop_length_words = 8});
    b.cell(0, 0, 0, Cell{.period = C2, .sample = 1, .effect = 9, .param = 0xFF});
    b.cell(0, 0, 1, Cell{.period = C2, .sample = 2, .effect = 9, .param = 0xFF});
    b.cell(0, 0, 2, Cell{.period = C2, .sample = 31, .effect = 9, .param = 0xFF});
    bool ok = false;
    load(b.build(), &ok);
    ASSERT_TRUE(ok);
    play_checked(20);
    const ChannelState& ch = player.channels;
    EXPECT_EQ(ch.play_state[0], STATE_STOPPED) << "an unlooped sample ends at once";
    for (int c = 1; c <= 2; ++c) {
        ASSERT_EQ(ch.play_state[c], STATE_LOOPING) << c;
        const std::uint8_t s = ch.sample_num[c];
        EXPECT_EQ(ch.end_pos[c], player.samples.sample_loop_end[s]) << c;
        EXPECT_LT(ch.pos[c], ch.end_pos[c]) << c;
        EXPECT_GE(ch.pos[c], ch.end_pos[c] - player.samples.sample_loop_length[s]) << c;
    }
}

// --- Order list and patterns ------------------------------------------------

TEST(Adversarial, SongLength255ReadsOrderBytesPastTheListAndStillWraps) {
    ModuleBuilder b(4);
    b.song_length(255);
    b.sample(1, Sample{.data = saw(64), .loop_start_words = 0, .loop_length_words = 32});
    b.cell(0, 0, 0, Cell{.period = C2, .sample = 1, .effect = 0xF, .param = 0xFF});  // fastest tempo
    b.cell(0, 0, 1, Cell{.effect = 0xF, .param = 1});
    b.cell(0, 0, 2, Cell{.effect = 0xD, .param = 0});  // one row per entry of pattern 0
    bool ok = false;
    load(b.build(), &ok);
    ASSERT_TRUE(ok);
    RowTrace trace;
    // Entries past 127 name patterns from the tag and the pattern bytes
    // behind the list, up to 64 rows each at one tick a row.
    std::uint32_t highest = 0;
    bool wrapped = false;
    for (int i = 0; i < 9000 && !wrapped; ++i) {
        play_checked(1);
        if (::testing::Test::HasFatalFailure()) return;
        for (const auto& [entry, row] : rows_seen) {
            if (entry > highest) highest = entry;
            if (highest == 254 && entry == 0) wrapped = true;
        }
        rows_seen.clear();
    }
    EXPECT_EQ(highest, 254u);
    EXPECT_TRUE(wrapped);
}

TEST(Adversarial, PatternNumbersBeyondTheImageReadAsEmptyRows) {
    // 32 channels, pattern 255: 255 x 8 KiB from the pattern area is past
    // the file area; its rows read as zero and sample data is pinned.
    ModuleBuilder b(32);
    b.sample(1, Sample{.data = saw(64), .loop_start_words = 0, .loop_length_words = 32});
    b.orders({0, 255, 200, 0});
    b.cell(0, 0, 0, Cell{.period = C2, .sample = 1});
    b.cell(0, 0, 1, Cell{.effect = 0xF, .param = 1});
    b.cell(0, 1, 2, Cell{.effect = 0xB, .param = 1});
    std::vector<std::uint8_t> file = b.build();
    ASSERT_GT(file.size(), IMAGE_BYTES);
    bool ok = false;
    load(file, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(image_offset(player.samples.sample_data[1]), IMAGE_BYTES);
    RowTrace trace;
    play_checked(300);
    // Rows 0, 1 of entry 0, the 64 empty rows of entries 1 and 2, and so on.
    ASSERT_GE(rows_seen.size(), 140u);
    EXPECT_EQ(rows_seen[0], std::make_pair(0u, 0u));
    EXPECT_EQ(rows_seen[1], std::make_pair(0u, 1u));
    EXPECT_EQ(rows_seen[2], std::make_pair(1u, 0u));
    EXPECT_EQ(rows_seen[65], std::make_pair(1u, 63u));
    EXPECT_EQ(rows_seen[66], std::make_pair(2u, 0u));
    EXPECT_EQ(rows_seen[130], std::make_pair(3u, 0u));
    EXPECT_EQ(rows_seen[131], std::make_pair(3u, 1u));
    EXPECT_EQ(rows_seen[132], std::make_pair(1u, 0u));
}

// Each position command that would leave the song, with the rows it must
// lead to.
struct PositionCase {
    const char* name;
    std::uint8_t effect;
    std::uint8_t param;
    int entry;                                                      // entry of pattern whose row 2 holds the command
    std::vector<std::pair<std::uint32_t, std::uint32_t>> expected;  // rows 3.. onwards
};

TEST(Adversarial, PositionCommandsLeavingTheSongLandOnARowOfIt) {
    const std::vector<PositionCase> cases = {
        {"D99 goes to row 0 of the next entry", 0xD, 0x99, 0, {{1, 0}, {1, 1}}},
        {"DFF in the last entry wraps to entry 0", 0xD, 0xFF, 2, {{0, 0}, {0, 1}}},
        {"D64 (row 64) is past the last row", 0xD, 0x64, 1, {{2, 0}}},
        {"B past the song length restarts at entry 0", 0xB, 0x03, 1, {{0, 0}, {0, 1}}},
        {"B7F restarts at entry 0", 0xB, 0x7F, 0, {{0, 0}}},
        {"BFF restarts at entry 0", 0xB, 0xFF, 2, {{0, 0}}},
    };
    for (const PositionCase& pc : cases) {
        SCOPED_TRACE(pc.name);
        ModuleBuilder b(4);
        b.orders({0, 1, 2});
        b.cell(0, 0, 0, Cell{.effect = 0xF, .param = 1});
        b.cell(pc.entry, 2, 1, Cell{.effect = pc.effect, .param = pc.param});
        b.cell(2, 63, 0, Cell{.effect = 0xF, .param = 1});
        load(b.build());
        RowTrace trace;
        // Start at the entry holding the command.
        player.song.order_pos = player.song.order_table + pc.entry;
        player.song.row_offset = player.song.order_pos[0] * player.song.pattern_bytes;
        player.song.loop_row_offset = player.song.row_offset;
        play_checked(40);
        if (::testing::Test::HasFatalFailure()) return;
        ASSERT_GE(rows_seen.size(), 3 + pc.expected.size());
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_EQ(rows_seen[i],
                      std::make_pair(static_cast<std::uint32_t>(pc.entry), static_cast<std::uint32_t>(i)));
        for (std::size_t i = 0; i < pc.expected.size(); ++i) EXPECT_EQ(rows_seen[3 + i], pc.expected[i]) << i;
    }
}

TEST(Adversarial, PatternLoopAfterAnOrderJumpLoopsToRowZeroOfItsOwnPattern) {
    // Entry 0 sets the loop start at its row 1 and jumps to entry 1 from
    // row 2; entry 1 loops once at row 3 without an E60 of its own.
    ModuleBuilder b(4);
    b.orders({0, 1});
    b.cell(0, 0, 0, Cell{.effect = 0xF, .param = 1});
    b.cell(0, 1, 1, Cell{.effect = 0xE, .param = 0x60});
    b.cell(0, 2, 1, Cell{.effect = 0xB, .param = 1});
    b.cell(1, 3, 1, Cell{.effect = 0xE, .param = 0x61});
    load(b.build());
    RowTrace trace;
    play_checked(10);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}};
    ASSERT_GE(rows_seen.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(rows_seen[i], expected[i]) << i;
}

// --- Note delays -------------------------------------------------------------

TEST(Adversarial, NoteDelaysWrappingPastZeroAfterASampleSwitchStayInsideTheImage) {
    // A delayed note, then delays without a note that take the count below
    // zero (241..255), with sample numbers changed in between, on a channel
    // that has played before and on one that never has.
    for (int second : {0xE1, 0xE9, 0xEF}) {
        for (int played_before = 0; played_before < 2; ++played_before) {
            SCOPED_TRACE(std::to_string(second) + (played_before ? " after a note" : " first note"));
            ModuleBuilder b(4);
            b.sample(1, Sample{.data = saw(64), .loop_start_words = 0, .loop_length_words = 32});
            b.sample(2, Sample{.data = saw(2)});
            b.cell(0, 0, 3, Cell{.effect = 0xF, .param = 2});
            if (played_before) b.cell(0, 0, 0, Cell{.period = C2, .sample = 1});
            b.cell(0, 1, 0, Cell{.period = C2, .sample = 1, .effect = 0xE, .param = 0xD9});
            b.cell(0, 2, 0, Cell{.sample = 2, .effect = 0xE, .param = static_cast<std::uint8_t>(0xD0 | (second & 15))});
            b.cell(0, 3, 0, Cell{.effect = 0xE, .param = 0xDF});
            b.cell(0, 4, 0, Cell{.sample = 1, .effect = 0xE, .param = 0xDF});
            b.cell(0, 5, 0, Cell{.effect = 0xE, .param = 0xDF});
            load(b.build());
            play_checked(40);
        }
    }
}

// --- Envelopes -----------------------------------------------------------------

std::array<std::uint8_t, 32> record(std::initializer_list<std::uint8_t> envelope, std::uint8_t env_loop) {
    std::array<std::uint8_t, 32> r{};
    std::size_t i = 0;
    for (std::uint8_t v : envelope) r[i++] = v;
    r[26] = env_loop;
    return r;
}

// One note of sample 1 with the given record, in the extended mode (the
// records cover pattern 0, so the song plays pattern 1).
void load_enveloped(const std::array<std::uint8_t, 32>& rec) {
    ModuleBuilder b(4);
    b.extended(6, 125);
    b.orders({1});
    b.sample(1, Sample{.data = saw(64), .loop_start_words = 0, .loop_length_words = 32});
    b.cell(1, 0, 0, Cell{.period = C2, .sample = 1});
    b.instrument(1, rec);
    bool ok = false;
    load(b.build(), &ok);
    ASSERT_TRUE(ok);
}

TEST(Adversarial, EnvelopeLoopTargetsOutsideTheRecordEndTheEnvelopeAtTheMarkerLevel) {
    // (2, +10), then a marker to 40 whose loop leaves the twelve pairs:
    // 10, 20, then 40 held for the rest of the note.
    for (int loop : {11, 12, 50, 126, 139, 200, 254}) {
        const auto env_loop = static_cast<std::uint8_t>(loop);
        SCOPED_TRACE(static_cast<int>(env_loop));
        load_enveloped(record({2, 10, 0x80, 40}, env_loop));
        play_checked(30);
        EXPECT_EQ(player.channels.env_volume[0], 40);
        EXPECT_EQ(player.channels.env_index[0], 22);
    }
}

TEST(Adversarial, EnvelopeLoopingThroughZeroLengthPairsEndsWithinTheTick) {
    // Pair 0 lasts no tick, pair 1 is a marker looping to pair 0: nothing
    // is ever applied. The walk ends, holding the marker's level.
    for (int loop : {255, 127}) {
        const auto env_loop = static_cast<std::uint8_t>(loop);
        SCOPED_TRACE(static_cast<int>(env_loop));
        load_enveloped(record({0, 1, 0x80, 0x30}, env_loop));
        play_checked(30);
        EXPECT_EQ(player.channels.env_volume[0], 0x30);
        EXPECT_EQ(player.channels.env_index[0], 22);
    }
    // A circle that starts after the first marker: pair 0 passes to the
    // marker at pair 1 (9), which continues at pair 2 (no tick), then the
    // marker at pair 3 (0x20) loops back to pair 2.
    load_enveloped(record({0, 5, 0x80, 9, 0, 7, 0x80, 0x20}, 1));
    play_checked(30);
    EXPECT_EQ(player.channels.env_volume[0], 0x20);
    EXPECT_EQ(player.channels.env_index[0], 22);
}

// --- Extended header ------------------------------------------------------------

TEST(Adversarial, ExtendedHeaderTempo0KeepsTheDefaultTempoAndSpeed0PlaysAsSpeed1) {
    auto song = [](std::uint8_t speed, std::uint8_t tempo) {
        ModuleBuilder b(4);
        b.extended(speed, tempo);
        b.orders({1});
        b.sample(1, Sample{.data = saw(64), .loop_start_words = 0, .loop_length_words = 32});
        for (int row = 0; row < 64; row += 3)
            b.cell(1, row, row % 4,
                   Cell{.period = static_cast<std::uint16_t>(C2 + row), .sample = 1, .effect = 0xA, .param = 0x01});
        return b.build();
    };
    bool ok = false;
    load(song(0, 0), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(player.song.bytes_per_tick, 441000u / 125);
    const std::vector<std::int16_t> zero = play_checked(120);
    load(song(1, 125), &ok);
    const std::vector<std::int16_t> one = render(120);
    EXPECT_TRUE(zero == one);
    load(song(6, 125), &ok);
    EXPECT_FALSE(zero == render(120)) << "the comparison can tell speeds apart";
}

// --- Files of awkward sizes ----------------------------------------------------------

TEST(Adversarial, TruncatedAndEmptyFilesLoadOrAreRefusedWithoutLeavingTheImage) {
    ModuleBuilder b(4);
    b.sample(1, Sample{.data = saw(64), .loop_start_words = 0, .loop_length_words = 32});
    b.cell(0, 0, 0, Cell{.period = C2, .sample = 1});
    const std::vector<std::uint8_t> full = b.build();
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1083}, std::size_t{1084}}) {
        SCOPED_TRACE(size);
        std::vector<std::uint8_t> file(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        bool ok = true;
        load(file, &ok);
        // Up to 1083 bytes the tag is incomplete: the old 15-sample layout,
        // whose song length byte (470) is a zero byte of a sample header.
        if (size <= 1083) {
            EXPECT_FALSE(ok);
            continue;
        }
        ASSERT_TRUE(ok);
        EXPECT_EQ(player.song.sample_slots, 32);
        play_checked(30);
    }
    // Noise of every size around the header.
    std::vector<std::uint8_t> noise(1084);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 131 + 7);
    for (std::size_t size : {std::size_t{1}, std::size_t{1083}, std::size_t{1084}}) {
        SCOPED_TRACE(size);
        bool ok = false;
        load(std::vector<std::uint8_t>(noise.begin(), noise.begin() + static_cast<std::ptrdiff_t>(size)), &ok);
        if (ok) play_checked(30);
    }
}

std::string bin(const char* name) { return std::string(ZINDLE_BIN_DIR) + "/" + name; }

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(Adversarial, RendererDropsTheBytesPastTheFileArea) {
    ModuleBuilder b(4);
    b.sample(1, Sample{.data = saw(64), .loop_start_words = 0, .loop_length_words = 32});
    b.cell(0, 0, 0, Cell{.period = C2, .sample = 1});
    std::vector<std::uint8_t> file = b.build();
    file.resize(IMAGE_BYTES, 0);
    // The one byte past the area is a sample byte if it were read.
    file.push_back(0x7F);
    const std::string dir = make_temp_dir();
    write_file(dir + "/big.mod", file);
    const ProgramResult r = run_program({bin("zindle-render"), "--buffers", "8", dir + "/big.mod", dir + "/out.raw"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    file.pop_back();
    load(file);
    const std::vector<std::int16_t> expected = render(8);
    const std::vector<std::uint8_t> got = read_file(dir + "/out.raw");
    ASSERT_EQ(got.size(), expected.size() * 2);
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size()), 0);
}

TEST(Adversarial, RendererRefusesADirectoryAndAnEmptyDeviceWithOneLine) {
    const std::string dir = make_temp_dir();
    for (const std::string& path : {dir, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        const ProgramResult r = run_program({bin("zindle-render"), "--buffers", "1", path, dir + "/out.raw"});
        EXPECT_EQ(r.exit_code, 1);
        // The loader's own report may come first; the refusal is one line, last.
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.back(), '\n');
        const std::size_t last = r.err.rfind('\n', r.err.size() - 2);
        const std::string line = r.err.substr(last == std::string::npos ? 0 : last + 1);
        EXPECT_EQ(line.rfind("zindle-render: ", 0), 0u) << r.err;
        EXPECT_NE(line.find(path), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("zindle-render: "), r.err.size() - line.size()) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

}  // namespace
}  // namespace zindle::test
