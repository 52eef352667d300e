// Writes the generated busy songs that the WebAssembly module is checked
// with into a folder: busy-<channels>ch.mod and busy-<channels>ch-ext.mod
// (the instrument extension) for 4 to 32 channels.
#include <cstdio>
#include <string>

#include "../bench/busy_module.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: zindle-write-songs FOLDER\n", stderr);
        return 2;
    }
    for (const int channels : {4, 6, 8, 12, 16, 24, 32}) {
        for (const bool extended : {false, true}) {
            zindle::bench::BusyOptions o;
            o.channels = channels;
            o.patterns = 3;
            o.seed = static_cast<std::uint32_t>(channels * 2 + (extended ? 1 : 0));
            o.extended = extended;
            const auto bytes = zindle::bench::busy_module(o);
            const std::string path = std::string(argv[1]) + "/busy-" + std::to_string(channels) + "ch" +
                                     (extended ? "-ext" : "") + ".mod";
            std::FILE* f = std::fopen(path.c_str(), "wb");
            if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
                std::fprintf(stderr, "zindle-write-songs: cannot write %s\n", path.c_str());
                return 1;
            }
        }
    }
    return 0;
}
