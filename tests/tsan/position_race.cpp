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
    // Rounds of 32 calls, each by handshake: the renderer names the round,
    // and does not leave it until the reader has kept a new snapshot taken
    // wholly inside it (the round the same before and after the read), so
    // every round has a read that overlaps its renders, however the
    // threads are scheduled.
    constexpr std::uint64_t ROUND_FRAMES = 32 * 128;
    const std::uint64_t rounds = frames / ROUND_FRAMES + 1;
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> round{0}, acknowledged{0};
    std::vector<zindle_position> seen;
    seen.reserve(1000000);
    std::thread reader([&] {
        zindle_position p{};
        while (!done.load(std::memory_order_acquire)) {
            const std::uint64_t r = round.load(std::memory_order_acquire);
            if (zindle_get_position(&p) != 0 || (!seen.empty() && seen.back().frame == p.frame)) continue;
            if (seen.size() < seen.capacity()) seen.push_back(p);
            if (r != 0 && round.load(std::memory_order_acquire) == r) acknowledged.store(r, std::memory_order_release);
        }
    });
    std::int16_t out[2 * 128];
    std::uint64_t given = 0;
    for (std::uint64_t r = 1; r <= rounds; ++r) {
        round.store(r, std::memory_order_release);
        for (std::uint64_t calls = 0; calls < 32 || acknowledged.load(std::memory_order_acquire) < r; ++calls) {
            if (zindle_render(out, 128) != 128) {
                std::fprintf(stderr, "zindle-position-race: a render gave fewer frames than asked\n");
                done = true;
                reader.join();
                return 1;
            }
            given += 128;
            if (calls >= 32) std::this_thread::yield();
        }
    }
    done.store(true, std::memory_order_release);
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
    std::printf("%zu snapshots over %zu rows in %llu rounds (%llu frames), %zu inconsistent\n", seen.size(),
                rows.size(), static_cast<unsigned long long>(rounds), static_cast<unsigned long long>(given), wrong);
    return wrong == 0 && seen.size() >= rounds ? 0 : 1;
}
