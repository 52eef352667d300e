// The renderer's command line read from its option table, called directly:
// what each option takes, what it refuses and the reason it gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

using namespace zindle;

std::string parse(std::vector<const char*> args, RenderOptions& options) {
    args.insert(args.begin(), "zindle-render");
    return parse_options(static_cast<int>(args.size()), args.data(), options);
}

TEST(OptionParser, TakesEachOptionIntoTheOptionsAndNamesAnyTwoFiles) {
    RenderOptions o;
    ASSERT_EQ(parse({"song.mod"}, o), "");
    EXPECT_TRUE(o.by_passes);
    EXPECT_FALSE(o.length_given);
    EXPECT_EQ(o.passes, 1u);
    EXPECT_STREQ(o.module, "song.mod");
    EXPECT_EQ(o.output, nullptr);

    ASSERT_EQ(parse({"--start", "1:30.5", "song.mod", "--trace", "t.txt", "-", "--passes", "3"}, o), "");
    EXPECT_EQ(o.start, 90u * 44100 + 22050);
    EXPECT_TRUE(o.start_given);
    EXPECT_EQ(o.passes, 3u);
    EXPECT_TRUE(o.by_passes && o.length_given);
    EXPECT_STREQ(o.trace, "t.txt");
    EXPECT_STREQ(o.output, "-");

    ASSERT_EQ(parse({"--seconds", "1", "song.mod"}, o), "");
    EXPECT_EQ(o.blocks, 22u);
    EXPECT_FALSE(o.by_passes);
    ASSERT_EQ(parse({"song.mod", "--buffers", "7"}, o), "");
    EXPECT_EQ(o.blocks, 7u);
    EXPECT_FALSE(o.by_passes);
    // A second parse starts from nothing.
    ASSERT_EQ(parse({"--info", "song.mod"}, o), "");
    EXPECT_TRUE(o.info);
    EXPECT_FALSE(o.length_given);
    EXPECT_EQ(o.trace, nullptr);
    ASSERT_EQ(parse({"--version"}, o), "");
    EXPECT_TRUE(o.version);
    ASSERT_EQ(parse({"--help"}, o), "");
    EXPECT_TRUE(o.help);
    ASSERT_EQ(parse({"--info", "--force", "m"}, o), "");
    EXPECT_TRUE(o.info && o.force);

    ASSERT_EQ(parse({"--mute", "2,4", "--stems", "m", "out.wav"}, o), "");
    EXPECT_EQ(o.muted, 0b1010u);
    EXPECT_FALSE(o.solo_given);
    EXPECT_TRUE(o.stems);
    ASSERT_EQ(parse({"--solo", "1-3", "m"}, o), "");
    EXPECT_EQ(o.solo, 0b111u);
    EXPECT_TRUE(o.solo_given);
    EXPECT_EQ(o.muted, 0u);
}

TEST(OptionParser, SecondsAndStartShareOneNumberRule) {
    RenderOptions o;
    for (const char* text : {".5", "5.", "5", "5.25", "0"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse({"--seconds", text, "m"}, o), "");
        EXPECT_EQ(parse({"--start", text, "m"}, o), "");
    }
    EXPECT_EQ(o.start, 0u);
    ASSERT_EQ(parse({"--start", ".5", "m"}, o), "");
    EXPECT_EQ(o.start, 22050u);
    ASSERT_EQ(parse({"--start", "5.", "m"}, o), "");
    EXPECT_EQ(o.start, 5u * 44100);
    ASSERT_EQ(parse({"--start", "1:05.", "m"}, o), "");
    EXPECT_EQ(o.start, 65u * 44100);
    for (const char* text : {".", "", "-1", "+1", "1e3", "1..", "1.2.3", " 1", "1 "}) {
        SCOPED_TRACE(text);
        EXPECT_NE(parse({"--seconds", text, "m"}, o), "");
        EXPECT_NE(parse({"--start", text, "m"}, o), "");
    }
}

TEST(OptionParser, EveryRefusalNamesTheOptionAndTheReason) {
    RenderOptions o;
    const struct {
        std::vector<const char*> args;
        const char* why;
    } cases[] = {
        {{"--passes", "0", "m"}, "--passes: 0 is not in 1..1000"},
        {{"--passes", "1001", "m"}, "--passes: 1001 is not in 1..1000"},
        {{"--buffers", "x", "m"}, "--buffers: x is not in 0..1000000000"},
        {{"--seconds", "-1", "m"}, "--seconds: -1 is not a number of seconds in 0..46000000"},
        {{"--start", "99:99", "m"}, "--start: 99:99 is not a time (seconds, or minutes:seconds) in 0..24347.88 s"},
        {{"--start", "24347.89", "m"},
         "--start: 24347.89 is not a time (seconds, or minutes:seconds) in 0..24347.88 s"},
        {{"--start", "405:48", "m"}, "--start: 405:48 is not a time (seconds, or minutes:seconds) in 0..24347.88 s"},
        {{"--buffers"}, "--buffers: N is missing"},
        {{"m", "--trace"}, "--trace: FILE is missing"},
        {{"--bogus", "m"}, "--bogus: no such option"},
        {{"-b", "m"}, "-b: no such option"},
        {{"--start", "1", "--start", "2", "m"}, "--start: given twice"},
        {{"--buffers", "1", "--passes", "2", "m"}, "--passes: --buffers is given already"},
        {{}, "no module named"},
        {{"m", "a.raw", "b.raw"}, "b.raw: one name too many (MODULE [OUTPUT])"},
        {{"--info", "--buffers", "3", "m"}, "--info: takes the module alone (and --force)"},
        {{"--info", "--force", "--stems", "m"}, "--info: takes the module alone (and --force)"},
        {{"--mute", "0", "m"}, "--mute: 0 is not a list of channels such as 1,3-4 (1 to 32)"},
        {{"--solo", "1,", "m"}, "--solo: 1, is not a list of channels such as 1,3-4 (1 to 32)"},
        {{"--mute", "1", "--solo", "2", "m"}, "--solo: --mute is given already"},
        {{"--stems", "m", "-"}, "--stems: needs an output file to name the stems after, not -"},
        {{"--info", "m", "out.wav"}, "--info: takes the module alone, no output"},
        {{"--version", "m"}, "--version: must be the only argument"},
        {{"--help", "--version"}, "--version: must be the only argument"},
        {{"m", "--help"}, "--help: must be the only argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(parse(c.args, o), c.why);
    }
    // The furthest start is the library's seek bound, 2^30 frames, itself.
    ASSERT_EQ(parse({"--start", "24347.887165533", "m"}, o), "");
    EXPECT_EQ(o.start, 1u << 30);
    EXPECT_EQ(parse({"--start", "405:47.88", "m"}, o), "");
    EXPECT_NE(parse({"--start", "24347.8872", "m"}, o), "");
}

TEST(OptionParser, UsageAndHelpComeFromTheTable) {
    const std::string usage = usage_text();
    EXPECT_EQ(usage,
              "usage: zindle-render [--buffers N | --seconds S | --passes N] [--start TIME] [--mute LIST | --solo LIST] "
              "[--stems] [--trace FILE] [--force] MODULE [OUTPUT] | --info MODULE | --version | --help\n");
    const std::string help = help_text();
    ASSERT_EQ(help.rfind(usage, 0), 0u);
    // One line for each option of the table, in its order, with its help.
    std::size_t at = usage.size();
    for (const OptionSpec& spec : option_table()) {
        SCOPED_TRACE(spec.name);
        const std::size_t end = help.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = help.substr(at, end - at);
        EXPECT_EQ(line.rfind(std::string("  ") + spec.name, 0), 0u) << line;
        EXPECT_NE(line.find(spec.help), std::string::npos) << line;
        at = end + 1;
    }
    EXPECT_EQ(at, help.size());
}

}  // namespace

namespace {

TEST(ChannelList, NumbersAndRangesFromOneTo32) {
    std::uint32_t channels = 0;
    ASSERT_TRUE(zindle::parse_channel_list("1,3-4", channels));
    EXPECT_EQ(channels, 0b1101u);
    ASSERT_TRUE(zindle::parse_channel_list("32", channels));
    EXPECT_EQ(channels, 0x80000000u);
    ASSERT_TRUE(zindle::parse_channel_list("1-32", channels));
    EXPECT_EQ(channels, 0xFFFFFFFFu);
    ASSERT_TRUE(zindle::parse_channel_list("2,2,1-2,07", channels));
    EXPECT_EQ(channels, 0b1000011u);
    ASSERT_TRUE(zindle::parse_channel_list("5-5", channels));
    EXPECT_EQ(channels, 0b10000u);
    for (const char* bad : {"", "0", "33", "1,", ",1", "1,,2", "4-3", "1-", "-2", "1-33", "1 ,2", " 1", "1.5", "a",
                            "0001", "1-2-3", "99999999999999999999"}) {
        SCOPED_TRACE(bad);
        channels = 7;
        EXPECT_FALSE(zindle::parse_channel_list(bad, channels));
        EXPECT_EQ(channels, 7u);
    }
}

TEST(StemName, TheChannelBeforeTheOutputsExtension) {
    EXPECT_EQ(zindle::stem_name("song.wav", 1), "song-ch01.wav");
    EXPECT_EQ(zindle::stem_name("out/song.raw", 12), "out/song-ch12.raw");
    EXPECT_EQ(zindle::stem_name("my.song.wav", 32), "my.song-ch32.wav");
    EXPECT_EQ(zindle::stem_name("mix", 3), "mix-ch03");
    EXPECT_EQ(zindle::stem_name("dir.d/.hidden", 4), "dir.d/.hidden-ch04");
}

}  // namespace
