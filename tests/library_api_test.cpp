// libzindle through its C header only: renders of any size, exact seeks,
// reloads, the report and errors, the Z jump and the position fields.
// The expected frames come from the engine linked into this test program
// on its own (load, then whole buffers), which is what zindle-render does;
// the library under test is the shared libzindle, with its own engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "library_api_c.h"
#include "mixer.h"
#include "module_builder.h"
#include "process_runner.h"
#include "sequencer.h"
#include "temp_dir.h"
#include "zindle.h"

using namespace zindle::test;

namespace {

constexpr std::size_t BUFFER_FRAMES = 2048;

std::vector<std::int8_t> square(int length, int level) {
    std::vector<std::int8_t> wave(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
        wave[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(i < length / 2 ? level : -level);
    return wave;
}

// Two patterns that use most of what moves the song: notes, vibrato (the
// shared modulation phase), a speed and a tempo change, a pattern delay,
// a non-looping sample that runs out, and a jump back to entry 1.
std::vector<std::uint8_t> busy_song() {
    ModuleBuilder b(4);
    b.sample(1, {.data = square(64, 70), .volume = 50, .loop_start_words = 0, .loop_length_words = 32});
    b.sample(2, {.data = square(900, 40), .volume = 64});
    b.orders({0, 1, 0});
    for (int row = 0; row < 64; row += 4) {
        b.cell(0, row, 0, {.period = amiga_period(2, row % 12), .sample = 1});
        b.cell(1, row, 1, {.period = amiga_period(3, (row / 4) % 12), .sample = 2, .effect = 4, .param = 0x38});
    }
    b.cell(0, 2, 2, {.period = 214, .sample = 2, .effect = 0xF, .param = 3});
    b.cell(0, 9, 3, {.effect = 0xF, .param = 150});
    b.cell(0, 20, 3, {.effect = 0xE, .param = 0xE2});
    b.cell(1, 10, 2, {.period = 160, .sample = 1, .effect = 0, .param = 0x47});
    b.cell(1, 40, 3, {.effect = 0xF, .param = 5});
    b.cell(0, 63, 3, {.effect = 0xB, .param = 1});  // the last entry's end goes back to entry 1
    return b.build();
}

// What zindle-render writes for `file`: whole engine buffers from a load.
std::vector<std::int16_t> engine_frames(const std::vector<std::uint8_t>& file, int buffers) {
    load(file);
    return render(buffers);
}

std::vector<std::int16_t> library_frames(std::size_t frames, std::size_t chunk) {
    std::vector<std::int16_t> out(frames * 2);
    EXPECT_EQ(render_in_chunks(out.data(), frames, chunk), frames);
    return out;
}

int load_song(const std::vector<std::uint8_t>& file) { return zindle_load(file.data(), file.size()); }

std::vector<std::int16_t> slice(const std::vector<std::int16_t>& frames, std::size_t first, std::size_t count) {
    return {frames.begin() + static_cast<std::ptrdiff_t>(2 * first),
            frames.begin() + static_cast<std::ptrdiff_t>(2 * (first + count))};
}

TEST(LibraryRender, EveryChunkSizeGivesTheRenderersFrames) {
    const auto song = busy_song();
    const auto expected = engine_frames(song, 40);
    const std::size_t frames = expected.size() / 2;
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1000}, std::size_t{2047}, BUFFER_FRAMES,
                                    std::size_t{2049}, std::size_t{4096}, std::size_t{30011}, frames}) {
        ASSERT_EQ(load_song(song), 0);
        EXPECT_EQ(library_frames(frames, chunk), expected) << "chunks of " << chunk;
    }
}

TEST(LibraryRender, MixedChunkSizesAndZeroCountsChangeNothing) {
    const auto song = busy_song();
    const auto expected = engine_frames(song, 40);
    ASSERT_EQ(load_song(song), 0);
    std::vector<std::int16_t> out(expected.size());
    std::size_t done = 0;
    const std::size_t sizes[] = {0, 1, 2, 3, 881, 882, 5, 2048, 0, 4095, 13};
    for (std::size_t i = 0; done < expected.size() / 2; ++i) {
        const std::size_t want = std::min(sizes[i % std::size(sizes)], expected.size() / 2 - done);
        ASSERT_EQ(zindle_render(out.data() + 2 * done, want), want);
        done += want;
    }
    EXPECT_EQ(out, expected);
}

TEST(LibraryRender, TheDemoEqualsWhatZindleRenderWrote) {
    const std::filesystem::path demo = ZINDLE_SOURCE_DIR "/examples/demo.mod";
    std::ifstream in(demo, std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(file.empty());
    const std::string dir = make_temp_dir();
    const auto run = run_program({ZINDLE_BIN_DIR "/zindle-render", "--buffers", "30", demo.string(), "out.raw"}, dir);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    std::ifstream raw(dir + "/out.raw", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(raw), std::istreambuf_iterator<char>()};
    ASSERT_EQ(bytes.size(), 30 * BUFFER_FRAMES * 4);
    ASSERT_EQ(load_song(file), 0);
    const auto frames = library_frames(30 * BUFFER_FRAMES, 777);
    EXPECT_EQ(std::memcmp(frames.data(), bytes.data(), bytes.size()), 0);
    EXPECT_EQ(std::string(zindle_report()), run.err);
    std::filesystem::remove_all(dir);
}

TEST(LibrarySeek, SeekThenRenderEqualsTheStraightRenderFromThere) {
    const auto song = busy_song();
    const auto straight = engine_frames(song, 60);
    const std::size_t total = straight.size() / 2;
    ASSERT_EQ(load_song(song), 0);
    const std::size_t count = 3000;
    // Forward and backward, inside a buffer, on its edges, before the first
    // tick and deep into the second pass (the song goes back at its end).
    for (const std::uint64_t at : {std::uint64_t{100000}, std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{881},
                                   std::uint64_t{882}, std::uint64_t{2047}, std::uint64_t{2048}, std::uint64_t{2049},
                                   std::uint64_t{55555}, std::uint64_t{55556}, std::uint64_t{total - count}}) {
        std::vector<std::int16_t> out(count * 2);
        ASSERT_EQ(seek_and_render(at, out.data(), count), 0);
        EXPECT_EQ(out, slice(straight, at, count)) << "seek to " << at;
        EXPECT_EQ(zindle_frame(), at + count);
    }
}

TEST(LibrarySeek, LongSeeksBothWaysAcrossTheKeptStates) {
    // Over 50 s, so that seeks pass the states kept every 512 buffers.
    const auto song = busy_song();
    const auto straight = engine_frames(song, 1100);
    const std::size_t total = straight.size() / 2;
    ASSERT_EQ(load_song(song), 0);
    const std::size_t count = 2500;
    const std::uint64_t kept = 540 * BUFFER_FRAMES;
    std::vector<std::int16_t> out(count * 2);
    for (const std::uint64_t at : {std::uint64_t{total - count}, kept - 1, kept, kept + 1, std::uint64_t{3},
                                   2 * kept + 7, 2 * kept - 2048, kept + 5000, std::uint64_t{total - count}}) {
        ASSERT_EQ(seek_and_render(at, out.data(), count), 0);
        EXPECT_EQ(out, slice(straight, at, count)) << "seek to " << at;
    }
    // After a jump the kept states still hold for the song as loaded.
    ASSERT_GE(zindle_jump(), 0);
    ASSERT_EQ(zindle_render(out.data(), count), count);
    ASSERT_EQ(seek_and_render(kept + 100, out.data(), count), 0);
    EXPECT_EQ(out, slice(straight, kept + 100, count));
}

TEST(LibrarySeek, ForgetsZJumpsAndRestoresThePosition) {
    const auto song = busy_song();
    const auto straight = engine_frames(song, 20);
    ASSERT_EQ(load_song(song), 0);
    std::vector<std::int16_t> out(5000 * 2);
    ASSERT_EQ(zindle_render(out.data(), 5000), 5000u);
    const int order = zindle_order(), row = zindle_row(), tick = zindle_tick();
    ASSERT_GE(zindle_jump(), 0);
    ASSERT_EQ(zindle_render(out.data(), 5000), 5000u);
    ASSERT_EQ(zindle_seek(5000), 0);
    EXPECT_EQ(zindle_order(), order);
    EXPECT_EQ(zindle_row(), row);
    EXPECT_EQ(zindle_tick(), tick);
    ASSERT_EQ(zindle_render(out.data(), 5000), 5000u);
    EXPECT_EQ(out, slice(straight, 5000, 5000));
}

// A song whose 15-sample layout leaves slots 16 to 31 without headers; its
// cells still name sample 20 and use vibrato, which reads the shared
// modulation phase. A song played before must leave no trace in either.
std::vector<std::uint8_t> old_layout_song() {
    ModuleBuilder b(4);
    b.fifteen_samples();
    b.sample(1, {.data = square(40, 60), .volume = 64, .loop_start_words = 0, .loop_length_words = 20});
    b.orders({0});
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 4, .param = 0x4F});
    b.cell(0, 1, 1, {.period = 300, .sample = 20});
    b.cell(0, 3, 2, {.period = 2, .sample = 1});
    return b.build();
}

TEST(LibraryLoad, ASecondLoadPlaysAsAFreshOne) {
    const auto first = busy_song();
    ModuleBuilder builder(4);
    builder.sample(20, {.data = square(100, 90), .volume = 64, .loop_start_words = 0, .loop_length_words = 50});
    builder.orders({0});
    builder.cell(0, 0, 0, {.period = 300, .sample = 20});
    const auto other = builder.build();
    const auto second = old_layout_song();
    const auto expected = engine_frames(second, 10);

    for (const auto* before : {&first, &other}) {
        ASSERT_EQ(load_song(*before), 0);
        std::vector<std::int16_t> out(33333 * 2);
        ASSERT_EQ(zindle_render(out.data(), 33333), 33333u);
        zindle_jump();
        ASSERT_EQ(load_song(second), 0);
        EXPECT_EQ(zindle_frame(), 0u);
        EXPECT_EQ(library_frames(10 * BUFFER_FRAMES, 999), expected);
    }
}

TEST(LibraryLoad, ReportAndErrors) {
    EXPECT_EQ(touch_every_function(), 34) << "with nothing loaded";

    auto song = ModuleBuilder(8)
                    .orders({0})
                    .sample(3, {.data = square(10, 5), .loop_start_words = 4, .loop_length_words = 9})
                    .build();
    ASSERT_EQ(load_song(song), 0);
    EXPECT_EQ(std::string(zindle_report()),
              "channels: 00000008 \r\nsamples: 0000001F \r\n"
              "(why is my loop longer than the sample?\?\?) 00000003 \r\n"
              "(why does my loop run beyond end of sample?\?\?) 00000003 \r\n");

    // A song length of 0: an error, the report kept, nothing loaded.
    song[950] = 0;
    EXPECT_EQ(load_song(song), ZINDLE_ERROR_EMPTY_SONG);
    EXPECT_EQ(std::string(zindle_report()).substr(0, 21), "channels: 00000008 \r\n");
    std::int16_t frame[2] = {7, 7};
    EXPECT_EQ(zindle_render(frame, 1), 0u);
    EXPECT_EQ(frame[0], 7);
    EXPECT_EQ(zindle_seek(10), ZINDLE_ERROR_NOT_LOADED);
    EXPECT_EQ(zindle_jump(), ZINDLE_ERROR_NOT_LOADED);
    EXPECT_EQ(zindle_row(), ZINDLE_ERROR_NOT_LOADED);

    // An empty file is a song of length 0 in the 15-sample layout.
    EXPECT_EQ(zindle_load(nullptr, 0), ZINDLE_ERROR_EMPTY_SONG);
    EXPECT_EQ(std::string(zindle_report()), "channels: 00000004 \r\nsamples: 0000000F \r\n");
    EXPECT_EQ(zindle_load(nullptr, 5), ZINDLE_ERROR_NULL_DATA);
    EXPECT_EQ(std::string(zindle_report()), "");

    const int codes[] = {ZINDLE_ERROR_NULL_DATA, ZINDLE_ERROR_EMPTY_SONG, ZINDLE_ERROR_NOT_LOADED,
                         ZINDLE_ERROR_ARGUMENT};
    for (const int a : codes) {
        EXPECT_STRNE(zindle_strerror(a), zindle_strerror(1234));
        for (const int b : codes)
            if (a != b) {
                EXPECT_STRNE(zindle_strerror(a), zindle_strerror(b));
            }
    }
    EXPECT_STREQ(zindle_version(), ZINDLE_VERSION);
}

TEST(LibraryLoad, OnlyTheImageSizedStartOfTheDataCounts) {
    auto song = busy_song();
    const auto expected = engine_frames(song, 4);
    song.resize(ZINDLE_IMAGE_BYTES + 5000, 0x55);
    ASSERT_EQ(load_song(song), 0);
    EXPECT_EQ(library_frames(4 * BUFFER_FRAMES, 4096), expected);
}

TEST(LibraryInfo, TitleNamesCountsAndTheFirstPass) {
    auto song = busy_song();
    std::memcpy(song.data(), "twenty-byte title!!!", 20);
    std::memcpy(song.data() + 20, "first", 5);
    std::memcpy(song.data() + 50, "a name of 22 bytes....", 22);
    ASSERT_EQ(load_song(song), 0);
    EXPECT_STREQ(zindle_title(), "twenty-byte title!!!");
    EXPECT_STREQ(zindle_sample_name(1), "first");
    EXPECT_STREQ(zindle_sample_name(2), "a name of 22 bytes....");
    EXPECT_STREQ(zindle_sample_name(31), "");
    EXPECT_EQ(zindle_sample_name(0), nullptr);
    EXPECT_EQ(zindle_sample_name(32), nullptr);
    EXPECT_EQ(zindle_channel_count(), 4);
    EXPECT_EQ(zindle_sample_count(), 31);
    EXPECT_EQ(zindle_extended_mode(), 0);
    EXPECT_EQ(zindle_song_length(), 3);
    // The B01 at the end of entry 2 goes back to entry 1, row 0.
    EXPECT_EQ(zindle_return_order(), 1);
    EXPECT_EQ(zindle_return_row(), 0);

    ASSERT_EQ(load_song(old_layout_song()), 0);
    EXPECT_EQ(zindle_sample_count(), 15);
    EXPECT_EQ(zindle_sample_name(16), nullptr);
    // One pattern at speed 6 and tempo 125: 64 rows of 6 ticks of 882
    // frames, after the first tick's 881; the song then starts again.
    EXPECT_EQ(zindle_pass_frames(), 881u + 64u * 6u * 882u);
    EXPECT_EQ(zindle_return_order(), 0);
    EXPECT_EQ(zindle_return_row(), 0);

    auto extended = ModuleBuilder(4).orders({0}).extended(3, 250).build();
    ASSERT_EQ(load_song(extended), 0);
    EXPECT_EQ(zindle_extended_mode(), 1);
    // 64 rows of 3 ticks of 1764 bytes (441 frames).
    EXPECT_EQ(zindle_pass_frames(), 440u + 64u * 3u * 441u);
}

struct Seen {
    std::uint64_t frame;
    int order, pattern, row;
    bool operator==(const Seen&) const = default;
};

void remember(void* user, std::uint64_t frame, int order, int pattern, int row) {
    static_cast<std::vector<Seen>*>(user)->push_back({frame, order, pattern, row});
}

TEST(LibraryPosition, FieldsFollowTheRowsOfAKnownSong) {
    // Entry 0 plays pattern 2, entry 1 pattern 1. Row 1 of pattern 2 sets
    // speed 3 and row 2 tempo 250 (1764 bytes, 441 frames a tick).
    ModuleBuilder b(4);
    b.orders({2, 1});
    b.cell(2, 1, 0, {.effect = 0xF, .param = 3});
    b.cell(2, 2, 1, {.effect = 0xF, .param = 250});
    const auto song = b.build();
    std::vector<Seen> seen;
    zindle_set_row_callback(remember, &seen);
    ASSERT_EQ(load_song(song), 0);

    EXPECT_EQ(zindle_order(), 0);
    EXPECT_EQ(zindle_pattern(), 2);
    EXPECT_EQ(zindle_row(), 0);
    EXPECT_EQ(zindle_tick(), 0);
    EXPECT_EQ(zindle_speed(), 6);
    EXPECT_EQ(zindle_bytes_per_tick(), 3528);

    std::vector<std::int16_t> out(2 * 20000);
    // Row 0 starts in frame 881, its ticks 882 frames apart.
    zindle_render(out.data(), 881 + 882 * 2);
    EXPECT_EQ(zindle_row(), 0);
    EXPECT_EQ(zindle_tick(), 1);
    zindle_render(out.data(), 1);
    EXPECT_EQ(zindle_tick(), 2);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (Seen{881, 0, 2, 0}));
    // Row 1 at 881 + 6 x 882, with speed 3 from then on.
    zindle_render(out.data(), 881 + 6 * 882 - zindle_frame());
    EXPECT_EQ(zindle_row(), 0);
    zindle_render(out.data(), 1);
    EXPECT_EQ(zindle_row(), 1);
    EXPECT_EQ(zindle_speed(), 3);
    EXPECT_EQ(zindle_tick(), 0);
    // Row 2 three ticks later; its tempo holds from its second tick.
    const std::uint64_t row2 = 881 + 9 * 882;
    zindle_render(out.data(), row2 + 1 - zindle_frame());
    EXPECT_EQ(zindle_row(), 2);
    EXPECT_EQ(zindle_bytes_per_tick(), 1764);
    zindle_render(out.data(), 441);
    EXPECT_EQ(zindle_tick(), 1);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], (Seen{row2, 0, 2, 2}));

    // Entry 1 (pattern 1) after 64 rows; the row after its last is entry 0
    // again, which ends the first pass.
    const std::uint64_t entry1 = row2 + 62 * 3 * 441;
    EXPECT_EQ(zindle_pass_frames(), entry1 + 64 * 3 * 441);
    ASSERT_EQ(zindle_seek(entry1 + 1), 0);
    EXPECT_EQ(zindle_order(), 1);
    EXPECT_EQ(zindle_pattern(), 1);
    EXPECT_EQ(zindle_row(), 0);
    EXPECT_EQ(zindle_passes(), 0);
    EXPECT_EQ(seen.size(), 3u) << "no callbacks while seeking";
    ASSERT_EQ(zindle_seek(zindle_pass_frames()), 0);
    EXPECT_EQ(zindle_passes(), 0);
    zindle_render(out.data(), 1);
    EXPECT_EQ(zindle_passes(), 1);
    EXPECT_EQ(zindle_order(), 0);
    EXPECT_EQ(seen.back(), (Seen{zindle_pass_frames(), 0, 2, 0}));
    zindle_set_row_callback(nullptr, nullptr);
}

TEST(LibraryJump, ZGivesTheNextPatternAndPlaysItAsThePlayerDoes) {
    const auto song = busy_song();
    // The player's way: after 3 buffers the key, then 5 more buffers.
    load(song);
    auto expected = render(3);
    EXPECT_EQ(zindle::jump_to_next_order(), 1);
    const auto after = render(5);
    expected.insert(expected.end(), after.begin(), after.end());

    ASSERT_EQ(load_song(song), 0);
    auto got = library_frames(3 * BUFFER_FRAMES, 1500);
    EXPECT_EQ(zindle_jump(), 1);
    const auto rest = library_frames(5 * BUFFER_FRAMES, 333);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, expected);
    // The next row is row 0 of entry 1.
    EXPECT_EQ(zindle_order(), 1);

    // Entry 2, then from the last entry the jump wraps to entry 0.
    EXPECT_EQ(zindle_jump(), 0);
    EXPECT_EQ(zindle_jump(), 0);
    EXPECT_EQ(zindle_jump(), 1);
}

// A callback that tries everything that would move the song, and records
// what every position function says while it runs.
struct Meddler {
    int which;  // the forbidden call to try
    std::vector<Seen> seen;
    std::vector<std::uint64_t> frames;
    std::vector<int> ticks;
    std::vector<long long> results;
    std::vector<std::int16_t> scratch = std::vector<std::int16_t>(2 * 50000);
};

void meddle(void* user, std::uint64_t frame, int order, int pattern, int row) {
    auto& m = *static_cast<Meddler*>(user);
    m.seen.push_back({frame, order, pattern, row});
    m.frames.push_back(zindle_frame());
    m.ticks.push_back(zindle_tick());
    EXPECT_EQ(zindle_order(), order);
    EXPECT_EQ(zindle_pattern(), pattern);
    EXPECT_EQ(zindle_row(), row);
    switch (m.which) {
    case 0:
        // Past the made block and inside it (a frame is always waiting
        // there), in both sample formats.
        m.results.push_back(static_cast<long long>(zindle_render(m.scratch.data(), 20000)));
        m.results.push_back(static_cast<long long>(zindle_render(m.scratch.data(), 1)));
        m.results.push_back(
            static_cast<long long>(zindle_render_float(reinterpret_cast<float*>(m.scratch.data()), 1)));
        break;
    case 1: m.results.push_back(zindle_seek(12345)); break;
    case 2: m.results.push_back(zindle_load(nullptr, 0)); break;
    case 3: m.results.push_back(zindle_load(m.scratch.data(), 4000)); break;
    case 4: m.results.push_back(zindle_jump()); break;
    case 5:
        // Allowed, and it gives the callback no frame either.
        m.results.push_back(zindle_set_repeat(-1));
        m.results.push_back(static_cast<long long>(zindle_render(m.scratch.data(), 1)));
        break;
    default: break;
    }
}

TEST(LibraryCallback, CallsThatWouldMoveTheSongAreRefusedAndTheRenderStaysExact) {
    const auto song = busy_song();
    const auto expected = engine_frames(song, 40);
    Meddler quiet{.which = -1};
    zindle_set_row_callback(meddle, &quiet);
    ASSERT_EQ(load_song(song), 0);
    EXPECT_EQ(library_frames(40 * BUFFER_FRAMES, 2048), expected);
    ASSERT_GT(quiet.seen.size(), 10u);
    for (int which = 0; which < 6; ++which) {
        Meddler m{.which = which};
        zindle_set_row_callback(meddle, &m);
        ASSERT_EQ(load_song(song), 0);
        // Calls of every kind: across blocks, inside one, a frame at a time.
        std::vector<std::int16_t> got(2 * 40 * BUFFER_FRAMES);
        std::size_t done = 0;
        for (std::size_t chunk : {5000u, 1u, 300u, 2048u, 7u}) {
            for (int k = 0; k < 3 && done < 40 * BUFFER_FRAMES; ++k) {
                const std::size_t n = std::min(chunk, 40 * BUFFER_FRAMES - done);
                ASSERT_EQ(zindle_render(got.data() + 2 * done, n), n);
                done += n;
            }
        }
        ASSERT_EQ(render_in_chunks(got.data() + 2 * done, 40 * BUFFER_FRAMES - done, 999), 40 * BUFFER_FRAMES - done);
        EXPECT_EQ(got, expected) << "forbidden call " << which;
        EXPECT_EQ(m.seen, quiet.seen) << which;
        const long long refused = which == 0 || which == 5 ? 0 : ZINDLE_ERROR_IN_CALLBACK;
        for (long long r : m.results) EXPECT_EQ(r, refused) << which;
        // Inside the callback every position function describes its row.
        for (std::size_t i = 0; i < m.seen.size(); ++i) {
            EXPECT_EQ(m.frames[i], m.seen[i].frame) << which;
            EXPECT_EQ(m.ticks[i], 0) << which;
        }
        // The song is still loaded and on its own frame.
        EXPECT_EQ(zindle_frame(), 40 * BUFFER_FRAMES);
        EXPECT_GE(zindle_order(), 0);
    }
    zindle_set_row_callback(nullptr, nullptr);
    // Outside the callback they all work again.
    EXPECT_EQ(zindle_seek(0), 0);
    EXPECT_EQ(zindle_jump(), 1);
}

// The library is built without unwind tables: an exception thrown from the
// row callback cannot pass through a render, which it would leave half
// done and marked as inside the callback; it ends the program instead.
void throw_from_callback(void*, std::uint64_t, int, int, int) { throw std::runtime_error("from the row callback"); }

TEST(LibraryCallback, AnExceptionFromTheCallbackEndsTheProgram) {
    const auto song = busy_song();
    EXPECT_DEATH(
        {
            zindle_set_row_callback(throw_from_callback, nullptr);
            if (load_song(song) == 0) {
                std::vector<std::int16_t> out(2 * BUFFER_FRAMES);
                zindle_render(out.data(), BUFFER_FRAMES);
            }
        },
        "terminate called after throwing");
}

TEST(LibrarySeek, FramesPastTheBoundAreRefusedAtOnce) {
    const auto song = busy_song();
    const auto expected = engine_frames(song, 4);
    ASSERT_EQ(load_song(song), 0);
    ASSERT_EQ(zindle_seek(3000), 0);
    for (std::uint64_t frame : {std::uint64_t{ZINDLE_SEEK_MAX_FRAMES + 1}, std::uint64_t{1} << 32, ~std::uint64_t{0},
                                static_cast<std::uint64_t>(-1000)}) {
        EXPECT_EQ(zindle_seek(frame), ZINDLE_ERROR_ARGUMENT) << frame;
        EXPECT_EQ(zindle_frame(), 3000u) << "a refused seek changes nothing";
    }
    EXPECT_EQ(library_frames(5000, 777), slice(expected, 3000, 5000));
    EXPECT_STREQ(zindle_strerror(ZINDLE_ERROR_ARGUMENT), "argument out of range");
    EXPECT_STREQ(zindle_strerror(ZINDLE_ERROR_IN_CALLBACK), "not allowed inside the row callback");
}

TEST(LibrarySeek, TheBoundItselfIsReachedExactly) {
    // A silent song keeps the bound's seek quick: the ticks alone run.
    ModuleBuilder b(4);
    b.orders({0});
    const auto song = b.build();
    ASSERT_EQ(load_song(song), 0);
    ASSERT_EQ(zindle_seek(ZINDLE_SEEK_MAX_FRAMES), 0);
    EXPECT_EQ(zindle_frame(), ZINDLE_SEEK_MAX_FRAMES);
    std::vector<std::int16_t> out(2 * 100, 1);
    EXPECT_EQ(zindle_render(out.data(), 100), 100u);
    EXPECT_EQ(out, std::vector<std::int16_t>(2 * 100, 0));
}

}  // namespace
