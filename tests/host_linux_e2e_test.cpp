// The Linux player end to end: build/bin/zindle with its keys on a
// pseudo-terminal (or a pipe) and ALSA's default PCM writing every frame to
// a file, compared with zindle-render's output for the same module.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine_harness.h"
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
        b.cell(
            pattern, 3, 3,
            {.period = 0, .sample = 0, .effect = 0xB, .param = static_cast<std::uint8_t>(entry_of_pattern[pattern])});
    }
    return b.build();
}

struct LinuxPlayerPaths {
    std::string dir;
    std::string capture;
};

class LinuxPlayer : public ::testing::Test {
protected:
    Spawn player(const std::vector<std::string>& args, Input input = Input::Terminal,
                 const char* alsa = "tests/alsa/capture.conf") {
        Spawn spawn;
        spawn.argv = {bin_path("zindle")};
        spawn.argv.insert(spawn.argv.end(), args.begin(), args.end());
        spawn.env = {{"ALSA_CONFIG_PATH", alsa_config(source_path(alsa))}, {"ZINDLE_PCM_CAPTURE", capture()}};
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

// A device whose played count stops just short of the end of the header it
// plays (a sound server frozen there) is looked at less and less often,
// not polled every few milliseconds until the header ends. A player that
// served the device from a thread of its own woke 3,600 times a second here.
TEST_F(LinuxPlayer, AStalledDeviceIsLookedAtLessAndLessOften) {
    Spawn spawn = player({source_path("examples/demo.mod")}, Input::Pipe);
    spawn.env.push_back({"LD_PRELOAD", ZINDLE_STALLING_DEVICE});
    spawn.env.push_back({"ZINDLE_STALL_AFTER_MS", "1500"});
    // The sanitizers' runtime need not come first in the sanitizer tree.
    const char* asan = std::getenv("ASAN_OPTIONS");
    spawn.env.push_back({"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + (asan != nullptr ? ":" : "") +
                                             "verify_asan_link_order=0"});
    std::string report;
    render(source_path("examples/demo.mod"), 1, &report);
    Child child(spawn);
    ASSERT_TRUE(child.wait_stdout(report, 5000)) << child.out() << child.err();

    sleep_ms(300);
    long long before = waits_of(child.pid());
    sleep_ms(1000);
    const long long playing = waits_of(child.pid()) - before;
    sleep_ms(700);  // the stall begins 1.5 s after the first frame
    before = waits_of(child.pid());
    sleep_ms(1000);
    const long long stalled = waits_of(child.pid()) - before;
    std::printf("[ figures  ] the player waits %lld times a second playing, %lld with the device stalled\n", playing,
                stalled);
    // The host's 17 ms timer wakes it 59 times a second; the device adds
    // a look every 100 ms at most.
    EXPECT_LE(stalled, 80);

    child.send(ESC);
    ASSERT_TRUE(child.wait_exit(3000));
    EXPECT_TRUE(exited_with(child, 0)) << child.status();
    EXPECT_EQ(child.out(), report);
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

TEST_F(LinuxPlayer, FailuresSayWhatFailedAndEndWithOneOrThreeForTheSoundDevice) {
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
        int code = 1;
    };
    const Case cases[] = {
        {{}, "tests/alsa/capture.conf", "Couldn't open file"},
        {{"missing.mod"}, "tests/alsa/capture.conf", "Couldn't open file"},
        {{"folder.mod"}, "tests/alsa/capture.conf", "Couldn't open file"},
        {{"empty song.mod"}, "tests/alsa/capture.conf", "channels: 00000004 \r\nsamples: 0000001F \r\n"},
        {{source_path("examples/demo.mod")}, "tests/alsa/no-device.conf", "Couldn't open sound device", 3},
    };
    for (const Case& c : cases) {
        Child child(player(c.args, Input::Terminal, c.alsa));
        ASSERT_TRUE(child.wait_exit(5000)) << c.out;
        EXPECT_TRUE(exited_with(child, c.code)) << c.out << ' ' << child.status();
        EXPECT_EQ(child.out(), c.out);
        EXPECT_EQ(child.err(), "") << c.out;
        EXPECT_TRUE(same_terminal(child.terminal(), child.terminal_at_start())) << c.out;
    }
}

// The player finds its module wherever it lies itself: in a folder with
// blanks, with a quote in its path, or named with a blank.
TEST_F(LinuxPlayer, FindsItsModuleWhateverItsOwnPathIs) {
    std::string report;
    render(source_path("examples/demo.mod"), 1, &report);
    for (const std::string folder : {"with space", "a \"quoted\" folder", "\"lead", "plain"}) {
        const std::string copy = dir / (folder + "/my zindle");
        std::filesystem::create_directories(dir / folder);
        std::filesystem::copy_file(bin_path("zindle"), copy);
        for (const std::string& program : {copy, folder + "/my zindle"}) {
            Spawn spawn = player({source_path("examples/demo.mod")});
            spawn.argv[0] = program;
            Child child(spawn);
            EXPECT_TRUE(child.wait_stdout(report, 5000)) << '[' << program << "] " << child.out();
            child.send(ESC);
            ASSERT_TRUE(child.wait_exit(3000)) << program;
            EXPECT_TRUE(exited_with(child, 0)) << program << ' ' << child.status();
        }
    }
}

// The player run by a shell script in the test's pseudo-terminal: $P is
// the player, $M the demo. With job control (-m) the player gets a process
// group of its own, which the script can stop, continue or put in the
// background like an interactive shell.
Spawn script(const LinuxPlayerPaths& paths, const std::string& text, bool job_control, Input input) {
    Spawn spawn;
    spawn.argv = {"/bin/sh", job_control ? "-mc" : "-c",
                  "P='" + bin_path("zindle") + "'; M='" + source_path("examples/demo.mod") + "'; " + text};
    spawn.env = {{"ALSA_CONFIG_PATH", alsa_config(source_path("tests/alsa/capture.conf"))},
                 {"ZINDLE_PCM_CAPTURE", paths.capture}};
    spawn.cwd = paths.dir;
    spawn.input = input;
    return spawn;
}

bool wait_terminal(const Child& child, bool want_raw, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (raw(child.terminal()) == want_raw) return true;
        sleep_ms(10);
    }
    return raw(child.terminal()) == want_raw;
}

// The capture holds some sound, all of it the rendering's start.
void expect_prefix_of_demo(const std::string& capture, std::uint64_t at_least) {
    const std::string played = read_file(capture);
    const std::string reference = render(source_path("examples/demo.mod"), 400);
    EXPECT_GE(played.size(), at_least);
    ASSERT_LE(played.size(), reference.size());
    EXPECT_TRUE(played == reference.substr(0, played.size())) << "the capture is a prefix of the rendering";
}

TEST_F(LinuxPlayer, ClosedStandardStreamsAndAModuleOnStandardInputMixWithNothing) {
    std::string report;
    render(source_path("examples/demo.mod"), 1, &report);
    const LinuxPlayerPaths paths{dir.path(), capture()};
    // With output closed too, a sound device taking descriptor 1 would get
    // the report in the middle of the sound.
    for (const char* redirect : {"<&-", "<&- >&-", "<&- 2>&-"}) {
        SCOPED_TRACE(redirect);
        std::filesystem::remove(capture());
        Child child(script(paths, std::string("exec \"$P\" \"$M\" ") + redirect, false, Input::Nothing));
        ASSERT_TRUE(wait_file_size(capture(), 12 * BUFFER, 5000)) << child.out();
        EXPECT_TRUE(child.running());
        child.signal(SIGTERM);
        ASSERT_TRUE(child.wait_exit(3000));
        EXPECT_TRUE(killed_by(child, SIGTERM)) << child.status();
        EXPECT_EQ(child.out(), std::string(redirect) == "<&- >&-" ? "" : report);
        expect_prefix_of_demo(capture(), 12 * BUFFER);
    }
    // The module itself on standard input, arriving late: not one byte of it
    // is taken for a key. The player is the child itself, so the signal
    // reaches it and nothing outlives the test.
    const std::string demo = read_file(source_path("examples/demo.mod"));
    for (int run = 0; run < 3; ++run) {
        std::filesystem::remove(capture());
        Spawn spawn = script(paths, "exec \"$P\" /dev/stdin", false, Input::Pipe);
        Child child(spawn);
        sleep_ms(200);
        child.send(demo);
        child.close_input();
        ASSERT_TRUE(wait_file_size(capture(), 12 * BUFFER, 5000)) << child.out();
        child.signal(SIGTERM);
        ASSERT_TRUE(child.wait_exit(3000));
        EXPECT_TRUE(killed_by(child, SIGTERM)) << child.status();
        EXPECT_EQ(child.out(), report);
        expect_prefix_of_demo(capture(), 12 * BUFFER);
    }
}

TEST_F(LinuxPlayer, AReadErrorInTheModuleIsAFailure) {
    // Reading a process's own memory from address 0 fails with EIO.
    Child child(player({"/proc/self/mem"}));
    ASSERT_TRUE(child.wait_exit(5000));
    EXPECT_TRUE(exited_with(child, 1)) << child.status();
    EXPECT_EQ(child.out(), "Couldn't open file");
    EXPECT_FALSE(std::filesystem::exists(capture()));
}

TEST_F(LinuxPlayer, AFloodOfKeysLosesNoneAndEscapeStillEnds) {
    write_file(dir / "stay.mod", stay_put_song());
    std::string report;
    render(dir / "stay.mod", 1, &report);
    Child child(player({dir / "stay.mod"}, Input::Pipe));
    child.send(std::string(2000, 'z') + ESC);
    ASSERT_TRUE(child.wait_exit(20000)) << child.out().size();
    EXPECT_TRUE(exited_with(child, 0)) << child.status();
    // Entries 0, 1, 2 hold patterns 0, 2, 1: each Z prints the next one's.
    std::string expected = report;
    for (int press = 1; press <= 2000; ++press)
        expected += press % 3 == 1 ? "00000002 \r\n" : press % 3 == 2 ? "00000001 \r\n" : "00000000 \r\n";
    EXPECT_EQ(child.out().size(), expected.size());
    EXPECT_TRUE(child.out() == expected);
}

TEST_F(LinuxPlayer, CtrlZGivesTheTerminalBackAndFgTakesItAgain) {
    std::string report;
    render(source_path("examples/demo.mod"), 1, &report);
    const LinuxPlayerPaths paths{dir.path(), capture()};
    Child child(script(paths, "\"$P\" \"$M\"; echo \"stopped $?\"; sleep 1; fg >/dev/null; echo \"ended $?\"", true,
                       Input::Terminal));
    ASSERT_TRUE(child.wait_stdout_contains(report, 5000)) << child.out();
    ASSERT_TRUE(wait_terminal(child, true, 2000));
    child.send("\x1a");  // Ctrl-Z
    ASSERT_TRUE(child.wait_stdout_contains("stopped 148\n", 3000)) << child.out();
    EXPECT_TRUE(same_terminal(child.terminal(), child.terminal_at_start())) << "echo and lines while stopped";
    // fg: raw again, and the keys work.
    ASSERT_TRUE(wait_terminal(child, true, 3000));
    child.send("z");
    EXPECT_TRUE(child.wait_stdout_contains("00000001 \r\n", 3000)) << child.out();
    child.send(ESC);
    ASSERT_TRUE(child.wait_stdout_contains("ended 0\n", 3000)) << child.out();
    ASSERT_TRUE(child.wait_exit(3000));
    EXPECT_TRUE(same_terminal(child.terminal(), child.terminal_at_start()));
}

TEST_F(LinuxPlayer, ABackgroundPlayerEndsOnEverySignalAndLeavesTheTerminalAlone) {
    const LinuxPlayerPaths paths{dir.path(), capture()};
    for (const int number : {SIGTERM, SIGHUP, SIGINT, SIGUSR1, SIGALRM}) {
        SCOPED_TRACE(number);
        std::filesystem::remove(capture());
        Child child(script(paths,
                           "\"$P\" \"$M\" & p=$!; i=0; while [ ! -s capture.raw ] && [ $i -lt 50 ]; do sleep 0.1; "
                           "i=$((i+1)); done; kill -" +
                               std::to_string(number) + " $p; wait $p; echo \"status $?\"",
                           true, Input::Terminal));
        ASSERT_TRUE(child.wait_stdout_contains("status " + std::to_string(128 + number) + "\n", 8000)) << child.out();
        ASSERT_TRUE(child.wait_exit(3000));
        EXPECT_TRUE(same_terminal(child.terminal(), child.terminal_at_start()));
    }
}

}  // namespace
