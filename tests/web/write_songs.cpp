// Writes the generated songs that the WebAssembly module is checked with
// into a folder:
// - busy-<channels>ch.mod and busy-<channels>ch-ext.mod (the instrument
//   extension) for 4 to 32 channels, checked against zindle-render;
// - golden.txt, one line per song of the golden set that starts at clock
//   0 (name, buffers, module file), the generated ones written beside it,
//   checked against the committed digests.
#include <cstdio>
#include <string>
#include <vector>

#include "busy_module.h"
#include "golden_set.h"

namespace {

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f != nullptr && std::fclose(f) != 0) return false;
    if (!ok) std::fprintf(stderr, "zindle-write-songs: cannot write %s\n", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: zindle-write-songs FOLDER\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    for (const int channels : {4, 6, 8, 12, 16, 24, 32}) {
        for (const bool extended : {false, true}) {
            zindle::test::BusyOptions o;
            o.channels = channels;
            o.patterns = 3;
            o.seed = static_cast<std::uint32_t>(channels * 2 + (extended ? 1 : 0));
            o.extended = extended;
            const std::string name = "busy-" + std::to_string(channels) + "ch" + (extended ? "-ext" : "");
            if (!write_file(folder + "/" + name + ".mod", zindle::test::busy_module(o))) return 1;
        }
    }
    // The song's start clock cannot be chosen through the library, so the
    // renders across the clock wrap are left out.
    std::string manifest;
    for (const auto& song : zindle::test::golden_songs(ZINDLE_SOURCE_DIR "/examples", ZINDLE_CORPUS_DIR)) {
        if (song.start_clock != 0) continue;
        const std::string path = song.corpus ? std::string(ZINDLE_CORPUS_DIR) + "/" + song.name.substr(7)
                                             : folder + "/golden-" + song.name + ".mod";
        if (!song.corpus && !write_file(path, song.module)) return 1;
        manifest += song.name + "\t" + std::to_string(song.buffers) + "\t" + path + "\n";
    }
    return write_file(folder + "/golden.txt", std::vector<std::uint8_t>(manifest.begin(), manifest.end())) ? 0 : 1;
}
