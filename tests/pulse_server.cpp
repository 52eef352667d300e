#include "pulse_server.h"

#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "temp_dir.h"

namespace zindle::e2e {

namespace fs = std::filesystem;

namespace {

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

PulseServer::PulseServer() {
    // Short paths: a unix socket's name has room for about 100 bytes.
    root_ = zindle::test::make_temp_dir();
    socket_ = root_ + "/native";
    fs::create_directories(root_ + "/runtime");
    write_text(root_ + "/server.pa",
               "load-module module-null-sink sink_name=zindle format=s16le rate=44100 channels=2\n"
               "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                   socket_ +
                   "\n"
                   "set-default-sink zindle\n"
                   "set-sink-volume zindle 65536\n"
                   "set-source-volume zindle.monitor 65536\n");
    write_text(root_ + "/client.conf", "autospawn = no\n");
    write_text(root_ + "/alsa.conf", "pcm.!default {\n" + alsa_pcm() + "}\nctl.!default {\n" + alsa_pcm() + "}\n");
}

PulseServer::~PulseServer() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

bool PulseServer::installed() {
    return on_path("pulseaudio") && on_path("pactl") && !alsa_plugin("pulse").empty();
}

std::unique_ptr<Child> PulseServer::start() const {
    fs::remove(socket_);
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
                  root_ + "/server.pa"};
    spawn.env = environment();
    auto server = std::make_unique<Child>(spawn);
    // The socket appears before the server listens on it, and the start-up
    // script runs before it serves anyone: a client's round trip is the
    // sign that it is ready (a test may freeze it straight away).
    int waited = 0;
    for (; waited < 10000 && !fs::exists(socket_) && server->running(); waited += 20) sleep_ms(20);
    for (; waited < 10000 && server->running(); waited += 20) {
        Spawn probe;
        probe.argv = {"/usr/bin/env", "pactl", "--server=unix:" + socket_, "info"};
        probe.env = environment();
        Child client(probe);
        if (client.wait_exit(2000) && WIFEXITED(client.status()) && WEXITSTATUS(client.status()) == 0) break;
        sleep_ms(20);
    }
    return server;
}

std::vector<std::pair<std::string, std::string>> PulseServer::environment() const {
    return {{"HOME", root_},
            {"XDG_RUNTIME_DIR", root_ + "/runtime"},
            {"XDG_CONFIG_HOME", root_ + "/config"},
            {"PULSE_RUNTIME_PATH", root_ + "/runtime"},
            {"PULSE_STATE_PATH", root_ + "/state"},
            {"PULSE_CLIENTCONFIG", root_ + "/client.conf"},
            {"ALSA_CONFIG_PATH", root_ + "/alsa.conf"}};
}

std::string PulseServer::alsa_pcm() const { return "    type pulse\n    server \"unix:" + socket_ + "\"\n"; }

}  // namespace zindle::e2e
