// Writes the fuzzer's seed modules, made with the test module builder, into
// the folder given on the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "module_builder.h"

using namespace zindle::test;

namespace {

std::vector<std::int8_t> wave(std::size_t bytes) {
    std::vector<std::int8_t> d(bytes);
    for (std::size_t i = 0; i < bytes; ++i) d[i] = static_cast<std::int8_t>((i * 29) % 160 - 80);
    return d;
}

// Every effect with a few parameters on a few channels, at speed 1 so a
// short run passes many rows.
ModuleBuilder busy(int channels, bool extended) {
    ModuleBuilder b(channels);
    if (extended) {
        b.extended(1, 150);
        b.orders({1, 2, 1});
        std::array<std::uint8_t, 32> r{};
        const std::uint8_t env[] = {2, 20, 0, 0, 3, 0xF8, 0x80, 0x40, 1, 4};
        for (std::size_t i = 0; i < sizeof env; ++i) r[i] = env[i];
        r[24] = 0x02;
        r[26] = 1;
        r[27] = 3;
        r[28] = 4;
        b.instrument(1, r);
        b.instrument(2, r);
    } else {
        b.orders({0, 1, 0});
    }
    b.sample(1, Sample{.data = wave(256), .loop_start_words = 32, .loop_length_words = 64});
    b.sample(2, Sample{.data = wave(40), .finetune = 9, .volume = 48});
    b.sample(3, Sample{.data = wave(8), .loop_start_words = 3, .loop_length_words = 1});
    const int first = extended ? 1 : 0;
    b.cell(first, 0, 0, Cell{.effect = 0xF, .param = 1});
    int n = 0;
    for (int p = first; p <= first + 1; ++p) {
        for (int row = 0; row < 64; ++row) {
            const int c = (row + p) % channels;
            const std::uint8_t effect = static_cast<std::uint8_t>(n % 16);
            const std::uint8_t params[] = {0x37, 0x81, 0x0F, 0xFF, 0x11, 0xE2, 0x61, 0xD3, 0x9C, 0x24};
            const std::uint8_t param = params[n % 10];
            ++n;
            if (effect == 0xF || effect == 0xB || effect == 0xD) continue;
            b.cell(p, row, c,
                   Cell{.period = amiga_period(1 + n % 3, n % 12),
                        .sample = static_cast<std::uint8_t>(1 + n % 3),
                        .effect = effect,
                        .param = param});
        }
    }
    b.cell(first + 1, 40, 0, Cell{.period = 1});
    b.cell(first + 1, 41, 1, Cell{.period = 2, .effect = 4, .param = 0x44});
    return b;
}

void write(const std::string& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::perror(path.c_str());
    if (f != nullptr) std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zindle-fuzz-seeds FOLDER\n");
        return 2;
    }
    const std::string dir = argv[1];
    for (int channels : {4, 8, 32}) {
        write(dir, "busy-" + std::to_string(channels) + ".mod", busy(channels, false).build());
        write(dir, "extended-" + std::to_string(channels) + ".mod", busy(channels, true).build());
    }
    ModuleBuilder old;
    old.fifteen_samples();
    old.sample(1, Sample{.data = wave(64), .loop_start_words = 0, .loop_length_words = 32});
    old.cell(0, 0, 0, Cell{.period = 428, .sample = 1, .effect = 0xE, .param = 0xD3});
    old.cell(0, 1, 1, Cell{.period = 214, .sample = 1, .effect = 0xE, .param = 0xE2});
    write(dir, "fifteen.mod", old.build());

    ModuleBuilder loop(4);
    loop.orders({0, 1});
    loop.sample(1, Sample{.data = wave(32), .loop_start_words = 8, .loop_length_words = 8});
    loop.cell(0, 0, 0, Cell{.period = 113, .sample = 1, .effect = 0xF, .param = 1});
    loop.cell(0, 1, 1, Cell{.effect = 0xE, .param = 0x60});
    loop.cell(0, 3, 1, Cell{.effect = 0xE, .param = 0x62});
    loop.cell(0, 4, 2, Cell{.effect = 0xB, .param = 1});
    loop.cell(1, 2, 2, Cell{.effect = 0xD, .param = 0x99});
    loop.cell(1, 5, 3, Cell{.period = 28, .sample = 1, .effect = 0, .param = 0xC7});
    write(dir, "positions.mod", loop.build());
    return 0;
}
