// The rendered bytes are pinned: every song of the golden set, at each
// level of the mixer's kernels, must hash to its committed digest. A rule
// that changes output on purpose regenerates the file with
// scripts/golden-digests --write, and the change shows in review.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "golden_set.h"
#include "sha256.h"

using namespace zindle::test;

namespace {

const std::string DIGESTS = std::string(ZINDLE_SOURCE_DIR) + "/tests/golden/digests.txt";

std::string committed() {
    std::ifstream in(DIGESTS, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(sha256_hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(sha256_hex(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks, and input fed in pieces that straddle them.
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    Sha256 pieces;
    for (char c : two) pieces.add(reinterpret_cast<const std::uint8_t*>(&c), 1);
    EXPECT_EQ(pieces.hex(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(GoldenDigests, EverySongAtEveryKernelLevel) {
    const std::string text = committed();
    ASSERT_FALSE(text.empty()) << "cannot read " << DIGESTS;
    const auto songs = golden_songs(std::string(ZINDLE_SOURCE_DIR) + "/examples", ZINDLE_CORPUS_DIR);
    for (const std::string& d : golden_differences(text, songs)) ADD_FAILURE() << d;
}

TEST(GoldenDigests, ADifferentFrameChangesTheDigest) {
    auto songs = golden_songs(std::string(ZINDLE_SOURCE_DIR) + "/examples", "");
    GoldenSong song = songs.front();
    song.buffers = 8;
    const std::string digest = render_digest(song);
    EXPECT_EQ(render_digest(song), digest);
    song.buffers = 9;
    EXPECT_NE(render_digest(song), digest);
    // The file's lines must name digests the way this test computes them.
    EXPECT_EQ(parse_digests(digest_line(digest, "x")).at("x"), digest);
}

}  // namespace
