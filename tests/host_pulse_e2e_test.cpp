// The Linux player through a real sound server, a private PulseAudio
// server (pulse_server.h). The player plays the demo through
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
#include <string>

#include "host_e2e_support.h"
#include "pulse_server.h"

using namespace zindle::e2e;

namespace {

namespace fs = std::filesystem;

const std::string ESC = "\x1b";
constexpr std::size_t SECOND = 44100 * 4;

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
        if (!PulseServer::installed() || !on_path("parec")) {
            if (in_ci()) FAIL() << "pulseaudio, pulseaudio-utils and libasound2-plugins are needed";
            GTEST_SKIP() << "pulseaudio, parec or ALSA's pulse plugin is missing";
        }
        pulse = std::make_unique<PulseServer>();
    }

    std::vector<std::pair<std::string, std::string>> environment() const { return pulse->environment(); }
    std::unique_ptr<Child> start_server() {
        auto server = pulse->start();
        EXPECT_TRUE(fs::exists(pulse->socket())) << server->err();
        return server;
    }
    // Records the sink's monitor, raw, until it holds `bytes`.
    std::string record(std::size_t bytes) {
        const std::string file = pulse->root() + "/rec" + std::to_string(++recordings) + ".raw";
        Spawn spawn;
        spawn.argv = {"/bin/sh", "-c",
                      "exec parec --server=unix:" + pulse->socket() +
                          " -d zindle.monitor --latency-msec=20 --raw --format=s16le --rate=44100 --channels=2 > '" +
                          file + "'"};
        spawn.env = environment();
        Child recorder(spawn);
        EXPECT_TRUE(wait_file_size(file, bytes, 15000)) << recorder.err();
        recorder.signal(SIGTERM);
        EXPECT_TRUE(recorder.wait_exit(3000));
        return read_file(file);
    }

    std::unique_ptr<PulseServer> pulse;
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
        EXPECT_TRUE(WIFEXITED(player.status()) && WEXITSTATUS(player.status()) == 3) << player.status();
        EXPECT_EQ(player.out(), "Couldn't open sound device");
    }
    server->signal(SIGCONT);
    server->signal(SIGTERM);
    EXPECT_TRUE(server->wait_exit(5000));
}

}  // namespace
