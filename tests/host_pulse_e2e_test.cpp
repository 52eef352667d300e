// The Linux player through a real sound server: a private PulseAudio
// server with no card, only a null sink at s16le, 44100 Hz, stereo, 100 %
// volumes and a unix socket of its own. The player plays the demo through
// ALSA's pulse plugin; the sink's monitor, recorded with parec and aligned,
// must be zindle-render's output bit for bit. Then the server is killed and
// started again: the player says so, plays on through the new server, and
// still ends on Escape with 0. Skipped where the packages are missing,
// except in CI.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "host_e2e_support.h"
#include "module_builder.h"

using namespace zindle::e2e;

namespace {

namespace fs = std::filesystem;

const std::string ESC = "\x1b";
constexpr std::size_t SECOND = 44100 * 4;

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Where `recording` (silence at its ends cut) sits in `reference`, at
// `from` or later: the offset of its first sounding frame, or npos when it
// is not found whole. The song repeats some stretches exactly, so the first
// place that holds all of it counts.
std::size_t aligned_at(const std::string& recording, const std::string& reference, std::size_t& length,
                       std::size_t from = 0) {
    std::size_t end = recording.size() / 4 * 4;
    while (end >= 4 && recording.compare(end - 4, 4, std::string(4, '\0')) == 0) end -= 4;
    std::size_t start = 0;
    while (start < end && recording.compare(start, 4, std::string(4, '\0')) == 0) start += 4;
    length = end - start;
    if (length < 8192) return std::string::npos;
    const std::string probe = recording.substr(start, 8192);
    for (std::size_t at = reference.find(probe, from); at != std::string::npos; at = reference.find(probe, at + 4))
        if (reference.compare(at, length, recording, start, length) == 0) return at;
    return std::string::npos;
}

class PulsePlayer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!on_path("pulseaudio") || !on_path("parec") || alsa_plugin("pulse").empty()) {
            if (in_ci()) FAIL() << "pulseaudio, pulseaudio-utils and libasound2-plugins are needed";
            GTEST_SKIP() << "pulseaudio, parec or ALSA's pulse plugin is missing";
        }
        // Short paths: a unix socket's name has room for about 100 bytes.
        root = zindle::test::make_temp_dir();
        socket = root + "/native";
        fs::create_directories(root + "/runtime");
        write_text(root + "/server.pa",
                   "load-module module-null-sink sink_name=zindle format=s16le rate=44100 channels=2\n"
                   "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                       socket +
                       "\n"
                       "set-default-sink zindle\n"
                       "set-sink-volume zindle 65536\n"
                       "set-source-volume zindle.monitor 65536\n");
        write_text(root + "/client.conf", "autospawn = no\n");
        write_text(root + "/alsa.conf", "pcm.!default {\n    type pulse\n    server \"unix:" + socket +
                                            "\"\n}\nctl.!default {\n    type pulse\n    server \"unix:" + socket +
                                            "\"\n}\n");
    }
    void TearDown() override {
        if (!root.empty()) fs::remove_all(root);
    }

    // The server's own files all live in the test's folder.
    std::vector<std::pair<std::string, std::string>> environment() const {
        return {{"HOME", root},
                {"XDG_RUNTIME_DIR", root + "/runtime"},
                {"XDG_CONFIG_HOME", root + "/config"},
                {"PULSE_RUNTIME_PATH", root + "/runtime"},
                {"PULSE_STATE_PATH", root + "/state"},
                {"PULSE_CLIENTCONFIG", root + "/client.conf"},
                {"ALSA_CONFIG_PATH", root + "/alsa.conf"}};
    }
    std::unique_ptr<Child> start_server() {
        fs::remove(socket);
        Spawn spawn;
        spawn.argv = {"/usr/bin/env",
                      "pulseaudio",
                      "-n",
                      "--daemonize=no",
                      "--system=false",
                      "--exit-idle-time=-1",
                      "--use-pid-file=no",
                      "--disable-shm=yes",
                      "--log-target=stderr",
                      "-F",
                      root + "/server.pa"};
        spawn.env = environment();
        auto server = std::make_unique<Child>(spawn);
        for (int waited = 0; waited < 10000 && !fs::exists(socket); waited += 20) sleep_ms(20);
        EXPECT_TRUE(fs::exists(socket)) << server->err();
        return server;
    }
    // Records the sink's monitor, raw, until it holds `bytes`.
    std::string record(std::size_t bytes) {
        const std::string file = root + "/rec" + std::to_string(++recordings) + ".raw";
        Spawn spawn;
        spawn.argv = {"/bin/sh", "-c",
                      "exec parec --server=unix:" + socket +
                          " -d zindle.monitor --latency-msec=20 --raw --format=s16le --rate=44100 --channels=2 > '" +
                          file + "'"};
        spawn.env = environment();
        Child recorder(spawn);
        EXPECT_TRUE(wait_file_size(file, bytes, 15000)) << recorder.err();
        recorder.signal(SIGTERM);
        EXPECT_TRUE(recorder.wait_exit(3000));
        return read_file(file);
    }

    std::string root, socket;
    int recordings = 0;
};

TEST_F(PulsePlayer, PlaysBitExactThroughTheServerAndComesBackAfterItRestarts) {
    const std::string demo = source_path("examples/demo.mod");
    std::string report;
    const std::string reference = render(demo, 1200, &report);  // about 56 s
    auto server = start_server();

    Spawn spawn;
    spawn.argv = {bin_path("zindle"), demo};
    spawn.env = environment();
    spawn.input = Input::Pipe;
    Child player(spawn);
    ASSERT_TRUE(player.wait_stdout(report, 5000)) << player.out() << player.err();

    const std::string first = record(3 * SECOND);
    std::size_t length = 0;
    const std::size_t at = aligned_at(first, reference, length);
    EXPECT_NE(at, std::string::npos) << "the recording is a stretch of the rendering";
    EXPECT_GE(length, 2 * SECOND) << first.size();

    // Killed: the player notices, says so once, and keeps trying.
    server->signal(SIGKILL);
    ASSERT_TRUE(server->wait_exit(3000));
    EXPECT_TRUE(player.wait_stdout(report + "Sound device lost\r\n", 3000)) << player.out();
    sleep_ms(1000);
    EXPECT_TRUE(player.running());
    server = start_server();
    EXPECT_TRUE(player.wait_stdout(report + "Sound device lost\r\nSound device back\r\n", 3000)) << player.out();

    // Back: the music goes on, later in the song, still bit for bit.
    const std::string second = record(2 * SECOND);
    std::size_t later_length = 0;
    const std::size_t later = aligned_at(second, reference, later_length, at != std::string::npos ? at + length : 0);
    EXPECT_NE(later, std::string::npos) << "the player plays on through the new server";
    EXPECT_GE(later_length, 3 * SECOND / 2) << second.size();
    std::printf("[ figures  ] first recording at %.2f s of the song for %.2f s; after the restart at %.2f s\n",
                static_cast<double>(at) / SECOND, static_cast<double>(length) / SECOND,
                static_cast<double>(later) / SECOND);

    player.send(ESC);
    ASSERT_TRUE(player.wait_exit(3000));
    EXPECT_TRUE(WIFEXITED(player.status()) && WEXITSTATUS(player.status()) == 0) << player.status();
    EXPECT_EQ(player.out(), report + "Sound device lost\r\nSound device back\r\n");

    server->signal(SIGTERM);
    EXPECT_TRUE(server->wait_exit(5000));
}

TEST_F(PulsePlayer, AFrozenServerAtStartIsWaitedForAWhileWithEscapeWorking) {
    auto server = start_server();
    server->signal(SIGSTOP);
    Spawn spawn;
    spawn.argv = {bin_path("zindle"), source_path("examples/demo.mod")};
    spawn.env = environment();
    spawn.input = Input::Pipe;
    {
        // Escape while the device is being opened ends the player with 0.
        Child player(spawn);
        sleep_ms(300);
        player.send(ESC);
        ASSERT_TRUE(player.wait_exit(2000)) << "Escape must work while the server does not answer";
        EXPECT_TRUE(WIFEXITED(player.status()) && WEXITSTATUS(player.status()) == 0) << player.status();
        EXPECT_EQ(player.out(), "");
    }
    {
        // Nobody presses a key: the wait has an end (5 s), and it is a failure.
        Child player(spawn);
        ASSERT_TRUE(player.wait_exit(9000)) << "the wait for the server must be bounded";
        EXPECT_TRUE(WIFEXITED(player.status()) && WEXITSTATUS(player.status()) == 1) << player.status();
        EXPECT_EQ(player.out(), "Couldn't open sound device");
    }
    server->signal(SIGCONT);
    server->signal(SIGTERM);
    EXPECT_TRUE(server->wait_exit(5000));
}

}  // namespace
