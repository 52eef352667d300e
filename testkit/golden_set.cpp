#include "golden_set.h"

#include <algorithm>
#include <sstream>

#include "busy_module.h"
#include "engine_harness.h"
#include "mixer.h"
#include "mixer_kernels.h"
#include "module_files.h"
#include "player_state.h"
#include "sha256.h"

namespace zindle::test {

namespace {

// A minute of audio per song (1292 buffers of 2048 frames); the wrap
// renders start 15 s before the 32-bit clock wraps and go 15 s past it.
constexpr int MINUTE_BUFFERS = 1292;
constexpr int WRAP_BUFFERS = 646;
constexpr std::uint32_t WRAP_START = 0u - 15u * SAMPLE_RATE * BYTES_PER_FRAME;

std::vector<std::uint8_t> busy(int channels, bool extended) {
    BusyOptions o;
    o.channels = channels;
    o.extended = extended;
    o.seed = static_cast<std::uint32_t>(channels);
    o.patterns = 6;
    return busy_module(o);
}

}  // namespace

std::vector<GoldenSong> golden_songs(const std::filesystem::path& examples, const std::filesystem::path& corpus) {
    std::vector<GoldenSong> songs;
    songs.push_back({"demo", read_module_file(examples / "demo.mod"), 0, MINUTE_BUFFERS, false});
    songs.push_back({"demo-extended", read_module_file(examples / "demo-extended.mod"), 0, MINUTE_BUFFERS, false});
    for (int channels : {4, 8, 16, 32})
        for (bool extended : {false, true}) {
            const std::string name = "busy-" + std::to_string(channels) + "ch" + (extended ? "-extended" : "");
            songs.push_back({name, busy(channels, extended), 0, MINUTE_BUFFERS, false});
        }
    songs.push_back({"clock-wrap-demo", read_module_file(examples / "demo.mod"), WRAP_START, WRAP_BUFFERS, false});
    songs.push_back({"clock-wrap-busy-8ch-extended", busy(8, true), WRAP_START, WRAP_BUFFERS, false});
    for (const std::filesystem::path& file : module_files_in(corpus))
        songs.push_back({"corpus/" + file.filename().string(), read_module_file(file), 0, MINUTE_BUFFERS, true});
    return songs;
}

std::string render_digest(const GoldenSong& song) {
    load_at_clock(song.module, song.start_clock);
    Sha256 digest;
    std::uint8_t bytes[FRAMES_PER_BUFFER * 4];
    for (int b = 0; b < song.buffers; ++b) {
        fill_buffer();
        const std::int16_t* samples = output_buffers[next_buffer];
        for (std::uint32_t i = 0; i < FRAMES_PER_BUFFER * 2; ++i) {
            const auto v = static_cast<std::uint16_t>(samples[i]);
            bytes[2 * i] = static_cast<std::uint8_t>(v);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        digest.add(bytes, sizeof bytes);
    }
    return digest.hex();
}

std::map<std::string, std::string> parse_digests(const std::string& text) {
    std::map<std::string, std::string> digests;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t gap = line.find("  ");
        if (gap == std::string::npos) continue;
        digests[line.substr(gap + 2)] = line.substr(0, gap);
    }
    return digests;
}

std::string digest_line(const std::string& digest, const std::string& name) { return digest + "  " + name + "\n"; }

std::vector<std::string> golden_differences(const std::string& committed, const std::vector<GoldenSong>& songs) {
    const std::map<std::string, std::string> expected = parse_digests(committed);
    std::vector<std::string> found;
    std::map<std::string, bool> in_set;
    for (const GoldenSong& song : songs) {
        in_set[song.name] = true;
        const auto it = expected.find(song.name);
        if (it == expected.end()) {
            found.push_back(song.name + ": no committed digest");
            continue;
        }
        // A level that leaves the same kernels as one checked already (no
        // such processor, or no kernels in this build) is not rendered again.
        std::vector<mixing::MixerKernels> checked;
        for (const MixerLevel level : MIXER_LEVELS) {
            const mixing::MixerKernels kernels = mixing::kernels_up_to(level);
            if (std::find(checked.begin(), checked.end(), kernels) != checked.end()) continue;
            checked.push_back(kernels);
            cap_mixer_level(level);
            const std::string got = render_digest(song);
            if (got != it->second)
                found.push_back(song.name + " (" + mixer_level_name(level) + "): " + got + " differs from " +
                                it->second);
        }
        cap_mixer_level(TOP_MIXER_LEVEL);
    }
    for (const auto& [name, digest] : expected)
        if (!in_set.count(name) && name.rfind("corpus/", 0) != 0)
            found.push_back(name + ": committed but not in the set");
    return found;
}

}  // namespace zindle::test
