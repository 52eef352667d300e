// zindle-render as a user runs it: arguments, exit codes, the report on
// standard error, output forms, length choices and the row trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine_harness.h"
#include "module_builder.h"
#include "process_runner.h"
#include "temp_dir.h"

using namespace zindle::test;

namespace {

namespace fs = std::filesystem;

const std::string RENDER = ZINDLE_BIN_DIR "/zindle-render";
const std::string REPORT = "channels: 00000004 \r\nsamples: 0000001F \r\n";

std::string as_bytes(const std::vector<std::int16_t>& frames) {
    std::string bytes(frames.size() * 2, '\0');
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto v = static_cast<std::uint16_t>(frames[i]);
        bytes[2 * i] = static_cast<char>(v & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(v >> 8);
    }
    return bytes;
}

std::uint32_t le32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v * 256 + static_cast<std::uint8_t>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

// Three decimal numbers joined by dots, such as 0.1.0.
bool is_dotted_triple(const std::string& text) {
    int numbers = 0;
    std::size_t digits = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.' && digits > 0 && numbers < 2) {
            ++numbers;
            digits = 0;
        } else {
            return false;
        }
    }
    return numbers == 2 && digits > 0;
}

int line_count(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

// A short tune that sounds from the first row tick on.
ModuleBuilder tune() {
    ModuleBuilder b(4);
    std::vector<std::int8_t> wave(32);
    for (int i = 0; i < 32; ++i) wave[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(i < 16 ? 60 : -60);
    b.sample(1, {.data = wave, .volume = 48, .loop_start_words = 0, .loop_length_words = 16});
    b.orders({0});
    b.cell(0, 0, 0, {.period = 428, .sample = 1});
    b.cell(0, 0, 1, {.period = 320, .sample = 1, .effect = 0, .param = 0x37});
    b.cell(0, 4, 2, {.period = 214, .sample = 1, .effect = 4, .param = 0x46});
    return b;
}

class RenderCli : public testing::Test {
protected:
    void SetUp() override {
        root = make_temp_dir();
        work = root / "work";
        fs::create_directory(work);
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path module(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const fs::path path = root / name;
        write_file(path, bytes);
        return path;
    }
    ProgramResult render(std::vector<std::string> args) {
        args.insert(args.begin(), RENDER);
        return run_program(args, work.string());
    }
    bool work_is_empty() const { return fs::is_empty(work); }

    fs::path root, work;
};

// Runs a shell script in the work folder, for what needs a pipe, a limit
// or a signal around the renderer. $R is the renderer.
ProgramResult shell(const fs::path& cwd, const std::string& script) {
    return run_program({"/bin/sh", "-c", "R='" + RENDER + "'; " + script}, cwd.string());
}

// Every name in a folder, dot files included.
void expect_one_line(const std::string& err, const std::string& line) {
    EXPECT_EQ(err.substr(err.size() >= line.size() ? err.size() - line.size() : 0), line);
    EXPECT_EQ(err.find("zindle-render: "), err.rfind("zindle-render: ")) << err;
}

TEST_F(RenderCli, BadUsageExits2WithTheReasonAndTheUsageLineAndWritesNothing) {
    const std::string mod = module("t.mod", tune().build()).string();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--bogus", mod},
        {"-b", mod},
        {"--buffers"},
        {mod, "--buffers"},
        {"--buffers", "", mod},
        {"--buffers", "x", mod},
        {"--buffers", "2x", mod},
        {"--buffers", "-1", mod},
        {"--buffers", " -1", mod},
        {"--buffers", " 5", mod},
        {"--buffers", "+5", mod},
        {"--buffers", "5 ", mod},
        {"--buffers", "0x10", mod},
        {"--buffers", "1.5", mod},
        {"--buffers", "1000000001", mod},
        {"--buffers", "2251799813685248", mod},
        {"--buffers", "18446744073709551617", mod},
        {"--seconds", " 1", mod},
        {"--seconds", "+1", mod},
        {"--seconds", "1e3", mod},
        {"--seconds", "46000000.5", mod},
        {"--seconds", "46000001", mod},
        {"--buffers", "1", "--seconds", "1", mod},
        {"--buffers", "1", "--buffers", "1", mod},
        {"--seconds", "-1", mod},
        {"--seconds", "abc", mod},
        {"--seconds", ".", mod},
        {"--seconds", "1.2.3", mod},
        {"--trace"},
        {"--trace", "a.txt", "--trace", "b.txt", mod},
        {mod, "a.raw", "b.raw"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        const auto run = render(args);
        EXPECT_EQ(run.exit_code, 2);
        // What was wrong, then the usage line.
        EXPECT_EQ(run.err.rfind("zindle-render: ", 0), 0u) << run.err;
        EXPECT_EQ(run.err.find("usage: zindle-render "), run.err.find('\n') + 1) << run.err;
        EXPECT_EQ(line_count(run.err), 2);
        EXPECT_EQ(run.err.back(), '\n');
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(work_is_empty());
    }
}

TEST_F(RenderCli, VersionAloneWritesTheBuildVersionAndAnythingBesideItIsBadUsage) {
    // The version comes from the build's one definition of it.
    const std::string version = ZINDLE_VERSION;
    EXPECT_TRUE(is_dotted_triple(version)) << version;
    const auto run = render({"--version"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "zindle-render " + version + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(work_is_empty());

    const std::string mod = module("t.mod", tune().build()).string();
    const std::vector<std::vector<std::string>> cases = {
        {"--version", mod},
        {mod, "--version"},
        {"--version", "--version"},
        {"--buffers", "1", "--version", mod},
        {"--version", mod, "out.raw"},
        {"--versions"},
        {"-version"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        const auto bad = render(args);
        EXPECT_EQ(bad.exit_code, 2);
        EXPECT_EQ(bad.err.rfind("zindle-render: ", 0), 0u) << bad.err;
        EXPECT_EQ(bad.err.find("usage: zindle-render "), bad.err.find('\n') + 1) << bad.err;
        EXPECT_EQ(line_count(bad.err), 2);
        EXPECT_EQ(bad.out, "");
        EXPECT_TRUE(work_is_empty());
    }
}

TEST_F(RenderCli, UnreadableModuleOrSongLengthZeroExits1WithOneLine) {
    for (const std::string& path : {(root / "missing.mod").string(), root.string()}) {
        SCOPED_TRACE(path);
        const auto run = render({path, "out.raw"});
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(line_count(run.err), 1);
        EXPECT_EQ(run.err.rfind("zindle-render: ", 0), 0u) << run.err;
        EXPECT_EQ(run.err.back(), '\n');
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(work_is_empty());
    }

    // Song length 0: the whole report, its warnings included, then one line.
    ModuleBuilder b(4);
    b.orders({0}).song_length(0).sample(2, {.length_words = 1, .loop_start_words = 0, .loop_length_words = 3});
    const auto run = render({module("empty.mod", b.build()).string(), "out.wav"});
    EXPECT_EQ(run.exit_code, 1);
    const std::string report = REPORT + "(why is my loop longer than the sample?\?\?) 00000002 \r\n";
    ASSERT_EQ(run.err.substr(0, report.size()), report);
    const std::string message = run.err.substr(report.size());
    EXPECT_EQ(line_count(message), 1);
    EXPECT_EQ(message.rfind("zindle-render: ", 0), 0u) << message;
    EXPECT_EQ(message.back(), '\n');
    EXPECT_TRUE(work_is_empty());
}

TEST_F(RenderCli, BuffersGiveExactlyTheInProcessBytesRawWavOrOnStandardOutput) {
    ModuleBuilder b = tune();
    b.sample(3, {.length_words = 2, .loop_start_words = 0, .loop_length_words = 4});
    const auto file = b.build();
    const std::string mod = module("t.mod", file).string();
    load(file);
    const std::string expected = as_bytes(zindle::test::render(3));
    ASSERT_EQ(expected.size(), 3u * 8192);
    const std::string warning = "(why is my loop longer than the sample?\?\?) 00000003 \r\n";

    auto run = render({"--buffers", "3", mod, "out.raw"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, REPORT + warning);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(read_file(work / "out.raw") == expected);

    run = render({"--buffers", "3", mod, "out.wav"});
    EXPECT_EQ(run.exit_code, 0);
    const std::string wav = read_file(work / "out.wav");
    ASSERT_EQ(wav.size(), 44 + expected.size());
    const unsigned char header[44] = {
        'R',  'I',  'F',  'F', 0x24, 0x60, 0x00, 0x00,               // 36 + 24576
        'W',  'A',  'V',  'E', 'f',  'm',  't',  ' ',  16, 0, 0, 0,  // fmt chunk size
        1,    0,    2,    0,                                         // PCM, 2 channels
        0x44, 0xAC, 0,    0,                                         // 44100 Hz
        0x10, 0xB1, 0x02, 0,                                         // 176400 bytes per second
        4,    0,    16,   0,                                         // 4 bytes per frame, 16 bits
        'd',  'a',  't',  'a', 0x00, 0x60, 0x00, 0x00,               // 24576
    };
    EXPECT_EQ(std::memcmp(wav.data(), header, 44), 0);
    EXPECT_TRUE(wav.substr(44) == expected);

    run = render({"--buffers", "3", mod, "-"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, REPORT + warning);
    EXPECT_TRUE(run.out == expected);
    EXPECT_FALSE(fs::exists(work / "-"));

    // Options may follow the names; 0 buffers is an empty render.
    run = render({mod, "zero.raw", "--buffers", "0"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(fs::file_size(work / "zero.raw"), 0u);
}

TEST_F(RenderCli, DefaultOutputIsTheModuleBasenameAsWavInTheCurrentFolder) {
    fs::create_directory(root / "mods");
    const auto file = tune().build();
    write_file(root / "mods" / "my.song.mod", file);
    write_file(root / "mods" / "tune", file);

    auto run = render({"--buffers", "1", "../mods/my.song.mod"});
    EXPECT_EQ(run.exit_code, 0);
    ASSERT_TRUE(fs::exists(work / "my.song.wav"));
    EXPECT_EQ(fs::file_size(work / "my.song.wav"), 44u + 8192);
    EXPECT_EQ(read_file(work / "my.song.wav").substr(0, 4), "RIFF");

    run = render({"--buffers", "1", (root / "mods" / "tune").string()});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(fs::file_size(work / "tune.wav"), 44u + 8192);
    EXPECT_FALSE(fs::exists(root / "mods" / "tune.wav"));
}

TEST_F(RenderCli, SecondsGiveTheLeastWholeNumberOfBuffersCoveringThem) {
    const std::string mod = module("t.mod", tune().build()).string();
    const struct {
        const char* seconds;
        std::uintmax_t buffers;
    } cases[] = {
        {"0", 0},        {"0.0", 0},       {"1", 22},  // 44100 frames: 21.5 buffers
        {"0.04", 1},                                   // 1764 frames
        {"0.0464", 1},                                 // 2046.24 frames
        {"0.0465", 2},                                 // 2050.65 frames
        {"20.48", 441},                                // exactly 903168 frames
        {"20.481", 442}, {"143.36", 3087},             // exactly 6322176 frames, not one buffer more
        {"3.", 65},                                    // 132300 frames: 64.6 buffers
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        const auto run = render({"--seconds", c.seconds, mod, "out.raw"});
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(fs::file_size(work / "out.raw"), c.buffers * 8192);
    }
}

TEST_F(RenderCli, TraceHasOneLinePerRowTickWithFramePositionAndTiming) {
    // Order 0 plays pattern 1; row 1 changes speed and tempo; row 2 breaks
    // to order 1 (pattern 0).
    ModuleBuilder b = tune();
    b.orders({1, 0});
    b.cell(1, 1, 0, {.effect = 0xF, .param = 3});
    b.cell(1, 1, 1, {.effect = 0xF, .param = 150});
    b.cell(1, 2, 0, {.effect = 0xD, .param = 0});
    const std::string mod = module("t.mod", b.build()).string();
    const auto run = render({"--buffers", "7", "--trace", "trace.txt", mod, "out.raw"});
    EXPECT_EQ(run.exit_code, 0);
    // Tempo 125: a tick every 882 frames, the first in frame 881 (at output
    // byte 3528); row 1 sets 3 ticks of 735 frames from its own tick on.
    EXPECT_EQ(read_file(work / "trace.txt"),
              "881 0 1 0 6 3528\n"
              "6173 0 1 1 3 2940\n"
              "8378 0 1 2 3 2940\n"
              "10583 1 0 0 3 2940\n"
              "12788 1 0 1 3 2940\n");
}

TEST_F(RenderCli, DefaultLengthIsOnePassToTheFrame) {
    // Row k of a plain song ticks in frame 881 + 5292 k; the render ends
    // just before the row at which the song first comes back to a played
    // row.
    const auto frames_until_row = [](std::uintmax_t k) { return 881 + 5292 * k; };

    ModuleBuilder two = tune();
    two.orders({0, 1});
    auto run = render({module("two.mod", two.build()).string(), "two.raw"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(frames_until_row(128), 678257u);
    EXPECT_EQ(fs::file_size(work / "two.raw"), 678257u * 4);

    // The .wav header gets the length found.
    run = render({module("two.mod", two.build()).string(), "two.wav"});
    const std::string wav = read_file(work / "two.wav");
    ASSERT_EQ(wav.size(), 44u + 678257 * 4);
    EXPECT_EQ(le32(wav, 4), 36u + 678257 * 4);
    EXPECT_EQ(le32(wav, 40), 678257u * 4);

    // A pattern loop replays rows 8..15 twice more: 80 rows, not a repeat.
    ModuleBuilder loop = tune();
    loop.orders({0});
    loop.cell(0, 8, 3, {.effect = 0xE, .param = 0x60});
    loop.cell(0, 15, 3, {.effect = 0xE, .param = 0x62});
    run = render({module("loop.mod", loop.build()).string(), "loop.raw"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(fs::file_size(work / "loop.raw"), frames_until_row(80) * 4);

    // Looping back to a later entry ends the pass there too.
    ModuleBuilder back = tune();
    back.orders({0, 1, 2});
    back.cell(2, 5, 3, {.effect = 0xB, .param = 1});
    run = render({module("back.mod", back.build()).string(), "back.raw"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(fs::file_size(work / "back.raw"), frames_until_row(64 + 64 + 6) * 4);
}

TEST_F(RenderCli, NeverWritesOverTheModuleWhateverNameReachesIt) {
    const auto file = tune().build();
    const std::string bytes(file.begin(), file.end());
    write_file(work / "t.mod", file);
    write_file(work / "x.wav", file);
    fs::create_hard_link(work / "t.mod", work / "hard.raw");
    fs::create_symlink("t.mod", work / "soft.wav");
    const struct {
        std::vector<std::string> args;
        const char* named;
    } cases[] = {
        {{"t.mod", "t.mod"}, "t.mod"},
        {{"t.mod", "./t.mod"}, "./t.mod"},
        {{"t.mod", "hard.raw"}, "hard.raw"},
        {{"t.mod", "soft.wav"}, "soft.wav"},
        {{"x.wav"}, "x.wav"},  // the default output name is the module's
        {{"--trace", "t.mod", "t.mod", "out.raw"}, "t.mod"},
        {{"--trace", "hard.raw", "--buffers", "1", "t.mod", "out.raw"}, "hard.raw"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const auto run = render(c.args);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err, std::string("zindle-render: ") + c.named + " is the module itself; not writing over it\n");
        EXPECT_TRUE(read_file(work / "t.mod") == bytes);
        EXPECT_TRUE(read_file(work / "x.wav") == bytes);
        EXPECT_EQ(names_in(work), (std::vector<std::string>{"hard.raw", "soft.wav", "t.mod", "x.wav"}));
    }
    // Standard output that is the module, appended to.
    const auto run = shell(work, "\"$R\" --buffers 1 t.mod - >> t.mod");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(read_file(work / "t.mod") == bytes);

    // The trace and the output may not be one file either.
    const auto both = render({"--buffers", "1", "--trace", "same.raw", "t.mod", "same.raw"});
    EXPECT_EQ(both.exit_code, 1);
    expect_one_line(both.err, "zindle-render: same.raw cannot be both the trace and the output\n");
    EXPECT_FALSE(fs::exists(work / "same.raw"));
}

TEST_F(RenderCli, AFailedRunLeavesEveryFileAsItWasAndNothingHalfWritten) {
    const std::string mod = module("t.mod", tune().build()).string();
    write_file(work / "keep.txt", {'k', 'e', 'p', 't', '\n'});
    write_file(work / "keep.wav", {'o', 'l', 'd'});
    const std::vector<std::string> before = {"keep.txt", "keep.wav"};

    // The output cannot be created: the trace stays as it was.
    auto run = render({"--trace", "keep.txt", mod, (root / "missing" / "out.wav").string()});
    EXPECT_EQ(run.exit_code, 1);
    expect_one_line(run.err, "zindle-render: cannot write " + (root / "missing" / "out.wav").string() +
                                 ": No such file or directory\n");
    EXPECT_EQ(read_file(work / "keep.txt"), "kept\n");
    EXPECT_EQ(names_in(work), before);

    // The trace cannot be created: the output stays as it was.
    run = render({"--trace", (root / "missing" / "t.txt").string(), mod, "keep.wav"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(read_file(work / "keep.wav"), "old");
    EXPECT_EQ(names_in(work), before);

    // A disk that fills up (here a file size limit) halfway through: the
    // old files stay, no partial file is left, and the failure is named.
    run = shell(work, "trap '' XFSZ; ulimit -f 200; exec \"$R\" --buffers 200 --trace keep.txt '" + mod + "' keep.wav");
    EXPECT_EQ(run.exit_code, 1);
    expect_one_line(run.err, "zindle-render: cannot write keep.wav: File too large\n");
    EXPECT_EQ(read_file(work / "keep.wav"), "old");
    EXPECT_EQ(read_file(work / "keep.txt"), "kept\n");
    EXPECT_EQ(names_in(work), before);

    // Ended by a signal halfway through a long render: the same.
    run = shell(work, "\"$R\" --seconds 40000000 '" + mod + "' keep.wav & sleep 0.3; kill -TERM $!; wait $!; echo $?");
    EXPECT_EQ(run.out, "143\n");
    EXPECT_EQ(read_file(work / "keep.wav"), "old");
    EXPECT_EQ(names_in(work), before);

    // A file that may not be written is refused, not replaced; a replaced
    // file keeps its permissions, and a symbolic link stays a link.
    fs::permissions(work / "keep.wav", fs::perms::owner_read);
    if (::geteuid() != 0) {
        run = render({"--buffers", "1", mod, "keep.wav"});
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(read_file(work / "keep.wav"), "old");
    }
    fs::permissions(work / "keep.wav", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    fs::create_symlink("keep.wav", work / "link.wav");
    run = render({"--buffers", "1", mod, "link.wav"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(fs::is_symlink(work / "link.wav"));
    EXPECT_EQ(fs::file_size(work / "keep.wav"), 44u + 8192);
    EXPECT_EQ(fs::status(work / "keep.wav").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
}

TEST_F(RenderCli, AFailedWriteStopsTheRenderAtOnceAndNamesTheFileThatFailed) {
    const std::string mod = module("t.mod", tune().build()).string();
    // Half a CPU second is far less than the 500 days asked for would take.
    auto run = shell(work, "ulimit -t 1; exec \"$R\" --seconds 40000000 '" + mod + "' /dev/full");
    EXPECT_EQ(run.exit_code, 1);
    expect_one_line(run.err, "zindle-render: cannot write /dev/full: No space left on device\n");

    run = render({"--trace", "/dev/full", mod, "x.raw"});
    EXPECT_EQ(run.exit_code, 1);
    expect_one_line(run.err, "zindle-render: cannot write /dev/full: No space left on device\n");
    EXPECT_TRUE(work_is_empty());

    // Standard output closed: a failure, never a success.
    run = shell(work, "exec \"$R\" --buffers 1 '" + mod + "' - >&-");
    EXPECT_EQ(run.exit_code, 1);
    expect_one_line(run.err, "zindle-render: cannot write -: Bad file descriptor\n");
}

TEST_F(RenderCli, ClosedStandardStreamsNeverReceiveTheOutputOrTheReport) {
    const std::string mod = module("t.mod", tune().build()).string();
    // With standard error closed the report goes nowhere: not into the
    // trace or the output, which would otherwise take its descriptor.
    const auto run = shell(work, "exec \"$R\" --buffers 3 --trace t.txt '" + mod + "' out.raw 2>&- <&-");
    EXPECT_EQ(run.exit_code, 0);
    load(tune().build());
    EXPECT_TRUE(read_file(work / "out.raw") == as_bytes(zindle::test::render(3)));
    EXPECT_EQ(read_file(work / "t.txt").rfind("881 0 0 0 6 3528\n", 0), 0u);

    // Frames for a closed standard output never land in the trace file
    // that would otherwise take its descriptor.
    const auto closed = shell(work, "exec \"$R\" --buffers 3 --trace t2.txt '" + mod + "' - >&- 2>&-");
    EXPECT_EQ(closed.exit_code, 1);
    EXPECT_FALSE(fs::exists(work / "t2.txt"));
}

TEST_F(RenderCli, AWavHeaderWrittenToAPipeHoldsTheTrueLength) {
    ModuleBuilder two = tune();
    two.orders({0, 1});
    const std::string mod = module("two.mod", two.build()).string();
    ASSERT_EQ(render({mod, "file.wav"}).exit_code, 0);
    const std::string expected = read_file(work / "file.wav");
    ASSERT_EQ(expected.size(), 44u + 678257 * 4);
    ASSERT_EQ(le32(expected, 40), 678257u * 4);

    const auto run = shell(work, "mkfifo pipe.wav && { \"$R\" '" + mod + "' pipe.wav & cat pipe.wav > got; wait $!; }");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(read_file(work / "got") == expected);
}

TEST_F(RenderCli, FourGibibytesOrMoreGetAnRf64HeaderWithTheTrueSizes) {
    const std::string mod = module("t.mod", tune().build()).string();
    // Only the header is read; the renderer then ends on the closed pipe.
    const auto header_for = [&](const std::string& buffers) {
        const auto run = shell(work, "rm -f big.wav; mkfifo big.wav && { \"$R\" --buffers " + buffers + " '" + mod +
                                         "' big.wav 2>/dev/null & head -c 80 big.wav > head; wait $!; true; }");
        EXPECT_EQ(run.exit_code, 0);
        return read_file(work / "head");
    };
    const auto le64 = [](const std::string& s, std::size_t at) {
        return le32(s, at) + (static_cast<std::uint64_t>(le32(s, at + 4)) << 32);
    };
    // 524287 buffers still fit the plain header.
    std::string h = header_for("524287");
    EXPECT_EQ(h.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(h, 4), 36u + 524287u * 8192);
    EXPECT_EQ(le32(h, 40), 524287u * 8192);

    // 524288 buffers (4 GiB) and 30,000 s do not.
    for (const auto& [buffers, bytes] :
         {std::pair<std::string, std::uint64_t>{"524288", 524288ull * 8192}, {"645997", 645997ull * 8192}}) {
        SCOPED_TRACE(buffers);
        h = header_for(buffers);
        ASSERT_EQ(h.size(), 80u);
        EXPECT_EQ(h.substr(0, 16), std::string("RF64\xFF\xFF\xFF\xFFWAVEds64", 16));
        EXPECT_EQ(le32(h, 16), 28u);
        EXPECT_EQ(le64(h, 20), 72 + bytes);  // RIFF size
        EXPECT_EQ(le64(h, 28), bytes);       // data size
        EXPECT_EQ(le64(h, 36), bytes / 4);   // frames
        EXPECT_EQ(le32(h, 44), 0u);
        EXPECT_EQ(h.substr(48, 4), "fmt ");
        EXPECT_EQ(h.substr(72, 8), std::string("data\xFF\xFF\xFF\xFF", 8));
    }
}

}  // namespace
