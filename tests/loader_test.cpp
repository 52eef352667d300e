// The loader: layout by tag, sample table, order list, pattern and sample
// placement, the console report and the starting channel state.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "module_builder.h"
#include "module_loader.h"
#include "player_state.h"

using namespace zindle;
using namespace zindle::test;

namespace {

const std::string REPORT_4_31 = "channels: 00000004 \r\nsamples: 0000001F \r\n";
const std::string REPORT_4_15 = "channels: 00000004 \r\nsamples: 0000000F \r\n";
const std::string LONGER = "(why is my loop longer than the sample?\?\?) ";
const std::string BEYOND = "(why does my loop run beyond end of sample?\?\?) ";

std::uint32_t at(const std::uint8_t* p) { return image_offset(p); }

Sample header_only(std::uint16_t length, std::uint16_t loop_start = 0, std::uint16_t loop_length = 0) {
    return {.length_words = length, .loop_start_words = loop_start, .loop_length_words = loop_length};
}

void put_word(std::vector<std::uint8_t>& file, std::size_t offset, std::uint16_t words) {
    file[offset] = static_cast<std::uint8_t>(words >> 8);
    file[offset + 1] = static_cast<std::uint8_t>(words);
}

}  // namespace

TEST(LoaderLayout, EveryChannelTagGivesItsChannelsAnd31Samples) {
    const struct {
        const char* tag;
        int channels;
        const char* digits;
    } tags[] = {
        {"6CHN", 6, "00000006"},  {"8CHN", 8, "00000008"},  {"M.K.", 4, "00000004"},  {"10CH", 10, "0000000A"},
        {"12CH", 12, "0000000C"}, {"14CH", 14, "0000000E"}, {"16CH", 16, "00000010"}, {"18CH", 18, "00000012"},
        {"20CH", 20, "00000014"}, {"22CH", 22, "00000016"}, {"24CH", 24, "00000018"}, {"26CH", 26, "0000001A"},
        {"28CH", 28, "0000001C"}, {"30CH", 30, "0000001E"}, {"32CH", 32, "00000020"},
    };
    for (const auto& t : tags) {
        SCOPED_TRACE(t.tag);
        ModuleBuilder b(t.channels);
        b.tag(t.tag).orders({2, 0, 1}).sample(1, {.data = std::vector<std::int8_t>(8, 1)});
        bool ok = false;
        EXPECT_EQ(load(b.build(), &ok), std::string("channels: ") + t.digits + " \r\nsamples: 0000001F \r\n");
        ASSERT_TRUE(ok);
        const SongState& song = player.song;
        const auto pattern_bytes = static_cast<std::uint32_t>(t.channels) * 256;
        EXPECT_EQ(song.channel_count, t.channels);
        EXPECT_EQ(song.sample_slots, 32);
        EXPECT_EQ(song.pattern_bytes, pattern_bytes);
        EXPECT_EQ(song.song_length, 3u);
        EXPECT_EQ(at(song.order_table), 952u);
        EXPECT_EQ(song.order_pos, song.order_table);
        EXPECT_EQ(at(song.pattern_base), 1084u);
        EXPECT_EQ(song.row_offset, 2 * pattern_bytes);
        EXPECT_EQ(song.loop_row_offset, 2 * pattern_bytes);
        EXPECT_EQ(song.pattern_count, 3u);
        EXPECT_EQ(at(player.samples.sample_data[1]), 1084 + 3 * pattern_bytes);
        EXPECT_EQ(song.extended_mode, 0);
    }
}

TEST(LoaderLayout, UntaggedFileUsesThe15SampleOffsets) {
    // Laid out by hand: 15 headers, song length at 470, orders at 472,
    // pattern 0 at 600.
    std::vector<std::uint8_t> file(600 + 3 * 1024 + 10, 0);
    put_word(file, 20 + 22, 3);  // sample 1: 6 bytes
    file[20 + 25] = 0x20;
    put_word(file, 20 + 14 * 30 + 22, 2);  // sample 15: 4 bytes
    file[470] = 3;
    file[471] = 0x7F;
    file[472] = 2;
    file[473] = 0;
    file[474] = 1;
    // Where a 16th header's length word would be: must not be read.
    file[492] = 0;
    file[493] = 1;
    bool ok = false;
    EXPECT_EQ(load(file, &ok), REPORT_4_15);
    ASSERT_TRUE(ok);
    const SongState& song = player.song;
    const SampleInfo& s = player.samples;
    EXPECT_EQ(song.channel_count, 4);
    EXPECT_EQ(song.sample_slots, 16);
    EXPECT_EQ(song.song_length, 3u);
    EXPECT_EQ(at(song.order_table), 472u);
    EXPECT_EQ(at(song.pattern_base), 600u);
    EXPECT_EQ(song.pattern_bytes, 1024u);
    EXPECT_EQ(song.row_offset, 2048u);
    EXPECT_EQ(song.pattern_count, 3u);
    EXPECT_EQ(s.sample_length[1], 6u << 12);
    EXPECT_EQ(s.sample_volume[1], 0x20);
    EXPECT_EQ(s.sample_length[15], 4u << 12);
    EXPECT_EQ(s.sample_length[16], 0u);
    EXPECT_EQ(at(s.sample_data[1]), 600u + 3072);
    EXPECT_EQ(at(s.sample_data[2]), 600u + 3072 + 6);
    EXPECT_EQ(at(s.sample_data[15]), 600u + 3072 + 6);
    // Slots without a header sit just past the last sample's data.
    for (int n = 16; n < 32; ++n) EXPECT_EQ(at(s.sample_data[n]), 600u + 3072 + 10) << n;
}

TEST(LoaderLayout, NearMissTagsFallBackTo15Samples) {
    const char* near_misses[] = {"M.K!", "m.k.", "4CHN", "FLT4", "6CHn", "1OCH",
                                 "34CH", "00CH", "2CHN", "qorv", " M.K", "10CN"};
    for (const char* tag : near_misses) {
        SCOPED_TRACE(tag);
        auto file = ModuleBuilder(4).tag(tag).orders({0}).build();
        file[470] = 1;  // the untagged layout's song length byte
        bool ok = false;
        EXPECT_EQ(load(file, &ok), REPORT_4_15);
        EXPECT_TRUE(ok);
        EXPECT_EQ(player.song.channel_count, 4);
        EXPECT_EQ(player.song.sample_slots, 16);
        EXPECT_EQ(at(player.song.pattern_base), 600u);
    }
    // Four zero bytes are no tag either.
    auto file = ModuleBuilder(4).orders({0}).build();
    std::memset(file.data() + 1080, 0, 4);
    file[470] = 1;
    EXPECT_EQ(load(file), REPORT_4_15);
}

TEST(LoaderSamples, VolumeDropsTheTopBitThenClampsAndFinetuneTakesTheLowNibble) {
    const std::uint8_t volume_bytes[] = {0x40, 0x41, 0x80, 0xC1, 0x3F, 0x7F, 0xBF, 0x00};
    const std::uint8_t volumes[] = {64, 64, 0, 64, 63, 64, 63, 0};
    const std::uint8_t finetune_bytes[] = {0xF7, 0x08, 0x0F, 0x00, 0x71, 0x80, 0xFF, 0x10};
    const std::uint8_t finetunes[] = {14, 16, 30, 0, 2, 0, 30, 0};
    for (int extended = 0; extended < 2; ++extended) {
        SCOPED_TRACE(extended ? "extended" : "normal");
        ModuleBuilder b(4);
        b.orders({0});
        for (int i = 0; i < 8; ++i)
            b.sample(i + 1, {.data = {1, 2}, .finetune = finetune_bytes[i], .volume = volume_bytes[i]});
        if (extended) b.extended(6, 125);
        load(b.build());
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(player.samples.sample_volume[i + 1], volumes[i]) << i + 1;
            EXPECT_EQ(player.samples.sample_finetune[i + 1], finetunes[i] + 32 * extended) << i + 1;
        }
        EXPECT_EQ(player.samples.sample_volume[0], 0);
    }
}

TEST(LoaderSamples, LoopsAreClampedAndReportedInSampleOrder) {
    ModuleBuilder b(4);
    b.orders({0});
    b.sample(1, header_only(8, 2, 4));                  // 16 bytes, loop 4..12
    b.sample(2, header_only(8, 0, 1));                  // loop of one word: none
    b.sample(3, header_only(8, 3, 0));                  // no loop, start inside
    b.sample(4, header_only(8, 4, 4));                  // loop ends exactly at the end
    b.sample(5, header_only(10, 3, 20));                // longer and then beyond
    b.sample(6, header_only(0, 1, 4));                  // empty sample with a loop
    b.sample(7, header_only(4, 5, 0));                  // unlooped, start past the end
    b.sample(8, header_only(8, 6, 4));                  // runs past the end
    b.sample(9, header_only(4, 4, 1));                  // unlooped, start exactly at the end
    b.sample(10, header_only(8, 0, 8));                 // loop over the whole sample
    b.sample(11, header_only(0xFFFF, 0x8000, 0x7FFF));  // the largest sizes
    b.sample(12, header_only(0, 0, 1));                 // one-word loop on an empty sample
    b.sample(31, header_only(2, 0, 3));                 // longer only
    bool ok = false;
    const std::string report = load(b.build(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(report, REPORT_4_31 +                   //
                          LONGER + "00000005 \r\n" +  //
                          BEYOND + "00000005 \r\n" +  //
                          LONGER + "00000006 \r\n" +  //
                          BEYOND + "00000006 \r\n" +  //
                          BEYOND + "00000007 \r\n" +  //
                          BEYOND + "00000008 \r\n" +  //
                          LONGER + "0000001F \r\n");

    const SampleInfo& s = player.samples;
    const struct {
        int sample;
        std::uint32_t length, loop_end, loop_length;  // bytes
    } looped[] = {
        {1, 16, 12, 8}, {4, 16, 16, 8}, {5, 20, 20, 20}, {8, 16, 16, 8}, {10, 16, 16, 16}, {11, 131070, 131070, 65534},
        {31, 4, 4, 4},
    };
    for (const auto& l : looped) {
        EXPECT_EQ(s.sample_length[l.sample], l.length << 12) << l.sample;
        EXPECT_EQ(s.sample_loop_end[l.sample], l.loop_end << 12) << l.sample;
        EXPECT_EQ(s.sample_loop_length[l.sample], l.loop_length << 12) << l.sample;
    }
    const struct {
        int sample;
        std::uint32_t length;
    } unlooped[] = {{2, 16}, {3, 16}, {6, 0}, {7, 8}, {9, 8}, {12, 0}};
    for (const auto& u : unlooped) {
        EXPECT_EQ(s.sample_length[u.sample], u.length << 12) << u.sample;
        EXPECT_EQ(s.sample_loop_end[u.sample], 0u) << u.sample;
    }
}

TEST(LoaderSamples, PatternCountCountsEveryOrderByteAndPlacesTheSampleData) {
    const std::vector<std::int8_t> one = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const std::vector<std::int8_t> two = {-1, -2, -3, -4, -5, -6};
    const std::vector<std::int8_t> five = {50, 51, 52, 53};
    auto make = [&] {
        ModuleBuilder b(4);
        b.orders({0, 1}).sample(1, {.data = one}).sample(2, {.data = two}).sample(5, {.data = five});
        return b;
    };
    const auto check = [&](std::uint32_t patterns) {
        const std::uint32_t base = 1084 + patterns * 1024;
        const SampleInfo& s = player.samples;
        EXPECT_EQ(player.song.pattern_count, patterns);
        EXPECT_EQ(player.song.song_length, 2u);
        EXPECT_EQ(at(s.sample_data[1]), base);
        EXPECT_EQ(at(s.sample_data[2]), base + 10);
        EXPECT_EQ(at(s.sample_data[3]), base + 16);
        EXPECT_EQ(at(s.sample_data[5]), base + 16);
        EXPECT_EQ(at(s.sample_data[6]), base + 20);
        EXPECT_EQ(at(s.sample_data[31]), base + 20);
        EXPECT_EQ(std::memcmp(s.sample_data[1], one.data(), one.size()), 0);
        EXPECT_EQ(std::memcmp(s.sample_data[2], two.data(), two.size()), 0);
        EXPECT_EQ(std::memcmp(s.sample_data[5], five.data(), five.size()), 0);
    };
    load(make().build());
    check(2);
    // Entries past the song length are never played but still count.
    load(make().order_byte(100, 5).build());
    check(6);
    load(make().order_byte(127, 9).build());
    check(10);

    // With 8 channels a pattern is 2048 bytes.
    load(ModuleBuilder(8).orders({3}).build());
    EXPECT_EQ(player.song.pattern_count, 4u);
    EXPECT_EQ(at(player.samples.sample_data[1]), 1084u + 4 * 2048);
}

TEST(LoaderChannels, AllChannelsStartClearedWithTheirPanAndPeriod) {
    for (int extended = 0; extended < 2; ++extended) {
        SCOPED_TRACE(extended ? "extended" : "normal");
        ModuleBuilder b(4);
        b.orders({0});
        if (extended) b.extended(6, 125);
        load(b.build());
        // Load again over a dirty state: the loader itself must clear it.
        std::memset(&player.channels, 0xA5, sizeof player.channels);
        player.samples.sample_volume[0] = 50;
        ASSERT_TRUE(load_module());
        take_console();
        const ChannelState& ch = player.channels;
        for (int c = 0; c < 32; ++c) {
            const std::uint8_t pan = extended ? 0xC0 : (c % 4 == 0 || c % 4 == 3) ? 0x40 : 0x80;
            EXPECT_EQ(ch.pan[c], pan) << c;
            EXPECT_EQ(ch.period[c], 61440) << c;
            EXPECT_EQ(ch.sample_data[c], nullptr) << c;
            EXPECT_EQ(ch.end_pos[c] | ch.step[c] | ch.pos[c], 0u) << c;
            EXPECT_EQ(ch.porta_target[c] | ch.fade_volume[c], 0) << c;
            EXPECT_EQ(ch.note_volume[c] | ch.mix_target[c] | ch.mix_volume[c] | ch.sample_num[c] | ch.play_state[c] |
                          ch.tick_mode[c] | ch.tick_param[c] | ch.effect_counter[c] | ch.porta_memory[c] |
                          ch.tremolo_memory[c] | ch.vibrato_memory[c] | ch.key_on[c] | ch.env_index[c] |
                          ch.env_countdown[c] | ch.env_volume[c] | ch.ramp_floor[c],
                      0)
                << c;
            EXPECT_EQ(ch.vol_slide[c], 0) << c;
            EXPECT_EQ(ch.last_out[c], 0) << c;
        }
        EXPECT_EQ(player.samples.sample_volume[0], 0);
    }
}

TEST(LoaderExtended, HeaderSpeedAndTempoAndTheFirstTickTime) {
    const struct {
        std::uint8_t speed, tempo;
        std::uint32_t bytes_per_tick;
    } cases[] = {
        {3, 150, 2940},
        {6, 125, 3528},
        {1, 255, 1729},
        {31, 1, 441000},
        {9, 33, 13363},
        // Speed is taken unchanged, 0 and values above 32 included.
        {0, 125, 3528},
        {200, 125, 3528},
        // Tempo 0 cannot divide: it keeps tempo 125.
        {4, 0, 3528},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "speed " << int(c.speed) << " tempo " << int(c.tempo));
        bool ok = false;
        EXPECT_EQ(load(ModuleBuilder(4).orders({1}).extended(c.speed, c.tempo).build(), &ok), REPORT_4_31);
        ASSERT_TRUE(ok);
        const SongState& song = player.song;
        EXPECT_EQ(song.extended_mode, 1);
        EXPECT_EQ(song.speed, c.speed);
        EXPECT_EQ(song.bytes_per_tick, c.bytes_per_tick);
        EXPECT_EQ(song.tick_window_at, c.bytes_per_tick - 384);
        EXPECT_EQ(song.ramp_until, 512u);
        // The tag is not stepped over: the records overlap pattern 0.
        EXPECT_EQ(at(song.pattern_base), 1084u);
    }

    // The schedule starts from the clock as it stands.
    load(ModuleBuilder(4).orders({0}).extended(3, 150).build());
    player.out_clock = 1000;
    ASSERT_TRUE(load_module());
    EXPECT_EQ(player.song.tick_window_at, 1000u + 2940 - 384);
    EXPECT_EQ(player.song.ramp_until, 1512u);
}

TEST(LoaderExtended, TagWorksInEveryLayoutAndOnlyExactly) {
    // In the untagged layout 1084 lies inside pattern 0.
    bool ok = false;
    EXPECT_EQ(load(ModuleBuilder(4).fifteen_samples().orders({0}).extended(4, 200).build(), &ok), REPORT_4_15);
    ASSERT_TRUE(ok);
    EXPECT_EQ(player.song.extended_mode, 1);
    EXPECT_EQ(player.song.speed, 4);
    EXPECT_EQ(player.song.bytes_per_tick, 2205u);
    EXPECT_EQ(at(player.song.pattern_base), 600u);
    EXPECT_EQ(player.channels.pan[1], 0xC0);

    EXPECT_EQ(load(ModuleBuilder(8).orders({0}).extended(5, 125).build()),
              "channels: 00000008 \r\nsamples: 0000001F \r\n");
    EXPECT_EQ(player.song.extended_mode, 1);
    EXPECT_EQ(player.song.channel_count, 8);

    for (const char* miss : {"qorV", "QORV", "qor\0", "rvqo"}) {
        SCOPED_TRACE(miss);
        auto file = ModuleBuilder(4).orders({0}).extended(3, 150).build();
        std::memcpy(file.data() + 1084, miss, 4);
        load(file);
        EXPECT_EQ(player.song.extended_mode, 0);
        EXPECT_EQ(player.song.speed, 6);
        EXPECT_EQ(player.song.bytes_per_tick, 3528u);
        EXPECT_EQ(player.channels.pan[1], 0x80);
    }
}

TEST(LoaderSongLength, LengthsAbove128AreKeptAndZeroStopsAfterTheReport) {
    bool ok = false;
    load(ModuleBuilder(4).orders({0}).song_length(200).build(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(player.song.song_length, 200u);
    // The tag after the order list is not an order byte for the count.
    EXPECT_EQ(player.song.pattern_count, 1u);
    load(ModuleBuilder(4).orders({0}).song_length(255).build(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(player.song.song_length, 255u);

    // Length 0: the report and the loop warnings come first.
    ModuleBuilder zero(4);
    zero.orders({0}).song_length(0).sample(3, header_only(2, 4, 0));
    EXPECT_EQ(load(zero.build(), &ok), REPORT_4_31 + BEYOND + "00000003 \r\n");
    EXPECT_FALSE(ok);

    ModuleBuilder old(4);
    old.fifteen_samples().orders({0}).song_length(0).sample(15, header_only(1, 0, 2));
    EXPECT_EQ(load(old.build(), &ok), REPORT_4_15 + LONGER + "0000000F \r\n");
    EXPECT_FALSE(ok);
}

TEST(LoaderImageBounds, SampleStartsPastTheFileAreaArePinnedToItsEnd) {
    // Eleven samples of the largest size and one of 128984 bytes put sample
    // 13 at 0x17FFFE, straddling the end; every later start lies past it.
    ModuleBuilder b(4);
    b.orders({0});
    for (int s = 1; s <= 11; ++s) b.sample(s, {.data = std::vector<std::int8_t>(131070, 40)});
    b.sample(12, {.data = std::vector<std::int8_t>(128984, 40)});
    b.sample(13, {.data = {100, 100, 100, 100}, .loop_start_words = 0, .loop_length_words = 2});
    b.sample(14, {.data = {100, 100, 100, 100}, .loop_start_words = 0, .loop_length_words = 2});
    b.sample(15, {.data = std::vector<std::int8_t>(131070, 100)});
    b.sample(16, header_only(1, 0, 5));  // the header's own warning still shows
    b.cell(0, 0, 0, {.period = 428, .sample = 14});
    b.cell(0, 0, 1, {.period = 428, .sample = 15, .effect = 9, .param = 0xFF});
    const auto file = b.build();
    ASSERT_GT(file.size(), IMAGE_BYTES);
    EXPECT_EQ(load(file), REPORT_4_31 + LONGER + "00000010 \r\n");

    const SampleInfo& s = player.samples;
    for (int n = 1; n <= 12; ++n)
        EXPECT_EQ(at(s.sample_data[n]), 2108u + static_cast<std::uint32_t>(n - 1) * 131070u) << n;
    EXPECT_EQ(at(s.sample_data[13]), 0x17FFFEu);
    for (int n = 14; n < 32; ++n) EXPECT_EQ(at(s.sample_data[n]), IMAGE_BYTES) << n;
    // Lengths and loops stay those of the header.
    EXPECT_EQ(s.sample_length[14], 4u << 12);
    EXPECT_EQ(s.sample_loop_end[14], 4u << 12);
    EXPECT_EQ(s.sample_length[15], 131070u << 12);
    EXPECT_EQ(s.sample_length[16], 2u << 12);
    EXPECT_EQ(s.sample_loop_end[16], 2u << 12);

    // Nothing past the file area was filled, so the pinned samples are
    // silent, even played from an offset far into them.
    for (std::uint32_t i = IMAGE_BYTES; i < IMAGE_BYTES + IMAGE_TAIL_BYTES; ++i) ASSERT_EQ(module_image[i], 0) << i;
    for (std::int16_t v : render(40)) ASSERT_EQ(v, 0);
}

TEST(LoaderImageBounds, PatternsPastTheImagePinEverySample) {
    // 201 patterns of 8192 bytes end far past 0x180000.
    ModuleBuilder b(32);
    b.orders({0}).order_byte(1, 200).sample(1, {.data = {1, 2}}).sample(2, {.data = {3, 4}});
    load(b.build());
    EXPECT_EQ(player.song.pattern_count, 201u);
    for (int n = 1; n < 32; ++n) EXPECT_EQ(at(player.samples.sample_data[n]), IMAGE_BYTES) << n;
    EXPECT_EQ(player.samples.sample_length[2], 2u << 12);
}

TEST(LoaderImageBounds, SampleStraddlingTheEndKeepsItsStartAndSoundsItsFileBytes) {
    ModuleBuilder b(4);
    b.orders({0});
    for (int s = 1; s <= 11; ++s) b.sample(s, {.data = std::vector<std::int8_t>(131070, 0)});
    b.sample(12, {.data = std::vector<std::int8_t>(128984, 0)});
    b.sample(13, {.data = {100, 100, 100, 100}, .loop_start_words = 0, .loop_length_words = 2});
    b.cell(0, 0, 0, {.period = 428, .sample = 13});
    load(b.build());
    EXPECT_EQ(at(player.samples.sample_data[13]), 0x17FFFEu);
    // The two bytes inside the file sound, the two past it are zero.
    EXPECT_EQ(module_image[0x17FFFE], 100);
    EXPECT_EQ(module_image[0x17FFFF], 100);
    EXPECT_EQ(module_image[0x180000], 0);
    bool sounded = false;
    for (std::int16_t v : render(4)) sounded = sounded || v != 0;
    EXPECT_TRUE(sounded);
}
