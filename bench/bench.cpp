// zindle-bench [--seconds S] [--runs N] [--only NAME] [--level plain|sse2|ssse3|avx2]
// Renders every corpus module and busy generated modules of 4 to 32
// channels to memory, with the production mixer and with the per-frame
// reference, and prints CPU time per audio second. Each figure is the
// median of N runs; every run loads the module afresh.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "busy_module.h"
#include "engine_harness.h"
#include "mixer.h"
#include "module_files.h"
#include "player_state.h"

namespace {

namespace fs = std::filesystem;
using namespace zindle;

constexpr double FRAME_RATE = zindle::SAMPLE_RATE;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Median CPU seconds to render `buffers` buffers after a fresh load.
double time_render(const std::vector<std::uint8_t>& file, void (*fill)(), int buffers, int runs) {
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        test::load(file);
        const double start = cpu_seconds();
        for (int b = 0; b < buffers; ++b) fill();
        times.push_back(cpu_seconds() - start);
    }
    return median(times);
}

struct Result {
    double realtime;        // audio seconds per CPU second
    double ns_per_channel;  // per channel-frame
    double speedup;         // reference time over fast time
};

Result measure(const std::string& name, const std::vector<std::uint8_t>& file, double seconds, int runs) {
    test::load(file);
    const unsigned channels = player.song.channel_count;
    const int buffers = std::max(1, static_cast<int>(seconds * FRAME_RATE / FRAMES_PER_BUFFER + 0.5));
    const double frames = static_cast<double>(buffers) * FRAMES_PER_BUFFER;
    const double audio = frames / FRAME_RATE;
    const double fast = time_render(file, fill_buffer, buffers, runs);
    const double reference = time_render(file, fill_buffer_reference, buffers, runs);
    const Result r{audio / fast, fast * 1e9 / (frames * channels), reference / fast};
    std::printf(
        "%-36s %2u ch  audio %7.1f s  cpu %8.5f s  %9.0f x realtime  %6.3f ns/ch-frame  |  reference %8.5f s "
        "%7.0f x  |  speed-up %5.2f\n",
        name.c_str(), channels, audio, fast, r.realtime, r.ns_per_channel, reference, audio / reference, r.speedup);
    std::fflush(stdout);
    return r;
}

struct Group {
    std::vector<Result> results;
    std::string summary(const char* label) const {
        if (results.empty()) return std::string(label) + " none";
        double rt = 0, ns = 0, up = 0;
        for (const Result& r : results) rt += r.realtime, ns += r.ns_per_channel, up += r.speedup;
        const double n = static_cast<double>(results.size());
        char text[160];
        std::snprintf(text, sizeof text, "%s (%zu) %.0f x realtime, %.3f ns/ch-frame, speed-up %.2f", label,
                      results.size(), rt / n, ns / n, up / n);
        return text;
    }
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    int runs = 5;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
        else if (std::strcmp(argv[i], "--level") == 0) {
            // The production mixer's kernels capped at this level.
            const auto* level = std::find_if(std::begin(MIXER_LEVELS), std::end(MIXER_LEVELS), [&](MixerLevel l) {
                return std::strcmp(mixer_level_name(l), argv[i + 1]) == 0;
            });
            if (level == std::end(MIXER_LEVELS)) {
                std::fprintf(stderr, "zindle-bench: --level: %s is not plain, sse2, ssse3 or avx2\n", argv[i + 1]);
                return 2;
            }
            cap_mixer_level(*level);
        }
    }
    auto wanted = [&](const std::string& name) { return only.empty() || name.find(only) != std::string::npos; };

    // Corpus figures are averaged per channel count; the target is on the
    // 4-channel files.
    std::map<unsigned, Group> corpus;
    for (const fs::path& path : test::module_files_in(ZINDLE_BENCH_CORPUS_DIR)) {
        if (!wanted(path.filename().string())) continue;
        const std::vector<std::uint8_t> file = test::read_module_file(path);
        const Result r = measure(path.filename().string(), file, seconds, runs);
        corpus[player.song.channel_count].results.push_back(r);
    }

    std::map<int, Group> generated;
    for (int channels : {4, 8, 16, 32})
        for (std::uint32_t seed : {1u, 2u, 3u}) {
            const std::string name = "busy-" + std::to_string(channels) + "ch-" + std::to_string(seed);
            if (!wanted(name)) continue;
            test::BusyOptions o;
            o.channels = channels;
            o.seed = seed;
            o.patterns = 8;
            o.rare_commands = seed != 3;  // seed 3: notes, loops, slides and vibrato only
            generated[channels].results.push_back(measure(name, test::busy_module(o), seconds, runs));
        }

    std::string line = "summary:";
    for (const auto& [channels, group] : corpus)
        line += " " + group.summary(("corpus " + std::to_string(channels) + "ch").c_str()) + ";";
    for (const auto& [channels, group] : generated)
        line += " " + group.summary(("generated " + std::to_string(channels) + "ch").c_str()) + ";";
    std::printf("%s\n", line.c_str());
    return 0;
}
