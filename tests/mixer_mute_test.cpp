// Muted channels in the two mixers: left out of the pan sums while they
// play on, with the same bytes from the reference mixer and from the fast
// one at every processor level, and no trace of them in the output.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "busy_module.h"
#include "engine_harness.h"
#include "mixer.h"
#include "module_builder.h"
#include "player_state.h"

using namespace zindle;
using namespace zindle::test;

namespace {

constexpr int BUFFERS = 12;

std::vector<std::int16_t> fast(const std::vector<std::uint8_t>& song, std::uint32_t muted, MixerLevel most) {
    load(song);
    cap_mixer_level(most);
    player.muted = muted;
    auto frames = render(BUFFERS);
    cap_mixer_level(TOP_MIXER_LEVEL);
    return frames;
}

std::vector<std::int16_t> reference(const std::vector<std::uint8_t>& song, std::uint32_t muted) {
    load(song);
    player.muted = muted;
    return render_reference(BUFFERS);
}

}  // namespace

TEST(MutedChannels, EveryLevelGivesTheReferenceBytes) {
    for (const int channels : {4, 8, 14, 32}) {
        for (const bool extended : {false, true}) {
            const auto song = busy_module({.channels = channels, .seed = 9, .extended = extended});
            const auto all_but_first = static_cast<std::uint32_t>((std::uint64_t{1} << channels) - 2);
            for (const std::uint32_t muted : {0x1u, 0x6u, 0xAAAAAAAAu, all_but_first, 0xFFFFFFFFu}) {
                const auto expected = reference(song, muted);
                for (const MixerLevel most : MIXER_LEVELS)
                    EXPECT_EQ(fast(song, muted, most), expected)
                        << channels << " channels, muted " << std::hex << muted << ", level " << mixer_level_name(most);
            }
        }
    }
}

TEST(MutedChannels, PlayOnUnheardAndEverythingMutedIsSilence) {
    const auto song = busy_module({.channels = 6, .seed = 3});
    load(song);
    const auto plain = render_reference(BUFFERS + 1);
    load(song);
    player.muted = 0x3F;
    const auto silent = render(BUFFERS);
    EXPECT_EQ(silent, std::vector<std::int16_t>(silent.size(), 0));
    // The state they leave is that of a song with nothing muted.
    const PlayerState muted_state = player;
    load(song);
    render(BUFFERS);
    player.muted = 0x3F;
    EXPECT_EQ(std::memcmp(&player, &muted_state, sizeof player), 0);
    // Unmuted again, the next buffer is the plain song's.
    player.muted = 0;
    EXPECT_EQ(render(1), std::vector<std::int16_t>(plain.end() - 2 * FRAMES_PER_BUFFER, plain.end()));
}
