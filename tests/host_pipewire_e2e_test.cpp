// The Linux player through a real PipeWire server that freezes for a
// while. The server is private to the test: its own session bus, daemon and
// session manager, all in the test's folder, with no card: its one sink
// runs at s16le, 44100 Hz, stereo, and writes what it plays into a pipe,
// which the test records. The player plays the demo through ALSA's pipewire
// plugin, and the recording is compared with zindle-render's output.
// Skipped where the packages are missing, except in CI.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "host_e2e_support.h"
#include "temp_dir.h"

using namespace zindle::e2e;

namespace {

namespace fs = std::filesystem;

const std::string ESC = "\x1b";
constexpr std::size_t FRAME = 4;
constexpr std::size_t RATE = 44100;
constexpr std::size_t SECOND = RATE * FRAME;

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A stretch of the recording found in the reference.
struct Piece {
    std::size_t song_at;  // frames
    std::size_t frames;
};

struct Hearing {
    std::vector<Piece> pieces;
    std::size_t stray = 0;  // sounding frames found nowhere in the song
};

bool silent_frame(const std::string& bytes, std::size_t frame) {
    return bytes.compare(frame * FRAME, FRAME, std::string(FRAME, '\0')) == 0;
}

// The recording, its silences left out, as stretches of the reference, each
// as long as it goes on matching.
Hearing hearing_of(const std::string& recording, const std::string& reference) {
    Hearing hearing;
    const std::size_t frames = recording.size() / FRAME;
    const std::size_t song_frames = reference.size() / FRAME;
    std::size_t at = 0;
    while (true) {
        while (at < frames && silent_frame(recording, at)) ++at;
        if (at == frames) return hearing;
        // The probe stops short of the next silence of 32 frames or more,
        // where the server may have cut in.
        std::size_t probe = 0;
        for (std::size_t quiet = 0; probe < 1024 && at + probe < frames && quiet < 32; ++probe)
            quiet = silent_frame(recording, at + probe) ? quiet + 1 : 0;
        std::size_t found = std::string::npos;
        if (probe >= 64) {
            const std::string needle = recording.substr(at * FRAME, probe * FRAME);
            found = reference.find(needle);
            while (found != std::string::npos && found % FRAME != 0) found = reference.find(needle, found + 1);
        }
        if (found == std::string::npos) {
            hearing.stray += probe;
            at += probe;
            continue;
        }
        const std::size_t song_at = found / FRAME;
        std::size_t length = 0;
        while (at + length < frames && song_at + length < song_frames &&
               recording.compare((at + length) * FRAME, FRAME, reference, (song_at + length) * FRAME, FRAME) == 0)
            ++length;
        hearing.pieces.push_back({song_at, length});
        at += length;
    }
}

struct Continuity {
    std::size_t heard = 0;     // frames of the song heard at least once
    std::size_t missed = 0;    // frames of the song between the first and the last heard that never were
    std::size_t repeated = 0;  // frames heard more than once
};

Continuity continuity_of(std::vector<Piece> pieces) {
    Continuity result;
    std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.song_at < b.song_at; });
    std::size_t end = 0;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        const Piece& piece = pieces[k];
        const std::size_t piece_end = piece.song_at + piece.frames;
        if (k > 0 && piece.song_at > end) result.missed += piece.song_at - end;
        const std::size_t overlap = k == 0 || piece.song_at >= end ? 0 : std::min(end, piece_end) - piece.song_at;
        result.repeated += overlap;
        result.heard += piece.frames - overlap;
        end = std::max(end, piece_end);
    }
    return result;
}

class PipeWirePlayer : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string plugin = alsa_plugin("pipewire");
        for (const char* program : {"pipewire", "wireplumber", "pw-metadata", "dbus-daemon"})
            if (!on_path(program) || plugin.empty()) {
                if (in_ci())
                    FAIL() << "pipewire, pipewire-bin, wireplumber, dbus-daemon and ALSA's pipewire plugin "
                              "(pipewire-alsa, installed or unpacked under $ZINDLE_ALSA_PLUGIN_ROOT) are needed";
                GTEST_SKIP() << "PipeWire, its tools, its ALSA plugin or a session bus is missing";
            }
        root = zindle::test::make_temp_dir();
        fs::create_directories(root + "/runtime");
        fs::create_directories(root + "/config/pipewire/pipewire.conf.d");
        write_text(root + "/config/pipewire/pipewire.conf.d/zindle.conf",
                   "context.properties = {\n"
                   "    default.clock.rate = 44100\n"
                   "    default.clock.allowed-rates = [ 44100 ]\n"
                   "}\n"
                   "context.modules = [\n"
                   "    { name = libpipewire-module-pipe-tunnel\n"
                   "        args = {\n"
                   "            tunnel.mode = sink\n"
                   "            pipe.filename = \"" +
                       root +
                       "/sink.fifo\"\n"
                       "            audio.format = S16LE\n"
                       "            audio.rate = 44100\n"
                       "            audio.channels = 2\n"
                       "            audio.position = [ FL FR ]\n"
                       "            stream.props = { node.name = \"zindle\" }\n"
                       "        }\n"
                       "    }\n"
                       "]\n");
        // The plugin is named by its file: it may be unpacked rather than
        // installed (it conflicts with the PulseAudio server's package).
        write_text(root + "/alsa.conf",
                   "pcm_type.pipewire {\n    lib \"" + plugin + "\"\n}\npcm.!default {\n    type pipewire\n}\n");
        start_servers();
    }
    void TearDown() override {
        // Session manager first, then the daemon, then the bus.
        for (auto* child : {manager.get(), daemon.get(), bus.get()})
            if (child != nullptr) {
                child->signal(SIGCONT);
                child->signal(SIGTERM);
                child->wait_exit(5000);
            }
        manager.reset();
        daemon.reset();
        bus.reset();
        if (!root.empty()) fs::remove_all(root);
    }

    // Every file of the servers and clients lives in the test's folder.
    std::vector<std::pair<std::string, std::string>> environment() const {
        return {{"HOME", root},
                {"XDG_RUNTIME_DIR", root + "/runtime"},
                {"PIPEWIRE_RUNTIME_DIR", root + "/runtime"},
                {"XDG_CONFIG_HOME", root + "/config"},
                {"XDG_STATE_HOME", root + "/state"},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + root + "/runtime/bus"},
                {"ALSA_CONFIG_PATH", root + "/alsa.conf"}};
    }
    std::unique_ptr<Child> start(const std::vector<std::string>& argv) {
        Spawn spawn;
        spawn.argv = argv;
        spawn.env = environment();
        return std::make_unique<Child>(spawn);
    }
    bool wait_for(const std::string& path) {
        for (int waited = 0; waited < 10000; waited += 20) {
            if (fs::exists(path)) return true;
            sleep_ms(20);
        }
        return false;
    }
    void start_servers() {
        bus = start({"/usr/bin/env", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--address=unix:path=" + root + "/runtime/bus"});
        ASSERT_TRUE(wait_for(root + "/runtime/bus")) << bus->err();
        daemon = start({"/usr/bin/env", "pipewire"});
        ASSERT_TRUE(wait_for(root + "/runtime/pipewire-0")) << daemon->err();
        ASSERT_TRUE(wait_for(root + "/sink.fifo")) << daemon->err();
        manager = start({"/usr/bin/env", "wireplumber"});
        // Ready once the session manager has made the sink the default.
        for (int waited = 0; waited < 10000; waited += 100) {
            auto metadata = start({"/usr/bin/env", "pw-metadata", "-n", "default", "0", "default.audio.sink"});
            metadata->wait_exit(3000);
            if (metadata->out().find("\"zindle\"") != std::string::npos) return;
            sleep_ms(100);
        }
        FAIL() << "the session manager never chose the sink: " << manager->err();
    }
    // Records what the sink plays, raw, into a file. The sink writes it into
    // a pipe from inside the server, so the recording itself never stalls
    // with the server or misses a frame.
    std::unique_ptr<Child> start_recording(const std::string& file) {
        return start({"/bin/sh", "-c", "exec cat '" + root + "/sink.fifo' > '" + file + "'"});
    }
    std::unique_ptr<Child> start_player() {
        Spawn spawn;
        spawn.argv = {bin_path("zindle"), source_path("examples/demo.mod")};
        spawn.env = environment();
        spawn.input = Input::Pipe;
        return std::make_unique<Child>(spawn);
    }
    void freeze_server(int ms) {
        daemon->signal(SIGSTOP);
        sleep_ms(ms);
        daemon->signal(SIGCONT);
    }

    std::string root;
    std::unique_ptr<Child> bus, daemon, manager;
};

// A server that stops taking frames for a while makes ALSA call an underrun
// once it is back, with the player's frames still in ALSA's buffer, and the
// recovery empties that buffer. Those frames are handed over again. What
// may still go unheard is what the server itself had read out of turn
// (none to 4,096 frames in three freezes were seen here); before, all that
// ALSA held (6,144 to 10,240 frames a freeze) went unheard. Three freezes
// keep the two apart however each one falls.
TEST_F(PipeWirePlayer, AServerThatFreezesLosesNothingThePlayerStillHeld) {
    constexpr std::size_t FREEZES = 3;
    std::string report;
    const std::string reference = render(source_path("examples/demo.mod"), 600, &report);  // about 28 s
    const std::string file = root + "/recording.raw";
    auto recorder = start_recording(file);
    sleep_ms(300);
    auto player = start_player();
    ASSERT_TRUE(player->wait_stdout(report, 5000)) << player->out() << player->err();

    // Each freeze comes after two seconds of music.
    for (std::size_t freeze = 1; freeze <= FREEZES; ++freeze) {
        ASSERT_TRUE(wait_file_size(file, (2 * freeze + 1) * SECOND, 10000)) << recorder->err();
        freeze_server(400);
    }
    ASSERT_TRUE(wait_file_size(file, (2 * FREEZES + 3) * SECOND, 10000)) << recorder->err();

    player->send(ESC);
    ASSERT_TRUE(player->wait_exit(3000));
    EXPECT_TRUE(WIFEXITED(player->status()) && WEXITSTATUS(player->status()) == 0) << player->status();
    EXPECT_EQ(player->out(), report) << "a freeze is not a lost device";
    recorder->signal(SIGTERM);
    recorder->wait_exit(3000);

    const Hearing hearing = hearing_of(read_file(file), reference);
    const Continuity heard = continuity_of(hearing.pieces);
    std::printf("[ figures  ] %zu stretches: %zu frames of the song heard, %zu missed, %zu heard twice, %zu stray\n",
                hearing.pieces.size(), heard.heard, heard.missed, heard.repeated, hearing.stray);
    EXPECT_GE(heard.heard, (2 * FREEZES + 1) * RATE);
    EXPECT_LE(heard.missed, FREEZES * 2048u) << "the frames ALSA still held must be played after each freeze";
    // A freeze may replay what the server had taken but not played, and
    // let a period it had read out of turn go by first.
    EXPECT_LE(heard.repeated, FREEZES * 10240u);
    EXPECT_LE(hearing.stray, FREEZES * 2048u);
}

// While the server is frozen the player waits rather than polls. A player
// that served the device from a thread of its own woke 130 to 140 times a
// second here.
TEST_F(PipeWirePlayer, AFrozenServerIsWaitedForNotPolled) {
    auto player = start_player();
    std::string report;
    render(source_path("examples/demo.mod"), 1, &report);
    ASSERT_TRUE(player->wait_stdout(report, 5000)) << player->out() << player->err();
    sleep_ms(1500);

    long long before = waits_of(player->pid());
    sleep_ms(1000);
    const long long playing = waits_of(player->pid()) - before;

    daemon->signal(SIGSTOP);
    sleep_ms(200);
    before = waits_of(player->pid());
    sleep_ms(1000);
    const long long frozen = waits_of(player->pid()) - before;
    daemon->signal(SIGCONT);
    std::printf("[ figures  ] the player waits %lld times a second playing, %lld with the server frozen\n", playing,
                frozen);
    // The host's 17 ms timer wakes it 59 times a second; the device adds
    // a look every 100 ms at most.
    EXPECT_LE(frozen, 80);

    player->send(ESC);
    ASSERT_TRUE(player->wait_exit(3000));
    EXPECT_TRUE(WIFEXITED(player->status()) && WEXITSTATUS(player->status()) == 0) << player->status();
}

}  // namespace
