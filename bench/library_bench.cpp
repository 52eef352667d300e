// zindle-library-bench: the library's figures. How long an exact seek takes
// anywhere in a song of about five minutes, what rendering in odd-sized
// calls costs against whole 2048-frame buffers, and (from the script
// beside it) the stripped size of libzindle.so; given a folder of songs,
// the cost per frame of 128-, 7- and 1-frame calls against whole blocks
// over its 4-channel songs, and the floor of a call: the same loop calling
// an empty function of a shared library. Figures only; nothing
// here passes or fails.
//   zindle-library-bench [CORPUS_DIR]
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "busy_module.h"
#include "zindle.h"

extern "C" {
// libzindle-call-floor, beside this program.
std::size_t zindle_floor_empty(std::int16_t* out, std::size_t frames);
}

namespace {

// The thread's processor time, so that other work on the machine counts
// as little as it can.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A 4-channel busy song of `patterns` patterns, its speed and tempo
// commands taken out so that it keeps the usual pace: 7.68 s a pattern.
std::vector<std::uint8_t> song(int patterns) {
    zindle::test::BusyOptions options;
    options.channels = 4;
    options.patterns = patterns;
    options.seed = 7;
    options.rare_commands = false;
    auto file = zindle::test::busy_module(options);
    const std::size_t first_cell = 1084;
    for (std::size_t at = first_cell; at + 3 < first_cell + static_cast<std::size_t>(patterns) * 1024; at += 4)
        if ((file[at + 2] & 0x0F) == 0x0F || (file[at + 2] & 0x0F) == 0x0B || (file[at + 2] & 0x0F) == 0x0D) {
            file[at + 2] &= 0xF0;
            file[at + 3] = 0;
        }
    return file;
}

template <std::size_t (*Render)(std::int16_t*, std::size_t)>
double call_cost(std::size_t chunk, std::size_t frames, std::vector<std::int16_t>& out) {
    const double start = cpu_seconds();
    for (std::size_t done = 0; done < frames;) {
        const std::size_t want = std::min(chunk, frames - done);
        Render(out.data(), want);
        done += want;
    }
    return cpu_seconds() - start;
}

double render_cost(std::size_t chunk, std::size_t frames, std::vector<std::int16_t>& out) {
    zindle_seek(0);
    return call_cost<zindle_render>(chunk, frames, out);
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::vector<std::uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::uint8_t buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return bytes;
}

// Calls of 2048, 128, 7 and 1 frames over 20 s of each 4-channel song of
// the folder: total processor time for each, best of five rounds, in
// nanoseconds a frame; then as many calls of the empty function.
void corpus_calls(const char* folder, std::vector<std::int16_t>& out) {
    std::vector<std::vector<std::uint8_t>> songs;
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".mod") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        auto bytes = read_file(path);
        if (zindle_load(bytes.data(), bytes.size()) == 0 && zindle_channel_count() == 4) songs.push_back(bytes);
    }
    if (songs.empty()) {
        std::printf("corpus: no 4-channel song in %s\n", folder);
        return;
    }
    const std::size_t frames = 20 * ZINDLE_SAMPLE_RATE;
    const std::size_t chunks[] = {2048, 128, 7, 1};
    double best[5] = {1e9, 1e9, 1e9, 1e9, 1e9};
    for (int round = 0; round < 5; ++round) {
        for (std::size_t i = 0; i < 4; ++i) {
            double total = 0;
            for (const auto& bytes : songs) {
                zindle_load(bytes.data(), bytes.size());
                total += render_cost(chunks[i], frames, out);
            }
            best[i] = std::min(best[i], total);
        }
        double empty = 0;
        for (std::size_t song = 0; song < songs.size(); ++song) empty += call_cost<zindle_floor_empty>(1, frames, out);
        best[4] = std::min(best[4], empty);
    }
    const double per_frame = 1e9 / static_cast<double>(frames * songs.size());
    std::printf("corpus: %zu 4-channel songs, 20 s each, best of 5\n", songs.size());
    std::printf("corpus calls of 2048 frames: %.2f ns a frame\n", best[0] * per_frame);
    std::printf("corpus calls of  128 frames: %.2f ns a frame, %+.1f %% against whole blocks (target within 3 %%)\n",
                best[1] * per_frame, 100 * (best[1] / best[0] - 1));
    std::printf("corpus calls of    7 frames: %.2f ns a frame, %+.1f %% against whole blocks\n", best[2] * per_frame,
                100 * (best[2] / best[0] - 1));
    std::printf("corpus calls of    1 frame:  %.2f ns a frame, %.2f x whole blocks (target at most 2 x)\n",
                best[3] * per_frame, best[3] / best[0]);
    // A 1-frame call costs at least a whole block's frame and a call.
    std::printf("floor: an empty library function in the same loop: %.2f ns a call; "
                "1-frame calls at least %.2f x whole blocks\n",
                best[4] * per_frame, (best[0] + best[4]) / best[0]);
}

}  // namespace

int main(int argc, char** argv) {
    const auto file = song(40);
    if (zindle_load(file.data(), file.size()) != 0) return 1;
    const std::uint64_t length = zindle_pass_frames();
    std::printf("song: 4 channels, one pass %.1f s (%llu frames)\n", static_cast<double>(length) / ZINDLE_SAMPLE_RATE,
                static_cast<unsigned long long>(length));

    // Seeks: forward from the start, then backward (a restart) from the end.
    std::vector<std::int16_t> out(2 * 4096);
    double worst = 0;
    double total = 0;
    int seeks = 0;
    for (int round = 0; round < 3; ++round) {
        for (const double fraction : {0.1, 0.5, 0.9, 0.999, 0.3}) {
            const auto target = static_cast<std::uint64_t>(static_cast<double>(length) * fraction);
            zindle_seek(length - 1);
            zindle_render(out.data(), 1);
            const double start = cpu_seconds();
            zindle_seek(target);
            const double took = cpu_seconds() - start;
            worst = std::max(worst, took);
            total += took;
            ++seeks;
        }
    }
    std::printf("seek: %d seeks back to 10..99.9 %% of the song, mean %.1f ms, worst %.1f ms (target under 50 ms)\n",
                seeks, 1000 * total / seeks, 1000 * worst);
    // The first seek after a load has no kept states yet: it renders from
    // the start.
    zindle_load(file.data(), file.size());
    const double first = cpu_seconds();
    zindle_seek(length - 1);
    std::printf("seek: first seek to the end right after the load %.1f ms\n", 1000 * (cpu_seconds() - first));

    // Odd-sized calls against whole buffers, best of nine, over 60 s of song.
    const std::size_t frames = 60 * ZINDLE_SAMPLE_RATE;
    const std::size_t chunks[] = {2048, 1, 7, 1000, 4096};
    double best[5];
    for (double& b : best) b = 1e9;
    for (int round = 0; round < 9; ++round)
        for (std::size_t i = 0; i < 5; ++i) best[i] = std::min(best[i], render_cost(chunks[i], frames, out));
    std::printf("render 60 s in calls of 2048 frames: %.2f ms (%.0f x realtime)\n", 1000 * best[0], 60 / best[0]);
    for (std::size_t i = 1; i < 5; ++i)
        std::printf(
            "render 60 s in calls of %4zu frames: %.2f ms, %+.1f %% against whole buffers (target within 5 %%)\n",
            chunks[i], 1000 * best[i], 100 * (best[i] / best[0] - 1));
    if (argc > 1) corpus_calls(argv[1], out);
    return 0;
}
