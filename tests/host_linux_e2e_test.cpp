// The Linux player end to end: build/bin/zindle with its keys on a
// pseudo-terminal (or a pipe) and ALSA's default PCM writing every frame to
// a file, compared with zindle-render's output for the same module.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "host_e2e_support.h"
#include "module_builder.h"
#include "player_state.h"

using namespace zindle;
using namespace zindle::e2e;

namespace {

constexpr std::uint64_t BUFFER = 8192;
const std::string ESC = "\x1b";

bool exited_with(const Child& child, int code) {
    return WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == code;
}

bool killed_by(const Child& child, int number) {
    return WIFSIGNALED(child.status()) && WTERMSIG(child.status()) == number;
}

bool raw(const termios& t) { return (t.c_lflag & (ICANON | ECHO)) == 0; }

// Entries 0, 1, 2 hold patterns 0, 2, 1; the byte after the last entry is 5.
// Each pattern plays four rows of its own notes and jumps back to its own
// entry, so the song stays on an entry until Z moves it.
std::vector<std::uint8_t> stay_put_song() {
    test::ModuleBuilder b(4);
    std::vector<std::int8_t> wave(64);
    for (std::size_t i = 0; i < wave.size(); ++i) wave[i] = static_cast<std::int8_t>(i < 32 ? 90 : -90);
    b.sample(1, {.data = wave, .volume = 48, .loop_start_words = 0, .loop_length_words = 32});
    b.orders({0, 2, 1});
    b.order_byte(3, 5);
    const int entry_of_pattern[3] = {0, 2, 1};
    for (int pattern = 0; pattern < 3; ++pattern) {
        for (int row = 0; row < 4; ++row) {
            const auto period = test::amiga_period(2, (pattern * 4 + row * 3) % 12);
            b.cell(pattern, row, row % 4, {.period = period, .sample = 1, .effect = 0x4, .param = 0x46});
        }
        b.cell(pattern, 3, 3, {.period = 0, .sample = 0, .effect = 0xB,
                               .param = static_cast<std::uint8_t>(entry_of_pattern[pattern])});
    }
    return b.build();
}

class LinuxPlayer : public ::testing::Test {
protected:
    Spawn player(const std::vector<std::string>& args, Input input = Input::Terminal,
                 const char* alsa = "tests/alsa/capture.conf") {
        Spawn spawn;
        spawn.argv = {bin_path("zindle")};
        spawn.argv.insert(spawn.argv.end(), args.begin(), args.end());
        spawn.env = {{"ALSA_CONFIG_PATH", source_path(alsa)}, {"ZINDLE_PCM_CAPTURE", capture()}};
        spawn.cwd = dir.path();
        spawn.input = input;
        return spawn;
    }
    std::string capture() const { return dir / "capture.raw"; }

    WorkDir dir{"linux-player"};
};

TEST_F(LinuxPlayer, DemoPlaysExactlyWhatTheRendererMakesAndEscapeEndsWithZero) {
    const std::string demo = source_path("examples/demo.mod");
    std::string report;
    const std::string reference = render(demo, 200, &report);
    ASSERT_FALSE(report.empty());

    Child child(player({demo}));
    ASSERT_TRUE(child.wait_stdout(report, 5000)) << child.out();
    ASSERT_TRUE(wait_file_size(capture(), 24 * BUFFER, 5000));
    EXPECT_TRUE(raw(child.terminal())) << "keys are read without echo or line buffering";
    child.send(ESC);
    ASSERT_TRUE(child.wait_exit(3000));
    EXPECT_TRUE(exited_with(child, 0)) << child.status();
    EXPECT_EQ(child.out(), report) << "the report and nothing else";
    EXPECT_TRUE(same_terminal(child.terminal(), child.terminal_at_start()));

    const std::string played = read_file(capture());
    ASSERT_GE(played.size(), 24 * BUFFER);
    ASSERT_LE(played.size(), reference.size()) << "a short run; the reference is longer";
    EXPECT_TRUE(played == reference.substr(0, played.size())) << "the capture is a prefix of the rendering";
}

// Applies what the Z key is to do to a freshly loaded engine after `before`
// buffers, and renders up to `buffers` in all.
std::string render_with_jump(const std::vector<std::uint8_t>& song, std::uint64_t before, std::uint64_t buffers) {
    test::load(song);
    std::string out;
    auto take = [&](int count) {
        const std::vector<std::int16_t> frames = test::render(count);
        out.append(reinterpret_cast<const char*>(frames.data()), frames.size() * sizeof(std::int16_t));
    };
    take(static_cast<int>(before));
    SongState& s = player.song;
    const std::uint8_t* next = s.order_pos + 1 == s.order_table + s.song_length ? s.order_table : s.order_pos + 1;
    s.order_pos = next;
    s.row_offset = s.loop_row_offset = *next * s.pattern_bytes;
    s.loop_count = 0;
    take(static_cast<int>(buffers - before));
    return out;
}

TEST_F(LinuxPlayer, ZMovesTheSongToTheNextEntryAndWrapsAfterTheLast) {
    const std::vector<std::uint8_t> song = stay_put_song();
    // A path with a blank, as the shell passes it when quoted.
    write_file(dir / "stay put.mod", song);
    std::string report;
    const std::string unmoved = render(dir / "stay put.mod", 400, &report);

    Child child(player({"stay put.mod"}));
    ASSERT_TRUE(child.wait_stdout(report, 5000)) << child.out();
    ASSERT_TRUE(wait_file_size(capture(), 16 * BUFFER, 5000));
    const std::uint64_t before_z = file_size(capture());
    child.send("z");
    ASSERT_TRUE(child.wait_stdout(report + "00000002 \r\n", 2000)) << child.out();
    ASSERT_TRUE(wait_file_size(capture(), before_z + 40 * BUFFER, 5000));
    const std::uint64_t after_z = file_size(capture()) / BUFFER * BUFFER;
    child.send("Z");
    ASSERT_TRUE(child.wait_stdout(report + "00000002 \r\n00000001 \r\n", 2000)) << child.out();
    child.send("z");
    // Entry 0's pattern, not the order byte after the last entry.
    ASSERT_TRUE(child.wait_stdout(report + "00000002 \r\n00000001 \r\n00000000 \r\n", 2000)) << child.out();
    child.send(ESC);
    ASSERT_TRUE(child.wait_exit(3000));
    EXPECT_TRUE(exited_with(child, 0)) << child.status();

    const std::string played = read_file(capture()).substr(0, after_z);
    ASSERT_EQ(played.size(), after_z);
    ASSERT_LE(after_z, unmoved.size());
    EXPECT_TRUE(played.compare(0, before_z, unmoved, 0, before_z) == 0) << "until the first Z, the rendering";
    EXPECT_FALSE(played == unmoved.substr(0, after_z)) << "Z changed what plays";
    // The jump landed between two buffers, and the song went on from there.
    bool matched = false;
    for (std::uint64_t k = before_z / BUFFER; k <= after_z / BUFFER && !matched; ++k)
        matched = render_with_jump(song, k, after_z / BUFFER) == played;
    EXPECT_TRUE(matched) << "no jump point explains the capture";
}

TEST_F(LinuxPlayer, EscapeSequencesAndAltKeysDoNotCount) {
    std::string report;
    render(source_path("examples/demo.mod"), 1, &report);
    Child child(player({source_path("examples/demo.mod")}));
    ASSERT_TRUE(child.wait_stdout(report, 5000));
    child.send("\x1b[A\x1b[1;5C\x1bOP\x1bz\x1b[15~");
    sleep_ms(400);
    EXPECT_TRUE(child.running()) << "an arrow or function key is not Escape";
    EXPECT_TRUE(child.wait_stdout(report, 0)) << "Alt with z is not Z";
    child.send(ESC);
    ASSERT_TRUE(child.wait_exit(3000));
    EXPECT_TRUE(exited_with(child, 0));
    EXPECT_TRUE(same_terminal(child.terminal(), child.terminal_at_start()));
}

TEST_F(LinuxPlayer, SignalsEndThePlayerAndGiveTheTerminalBack) {
    std::string report;
    render(source_path("examples/demo.mod"), 1, &report);
    struct Case {
        const char* how;
        int number;
    };
    for (const Case& c : {Case{"ctrl-c", SIGINT}, Case{"term", SIGTERM}, Case{"hangup", SIGHUP}}) {
        Child child(player({source_path("examples/demo.mod")}));
        ASSERT_TRUE(child.wait_stdout(report, 5000)) << c.how;
        ASSERT_TRUE(raw(child.terminal())) << c.how;
        if (c.number == SIGINT)
            child.send("\x03");
        else
            child.signal(c.number);
        ASSERT_TRUE(child.wait_exit(3000)) << c.how;
        EXPECT_TRUE(killed_by(child, c.number)) << c.how << ' ' << child.status();
        EXPECT_TRUE(same_terminal(child.terminal(), child.terminal_at_start())) << c.how;
    }
}

TEST_F(LinuxPlayer, KeysComeFromAPipeAndTheEndOfInputIsNoWayOut) {
    std::string report;
    render(source_path("examples/demo.mod"), 1, &report);
    {
        Child child(player({source_path("examples/demo.mod")}, Input::Pipe));
        ASSERT_TRUE(child.wait_stdout(report, 5000));
        child.send("Z");
        EXPECT_TRUE(child.wait_stdout(report + "00000001 \r\n", 2000)) << child.out();
        child.send(ESC);
        ASSERT_TRUE(child.wait_exit(3000));
        EXPECT_TRUE(exited_with(child, 0));
    }
    {
        Child child(player({source_path("examples/demo.mod")}, Input::Pipe));
        ASSERT_TRUE(child.wait_stdout(report, 5000));
        child.close_input();
        const std::uint64_t at_end_of_input = file_size(capture());
        sleep_ms(500);
        EXPECT_TRUE(child.running());
        EXPECT_GT(file_size(capture()), at_end_of_input) << "still playing";
        child.signal(SIGTERM);
        ASSERT_TRUE(child.wait_exit(3000));
    }
}

TEST_F(LinuxPlayer, FailuresSayWhatFailedAndEndWithOne) {
    write_file(dir / "empty song.mod", [] {
        test::ModuleBuilder b(4);
        b.song_length(0);
        return b.build();
    }());
    std::filesystem::create_directory(dir / "folder.mod");
    struct Case {
        std::vector<std::string> args;
        const char* alsa;
        std::string out;
    };
    const Case cases[] = {
        {{}, "tests/alsa/capture.conf", "Couldn't open file"},
        {{"missing.mod"}, "tests/alsa/capture.conf", "Couldn't open file"},
        {{"folder.mod"}, "tests/alsa/capture.conf", "Couldn't open file"},
        {{"empty song.mod"}, "tests/alsa/capture.conf", "channels: 00000004 \r\nsamples: 0000001F \r\n"},
        {{source_path("examples/demo.mod")}, "tests/alsa/no-device.conf", "Couldn't open sound device"},
    };
    for (const Case& c : cases) {
        Child child(player(c.args, Input::Terminal, c.alsa));
        ASSERT_TRUE(child.wait_exit(5000)) << c.out;
        EXPECT_TRUE(exited_with(child, 1)) << c.out << ' ' << child.status();
        EXPECT_EQ(child.out(), c.out);
        EXPECT_EQ(child.err(), "") << c.out;
        EXPECT_TRUE(same_terminal(child.terminal(), child.terminal_at_start())) << c.out;
    }
}

}  // namespace
