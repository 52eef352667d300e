// zindle_get_position from a second thread while the first renders in
// 128-frame calls, as an audio callback does: every snapshot must be one
// moment that the row callback saw. Built by every Linux tree, so that the
// ThreadSanitizer tree (tests/tsan/position-race) checks it for data races.
//   zindle-position-race MODULE [SECONDS]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "zindle.h"

namespace {

struct Row {
    std::uint64_t frame;
    int order, pattern, row, passes;
};

void note_row(void* user, std::uint64_t frame, int order, int pattern, int row) {
    static_cast<std::vector<Row>*>(user)->push_back({frame, order, pattern, row, zindle_passes()});
}

std::vector<unsigned char> read_file(const char* path) {
    std::vector<unsigned char> bytes;
    if (std::FILE* f = std::fopen(path, "rb")) {
        unsigned char buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zindle-position-race MODULE [SECONDS]\n");
        return 2;
    }
    const auto song = read_file(argv[1]);
    const std::uint64_t frames = static_cast<std::uint64_t>(argc > 2 ? std::atof(argv[2]) : 20.0) * ZINDLE_SAMPLE_RATE;
    std::vector<Row> rows;
    rows.reserve(100000);
    zindle_set_row_callback(note_row, &rows);
    if (zindle_load(song.data(), song.size()) != 0) {
        std::fprintf(stderr, "zindle-position-race: %s does not load\n", argv[1]);
        return 1;
    }
    std::atomic<bool> started{false}, done{false};
    std::atomic<std::size_t> taken{0};
    std::vector<zindle_position> seen;
    seen.reserve(1000000);
    std::thread reader([&] {
        started = true;
        zindle_position p{};
        while (!done.load(std::memory_order_relaxed))
            if (zindle_get_position(&p) == 0 && (seen.empty() || seen.back().frame != p.frame) &&
                seen.size() < 1000000) {
                seen.push_back(p);
                taken.store(seen.size(), std::memory_order_relaxed);
            }
    });
    while (!started) std::this_thread::yield();
    std::int16_t out[2 * 128];
    // On, past `frames`, until the reader has had its turns (a busy machine
    // may run it late), at most ten times as long.
    for (std::uint64_t given = 0; given < frames || (taken.load() < 50 && given < 10 * frames); given += 128) {
        zindle_render(out, 128);
        if (given % 4096 == 0) std::this_thread::yield();
    }
    done = true;
    reader.join();

    // Each snapshot against the last row that started before its frame.
    std::size_t r = 0, wrong = 0;
    std::uint64_t last = 0;
    for (const zindle_position& p : seen) {
        while (r + 1 < rows.size() && rows[r + 1].frame < p.frame) ++r;
        bool ok = p.frame % 128 == 0 && p.frame >= last && p.tick >= 0 && (p.tick < p.speed || p.tick == 0);
        if (!rows.empty() && p.frame > rows[0].frame)
            ok = ok && p.order == rows[r].order && p.pattern == rows[r].pattern && p.row == rows[r].row &&
                 p.passes == rows[r].passes;
        last = p.frame;
        if (!ok && wrong++ < 5)
            std::fprintf(stderr, "frame %llu: order %d pattern %d row %d passes %d\n",
                         static_cast<unsigned long long>(p.frame), p.order, p.pattern, p.row, p.passes);
    }
    std::printf("%zu snapshots over %zu rows, %zu inconsistent\n", seen.size(), rows.size(), wrong);
    return wrong == 0 && seen.size() > 10 ? 0 : 1;
}
