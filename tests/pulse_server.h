// A private PulseAudio server for the players' end-to-end tests: no card,
// only a null sink named "zindle" at s16le, 44100 Hz, stereo, 100 %
// volumes, which takes frames at the clock's pace as a sound card does;
// a unix socket of its own, and every file of the server and its clients
// in a fresh folder.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host_e2e_support.h"

namespace zindle::e2e {

class PulseServer {
public:
    // The folder and the server's configuration; nothing runs yet.
    PulseServer();
    // Removes the folder. Servers are the caller's to stop, by their PIDs.
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Whether pulseaudio and ALSA's pulse plugin are installed.
    static bool installed();

    // A server on this folder's socket, once the socket is there.
    std::unique_ptr<Child> start() const;

    // For the server and its clients: their files in the folder, and ALSA's
    // default PCM and control the sink.
    std::vector<std::pair<std::string, std::string>> environment() const;
    // ALSA's configuration of a PCM that plays into the sink, for a slave.
    std::string alsa_pcm() const;

    const std::string& root() const { return root_; }
    const std::string& socket() const { return socket_; }

private:
    std::string root_, socket_;
};

}  // namespace zindle::e2e
