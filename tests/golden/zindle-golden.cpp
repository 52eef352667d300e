// zindle-golden: renders the golden set and prints or checks its digests.
//   zindle-golden [--examples DIR] [--corpus DIR] print
//   zindle-golden [--examples DIR] [--corpus DIR] check DIGESTS_FILE
//   zindle-golden [--examples DIR] [--corpus DIR] modules DIR
// `print` writes one "digest  name" line per song (scripts/golden-digests
// uses it to regenerate the committed file); `check` renders every song at
// each level of the mixer's kernels, lists what differs and exits 1 if
// anything does; `modules` writes each song's module file into DIR as
// NAME.mod (corpus songs left out), for the renderer. Built for every processor, so other CPUs are checked
// against the digests taken on x86-64.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "golden_set.h"

int main(int argc, char** argv) {
    std::string examples = ZINDLE_SOURCE_DIR "/examples";
    std::string corpus = ZINDLE_CORPUS_DIR;
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        if (std::strcmp(argv[i], "--examples") == 0)
            examples = argv[i + 1];
        else if (std::strcmp(argv[i], "--corpus") == 0)
            corpus = argv[i + 1];
        else
            break;
    }
    const std::string command = i < argc ? argv[i] : "";
    const auto songs = zindle::test::golden_songs(examples, corpus);
    if (command == "print" && i + 1 == argc) {
        for (const auto& song : songs)
            std::fputs(zindle::test::digest_line(zindle::test::render_digest(song), song.name).c_str(), stdout);
        return 0;
    }
    if (command == "modules" && i + 2 == argc) {
        for (const auto& song : songs) {
            if (song.corpus) continue;
            const std::string path = std::string(argv[i + 1]) + "/" + song.name + ".mod";
            std::ofstream out(path, std::ios::binary);
            out.write(reinterpret_cast<const char*>(song.module.data()),
                      static_cast<std::streamsize>(song.module.size()));
            if (!out.flush()) {
                std::fprintf(stderr, "zindle-golden: cannot write %s\n", path.c_str());
                return 2;
            }
        }
        return 0;
    }
    if (command == "check" && i + 2 == argc) {
        std::ifstream in(argv[i + 1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "zindle-golden: cannot read %s\n", argv[i + 1]);
            return 2;
        }
        const std::string committed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto differences = zindle::test::golden_differences(committed, songs);
        for (const std::string& d : differences) std::fprintf(stderr, "%s\n", d.c_str());
        std::printf("%zu songs, %zu differences\n", songs.size(), differences.size());
        return differences.empty() ? 0 : 1;
    }
    std::fputs("usage: zindle-golden [--examples DIR] [--corpus DIR] print | check DIGESTS_FILE | modules DIR\n",
               stderr);
    return 2;
}
