// zindle-render's options on the library: --start (exact, by seeking),
// --passes and --info, and how a start time is read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "module_builder.h"
#include "process_runner.h"
#include "strict_number.h"
#include "temp_dir.h"

using namespace zindle::test;

namespace {

namespace fs = std::filesystem;

const std::string RENDER = ZINDLE_BIN_DIR "/zindle-render";
constexpr std::size_t BLOCK_BYTES = 8192;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::int8_t> wave(int length, int level) {
    std::vector<std::int8_t> w(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
        w[static_cast<std::size_t>(i)] = static_cast<std::int8_t>((i * 7) % 2 ? level : -level);
    return w;
}

// One pattern at speed 6 and tempo 125 that plays from the first row on:
// a pass is 881 + 64 x 6 x 882 frames, then the song starts again.
std::vector<std::uint8_t> one_pattern_song() {
    ModuleBuilder b(4);
    b.sample(1, {.data = wave(64, 50), .volume = 64, .loop_start_words = 0, .loop_length_words = 32});
    b.sample(2, {.data = wave(500, 30), .volume = 40});
    b.orders({0});
    for (int row = 0; row < 64; row += 3)
        b.cell(0, row, row % 4, {.period = amiga_period(2, row % 12), .sample = 1, .effect = 4, .param = 0x26});
    b.cell(0, 5, 2, {.period = 300, .sample = 2});
    auto file = b.build();
    const char title[] = "pass test";
    std::copy(title, title + sizeof title, file.begin());
    const char name[] = "square";
    std::copy(name, name + sizeof name - 1, file.begin() + 20);
    file[20 + 30] = 0x01;  // a control byte for the second sample's name
    return file;
}

class RenderOptions : public testing::Test {
protected:
    void SetUp() override {
        root = make_temp_dir();
        song = root / "song.mod";
        const auto bytes = one_pattern_song();
        std::ofstream(song, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void TearDown() override { fs::remove_all(root); }

    ProgramResult render(std::vector<std::string> args) {
        args.insert(args.begin(), RENDER);
        return run_program(args, root.string());
    }
    std::string rendered(std::vector<std::string> args) {
        args.push_back(song.string());
        args.push_back("out.raw");
        const auto run = render(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        return read_file(root / "out.raw");
    }

    fs::path root, song;
};

TEST_F(RenderOptions, StartGivesTheFramesOfAWholeRenderFromThere) {
    const std::string whole = rendered({"--buffers", "80"});
    ASSERT_EQ(whole.size(), 80 * BLOCK_BYTES);
    // 1.5 s is frame 66150; 0:02.000 frame 88200; 1/3 s falls in frame 14700.
    const struct {
        const char* time;
        std::size_t frame;
    } starts[] = {{"1.5", 66150}, {"0:02.000", 88200}, {"0.333333333333", 14699}, {"0", 0}, {"0:00", 0},
                  {".5", 22050},  {"2.", 88200},       {"0:02.", 88200}};
    for (const auto& s : starts) {
        const std::string part = rendered({"--start", s.time, "--buffers", "20"});
        ASSERT_EQ(part.size(), 20 * BLOCK_BYTES) << s.time;
        EXPECT_EQ(part, whole.substr(s.frame * 4, part.size())) << "--start " << s.time;
    }
}

TEST_F(RenderOptions, PassesEndExactlyWhereEachPassEnds) {
    const std::size_t first_end = 881 + 64 * 6 * 882;
    const std::size_t second_end = first_end + 64 * 6 * 882;
    const std::string one = rendered({});
    EXPECT_EQ(one.size(), first_end * 4);
    EXPECT_EQ(rendered({"--passes", "1"}), one);
    const std::string two = rendered({"--passes", "2"});
    EXPECT_EQ(two.size(), second_end * 4);
    EXPECT_EQ(two.substr(0, one.size()), one);
    // The frames are those of a longer render, cut.
    EXPECT_EQ(rendered({"--buffers", "400"}).substr(0, two.size()), two);
    // From 10 s on (inside the second pass), one pass more is the rest of
    // the second.
    const std::string later = rendered({"--start", "10", "--passes", "1"});
    EXPECT_EQ(later.size(), (second_end - 441000) * 4);
    EXPECT_EQ(later, two.substr(441000 * 4));

    // A .wav file gets the length in its header whether the passes' end is
    // known from the load (one pass from before its end) or found as they
    // are rendered; so does a .wav on a pipe, where they are measured first.
    const auto data_of = [](const std::string& wav) {
        EXPECT_EQ(wav.substr(0, 4), "RIFF");
        std::uint32_t size = 0;
        for (int i = 43; i >= 40; --i) size = size * 256 + static_cast<std::uint8_t>(wav[static_cast<std::size_t>(i)]);
        EXPECT_EQ(size, wav.size() - 44);
        return wav.substr(44);
    };
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--start", "10"},
                                                 {"--start", "10", "--passes", "1"},
                                                 {"--passes", "2"},
                                                 {"--start", "5", "--passes", "2"}}) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        auto raw_args = args;
        const std::string raw = rendered(raw_args);
        auto wav_args = args;
        wav_args.push_back(song.string());
        wav_args.push_back("out.wav");
        ASSERT_EQ(render(wav_args).exit_code, 0);
        EXPECT_EQ(data_of(read_file(root / "out.wav")), raw);
        std::string script = "mkfifo pipe.wav && { '" + RENDER + "'";
        for (const auto& a : args) script += " " + a;
        script += " '" + song.string() + "' pipe.wav 2>/dev/null & cat pipe.wav > piped.wav; wait $!; }";
        ASSERT_EQ(run_program({"/bin/sh", "-c", script}, root.string()).exit_code, 0);
        EXPECT_EQ(data_of(read_file(root / "piped.wav")), raw);
        fs::remove(root / "pipe.wav");
    }
}

TEST_F(RenderOptions, InfoDescribesTheSongAndRendersNothing) {
    const auto run = render({"--info", song.string()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "channels: 00000004 \r\nsamples: 0000001F \r\n");
    std::string expected =
        "title: pass test\n"
        "channels: 4\n"
        "samples: 31\n"
        "sample  1: square\n"
        "sample  2: .\n";
    for (int s = 3; s <= 31; ++s) expected += "sample " + std::string(s < 10 ? " " : "") + std::to_string(s) + ": \n";
    expected +=
        "song length: 1\n"
        "one pass: 0:07.699 (339569 frames)\n"
        "comes back to: order 0, row 0\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(fs::directory_iterator(root)->path(), song) << "only the module is there";
}

TEST_F(RenderOptions, BadStartsPassesAndInfoUsesAreBadUsage) {
    const std::vector<std::vector<std::string>> bad = {{"--start", "1:60"},
                                                       {"--start", "1:5"},
                                                       {"--start", "-1"},
                                                       {"--start", ""},
                                                       {"--start", "1:30:00"},
                                                       {"--start", "24347.8872"},
                                                       {"--start", "46000000"},
                                                       {"--passes", "0"},
                                                       {"--passes", "1001"},
                                                       {"--passes", "2", "--buffers", "3"},
                                                       {"--start", "1", "--start", "2"},
                                                       {"--info", "--buffers", "3"},
                                                       {"--info", "--start", "1"}};
    for (auto args : bad) {
        args.push_back(song.string());
        const auto run = render(args);
        EXPECT_EQ(run.exit_code, 2) << args[0] << " " << args[1];
        EXPECT_EQ(run.err.rfind("zindle-render: --", 0), 0u) << run.err;
    }
    const auto with_output = render({"--info", song.string(), "out.wav"});
    EXPECT_EQ(with_output.exit_code, 2);
    EXPECT_FALSE(fs::exists(root / "out.wav"));
}

TEST(StartTime, SecondsAndMinutesReadExactly) {
    std::uint64_t frames = 0;
    ASSERT_TRUE(zindle::parse_time_as_frames("90.25", frames));
    EXPECT_EQ(frames, 90 * 44100 + 11025u);
    ASSERT_TRUE(zindle::parse_time_as_frames("1:30.25", frames));
    EXPECT_EQ(frames, 90 * 44100 + 11025u);
    ASSERT_TRUE(zindle::parse_time_as_frames("125:00", frames));
    EXPECT_EQ(frames, 7500u * 44100);
    // A part of a frame is cut: 1/44100 s less a little is frame 0.
    ASSERT_TRUE(zindle::parse_time_as_frames("0.0000226757", frames));
    EXPECT_EQ(frames, 0u);
    ASSERT_TRUE(zindle::parse_time_as_frames("0.0000226758", frames));
    EXPECT_EQ(frames, 1u);
    ASSERT_TRUE(zindle::parse_time_as_frames("46000000", frames));
    // The same rule as --seconds: .5 and 5. are read.
    ASSERT_TRUE(zindle::parse_time_as_frames(".5", frames));
    EXPECT_EQ(frames, 22050u);
    ASSERT_TRUE(zindle::parse_time_as_frames("5.", frames));
    EXPECT_EQ(frames, 5u * 44100);
    for (const char* bad :
         {"", ".", ":", "1:", ":30", "1:3", "1:300", "1:60", "+1", "1e3", "1.5.", "1 ", "0x10", "766667:00", ":30.5"})
        EXPECT_FALSE(zindle::parse_time_as_frames(bad, frames)) << '"' << bad << '"';
}

}  // namespace
