// The voice update: note starts, volume targets handed to the mixer, what
// a cell's sample number and pan bits do, and a cut voice's fade.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine_case.h"
#include "engine_harness.h"
#include "module_builder.h"
#include "player_state.h"
#include "sequencer.h"

using namespace zindle;
using namespace zindle::test;

namespace {

ModuleBuilder song() {
    ModuleBuilder b(4);
    b.sample(1, looped(256, 50));
    b.sample(2, looped(128, 60));
    b.orders({0});
    return b;
}

}  // namespace

TEST(VoiceUpdate, NoSampleMeansNoVolumeWhateverThePlayState) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428});  // a note without any sample
    load(b.build());
    ChannelState& ch = player.channels;
    ch.pos[0] = 12345;
    ch.play_state[1] = STATE_PLAYING;
    ch.note_volume[1] = 64;
    ch.mix_target[1] = 50;
    ticks(1);
    EXPECT_EQ(ch.period[0], 6848);
    EXPECT_EQ(ch.step[0], 776u);
    EXPECT_EQ(ch.pos[0], 0u);
    EXPECT_EQ(ch.play_state[0], STATE_STOPPED);
    EXPECT_EQ(ch.mix_target[0], 0);
    EXPECT_EQ(ch.mix_volume[1], 0);
    EXPECT_EQ(ch.mix_target[1], 0);
    EXPECT_EQ(ch.play_state[1], STATE_PLAYING);
}

TEST(VoiceUpdate, NewSampleStartsFromSilenceTheSameSampleFromTheOldTarget) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1});
    b.cell(0, 0, 1, {.period = 428, .sample = 1});
    b.cell(0, 1, 0, {.period = 428, .sample = 1, .effect = 0xC, .param = 0x21});
    b.cell(0, 1, 1, {.period = 428, .sample = 2});
    load(b.build());
    ChannelState& ch = player.channels;
    ticks(1);
    EXPECT_EQ(ch.mix_volume[0], 0);
    EXPECT_EQ(ch.mix_target[0], 128);
    EXPECT_EQ(ch.end_pos[0], 256u * 4096);
    EXPECT_EQ(ch.key_on[0], 1);
    EXPECT_EQ(ch.fade_volume[0], 0xFFFF);
    EXPECT_EQ(ch.env_index[0], 254);
    ticks(6);
    EXPECT_EQ(ch.mix_volume[0], 128);
    EXPECT_EQ(ch.mix_target[0], 66);  // twice the volume 33
    EXPECT_EQ(ch.mix_volume[1], 0);
    EXPECT_EQ(ch.mix_target[1], 128);
    EXPECT_EQ(ch.end_pos[1], 128u * 4096);
}

TEST(VoiceUpdate, SampleNumberWithoutANote) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xC, .param = 0x10});
    b.cell(0, 0, 1, {.period = 214, .sample = 1});
    b.cell(0, 1, 0, {.sample = 1});  // same sample: only its volume again
    b.cell(0, 1, 1, {.sample = 2});  // another: restarts at the current pitch
    load(b.build());
    ChannelState& ch = player.channels;
    ticks(6);
    EXPECT_EQ(ch.note_volume[0], 16);
    for (int c = 0; c < 2; ++c) {
        ch.pos[c] = 777;
        ch.end_pos[c] = 1;
    }
    ticks(1);
    EXPECT_EQ(ch.note_volume[0], 64);
    EXPECT_EQ(ch.pos[0], 777u);
    EXPECT_EQ(ch.end_pos[0], 1u);
    EXPECT_EQ(ch.mix_volume[0], 32);
    EXPECT_EQ(ch.mix_target[0], 128);
    EXPECT_EQ(ch.pos[1], 0u);
    EXPECT_EQ(ch.end_pos[1], 128u * 4096);
    EXPECT_EQ(ch.period[1], 3424);
    EXPECT_EQ(ch.sample_data[1], player.samples.sample_data[2]);
    EXPECT_EQ(ch.mix_volume[1], 0);
    EXPECT_EQ(ch.mix_target[1], 128);
}

TEST(VoiceUpdate, PanBitsSetThePanInTheNormalModeToo) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.pan_bits = 0xC0});
    b.cell(0, 0, 1, {});
    b.cell(0, 0, 2, {.pan_bits = 0x40});
    b.cell(0, 0, 3, {.pan_bits = 0x80});
    load(b.build());
    ticks(1);
    EXPECT_EQ(player.channels.pan[0], 0xC0);
    EXPECT_EQ(player.channels.pan[1], 0x80);  // kept
    EXPECT_EQ(player.channels.pan[2], 0x40);
    EXPECT_EQ(player.channels.pan[3], 0x80);
}

TEST(VoiceUpdate, VibratoDepth4AtTheTopOfTheTriangleLengthensThePeriodBy64Over2048) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 4, .param = 0x44});
    load(b.build());
    player.song.lfo_phase = 3;  // the row tick runs at phase 4: index 16
    ticks(1);
    // 2112 x 6848 >> 11 = 7062.
    EXPECT_EQ(player.channels.step[0], 753u);
    EXPECT_EQ(player.channels.period[0], 6848);
}

TEST(VoiceUpdate, ACutLoopingVoiceThatWrapsDuringItsFadePlaysAgain) {
    // An 8-byte loop at step 4155 wraps every 8 frames, well within a glide.
    ModuleBuilder b(4);
    b.sample(1, looped(8, 40));
    b.orders({0});
    b.cell(0, 0, 0, {.period = 80, .sample = 1, .effect = 0xE, .param = 0xC1});
    load(b.build());
    // Ticks at frames 881 (row), 1763 (cut), 2645, 3527.
    const auto f = render(2);
    EXPECT_EQ(left(f, 1762), 2560);  // 40 x 128 / 2
    EXPECT_EQ(left(f, 1763), 2540);  // the cut glides down from 128
    EXPECT_EQ(left(f, 1889), 20);
    EXPECT_EQ(left(f, 1890), 0);
    EXPECT_EQ(left(f, 2644), 0);
    // The wrap during the fade made it a looping voice: it comes back.
    EXPECT_EQ(left(f, 2645), 20);
    EXPECT_EQ(left(f, 2772), 2560);
    EXPECT_EQ(player.channels.play_state[0], STATE_LOOPING);
    EXPECT_EQ(player.channels.mix_target[0], 128);
}
