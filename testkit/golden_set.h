// The golden set: the songs whose rendered bytes are pinned by committed
// SHA-256 digests (tests/golden/digests.txt), and how each is rendered.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace zindle::test {

struct GoldenSong {
    std::string name;
    std::vector<std::uint8_t> module;
    std::uint32_t start_clock;  // out_clock when the loader runs
    int buffers;                // fill_buffer calls rendered
    bool corpus;                // from the optional real-module folder
};

// The two demos, busy generated songs of 4, 8, 16 and 32 channels in the
// normal and the extended mode, two renders across the 2^32 wrap of the
// output clock, and every .mod file in `corpus` (none when it is absent).
std::vector<GoldenSong> golden_songs(const std::filesystem::path& examples, const std::filesystem::path& corpus);

// SHA-256 of the song's frames as rendered by fill_buffer, as the
// little-endian 16-bit samples a player writes.
std::string render_digest(const GoldenSong& song);

// "digest  name" lines as committed; name to digest.
std::map<std::string, std::string> parse_digests(const std::string& text);
std::string digest_line(const std::string& digest, const std::string& name);

// Every song rendered at each level of the mixer's kernels (plain, sse2,
// ssse3, avx2; once for levels that leave the same kernels, as where the
// processor or the build has no more) against the committed digests of
// `committed`; one line per difference, song missing from the file or name
// in the file that the set no longer has. A corpus song the file does not
// list counts as missing too, but committed corpus names whose files are
// absent are passed over.
std::vector<std::string> golden_differences(const std::string& committed, const std::vector<GoldenSong>& songs);

}  // namespace zindle::test
