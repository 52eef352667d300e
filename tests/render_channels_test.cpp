// zindle-render's channel controls and song ends: --mute, --solo, --stems,
// frame-exact --passes, and the refusal of files that are not modules.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "module_builder.h"
#include "process_runner.h"
#include "temp_dir.h"

using namespace zindle::test;

namespace {

namespace fs = std::filesystem;

const std::string RENDER = ZINDLE_BIN_DIR "/zindle-render";

std::vector<std::int16_t> samples_of(const std::string& bytes) {
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                               static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
    return samples;
}

// A song of `channels` channels in which every channel plays its own note
// and volume from the first row on, and row 32 of the one pattern breaks
// back: a pass of 33 rows.
std::vector<std::uint8_t> song(int channels, bool loud = false) {
    ModuleBuilder b(channels);
    std::vector<std::int8_t> wave(64);
    for (int i = 0; i < 64; ++i) wave[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(i < 32 ? 100 : -100);
    b.sample(1, {.data = wave, .volume = 64, .loop_start_words = 0, .loop_length_words = 32});
    b.orders({0});
    for (int c = 0; c < channels; ++c)
        b.cell(
            0, 0, c,
            {.period = amiga_period(1 + c % 3, c % 12), .sample = 1, .effect = 0xC, .param = static_cast<std::uint8_t>(loud ? 64 : 8 + c % 40)});
    b.cell(0, 32, 0, {.effect = 0xB, .param = 0});
    return b.build();
}

class RenderChannels : public testing::Test {
protected:
    void SetUp() override { root = make_temp_dir(); }
    void TearDown() override { fs::remove_all(root); }

    ProgramResult render(std::vector<std::string> args) {
        args.insert(args.begin(), RENDER);
        return run_program(args, root.string());
    }
    std::string rendered(std::vector<std::string> args, const std::string& module) {
        args.push_back(module);
        args.push_back("out.raw");
        const auto run = render(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        const std::string bytes = read_file(root / "out.raw");
        fs::remove(root / "out.raw");
        return bytes;
    }
    std::string module(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        write_file(root / name, bytes);
        return (root / name).string();
    }
    std::uint64_t pass_frames(const std::string& mod) {
        const auto run = render({"--info", mod});
        const std::size_t at = run.out.find(" frames)");
        const std::size_t open = run.out.rfind('(', at);
        return std::stoull(run.out.substr(open + 1, at - open - 1));
    }

    fs::path root;
};

TEST_F(RenderChannels, MuteAndSoloLeaveChannelsOutOfTheMix) {
    const std::string mod = module("four.mod", song(4));
    const std::string all = rendered({"--buffers", "20"}, mod);
    EXPECT_EQ(rendered({"--buffers", "20", "--solo", "1-4"}, mod), all);
    EXPECT_EQ(rendered({"--buffers", "20", "--mute", "1-4"}, mod), std::string(all.size(), '\0'));
    const std::string one_three = rendered({"--buffers", "20", "--solo", "1,3"}, mod);
    EXPECT_EQ(rendered({"--buffers", "20", "--mute", "2,4"}, mod), one_three);
    EXPECT_NE(one_three, all);
    // From a start too, and counted from 1 as a musician counts them.
    EXPECT_EQ(rendered({"--start", "0.5", "--buffers", "3", "--solo", "1,3"}, mod),
              one_three.substr(22050 * 4, 3 * 8192));
    const std::string first = rendered({"--buffers", "20", "--solo", "1"}, mod);
    EXPECT_NE(first, std::string(first.size(), '\0'));

    // A channel the song does not have is bad usage, and nothing is written.
    for (const auto& args : std::vector<std::vector<std::string>>{{"--solo", "5"}, {"--mute", "2,5-6"}}) {
        auto run = render({args[0], args[1], mod, "x.raw"});
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_NE(run.err.find("zindle-render: " + args[0] + ": the song has 4 channels\n"), std::string::npos)
            << run.err;
        EXPECT_FALSE(fs::exists(root / "x.raw"));
    }
}

TEST_F(RenderChannels, StemsAreEachChannelAloneBesideTheMix) {
    for (const int channels : {4, 6, 8, 32}) {
        SCOPED_TRACE(channels);
        const std::string mod = module("song.mod", song(channels, channels == 32));
        fs::create_directory(root / "out");
        auto run = render({"--stems", "--buffers", "4", mod, "out/mix.wav"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        std::vector<std::string> expected = {"mix.wav"};
        for (int c = 1; c <= channels; ++c) {
            char name[32];
            std::snprintf(name, sizeof name, "mix-ch%02d.wav", c);
            expected.push_back(name);
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(names_in(root / "out"), expected);
        const auto mix = samples_of(read_file(root / "out" / "mix.wav").substr(44));
        std::vector<std::int32_t> sum(mix.size());
        for (int c = 1; c <= channels; ++c) {
            char name[32];
            std::snprintf(name, sizeof name, "mix-ch%02d.wav", c);
            const std::string stem = read_file(root / "out" / name);
            EXPECT_EQ(stem.substr(0, 44), read_file(root / "out" / "mix.wav").substr(0, 44));
            const std::string solo = rendered({"--buffers", "4", "--solo", std::to_string(c)}, mod);
            EXPECT_TRUE(stem.substr(44) == solo) << "stem " << c << " is --solo " << c;
            const auto samples = samples_of(solo);
            for (std::size_t i = 0; i < samples.size(); ++i) sum[i] += samples[i];
        }
        // The stated relation: where the mix does not clip, the stems sum to it.
        std::size_t compared = 0;
        for (std::size_t i = 0; i < mix.size(); ++i) {
            if (mix[i] >= 30719 || mix[i] <= -30720) {
                EXPECT_TRUE(mix[i] >= 30719 ? sum[i] >= 30719 : sum[i] <= -30720) << "sample " << i;
                continue;
            }
            ++compared;
            ASSERT_EQ(sum[i], mix[i]) << "sample " << i;
        }
        EXPECT_GT(compared, mix.size() / 2);
        fs::remove_all(root / "out");
        fs::remove(mod);
    }
}

TEST_F(RenderChannels, StemsFollowTheOutputsFormAndItsSafetyRules) {
    const std::string mod = module("four.mod", song(4));
    // Raw beside a raw output; only the channels heard get a stem.
    auto run = render({"--stems", "--mute", "2", "--buffers", "2", mod, "mix.raw"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(names_in(root),
              (std::vector<std::string>{"four.mod", "mix-ch01.raw", "mix-ch03.raw", "mix-ch04.raw", "mix.raw"}));
    EXPECT_EQ(fs::file_size(root / "mix-ch03.raw"), 2u * 8192);
    for (const char* name : {"mix-ch01.raw", "mix-ch03.raw", "mix-ch04.raw", "mix.raw"}) fs::remove(root / name);

    // Never over the module: nothing is written at all.
    const std::string over = module("x-ch02.wav", song(4));
    run = render({"--stems", "--buffers", "1", over, "x.wav"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("zindle-render: x-ch02.wav is the module itself; not writing over it\n"), std::string::npos)
        << run.err;
    EXPECT_EQ(names_in(root), (std::vector<std::string>{"four.mod", "x-ch02.wav"}));

    // A stem that cannot be written: the mix and the other stems are not
    // left behind either, and old files stay.
    write_file(root / "keep.wav", {'o', 'l', 'd'});
    fs::create_directory(root / "keep-ch03.wav");
    run = render({"--stems", "--buffers", "1", mod, "keep.wav"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("zindle-render: cannot write keep-ch03.wav: "), std::string::npos) << run.err;
    EXPECT_EQ(read_file(root / "keep.wav"), "old");
    EXPECT_EQ(names_in(root), (std::vector<std::string>{"four.mod", "keep-ch03.wav", "keep.wav", "x-ch02.wav"}));

    // Standard output has no name to put the stems beside.
    run = render({"--stems", mod, "-"});
    EXPECT_EQ(run.exit_code, 2);
}

TEST_F(RenderChannels, PassesEndToTheFrameAndAgreeWithInfo) {
    const std::string mod = module("four.mod", song(4));
    const std::uint64_t pass = pass_frames(mod);
    EXPECT_EQ(pass, 881u + 33 * 6 * 882);
    const std::string one = rendered({}, mod);
    EXPECT_EQ(one.size(), pass * 4);
    EXPECT_EQ(rendered({"--passes", "1"}, mod), one);
    const std::string long_run = rendered({"--buffers", "400"}, mod);
    EXPECT_EQ(one, long_run.substr(0, one.size()));
    // Later passes come back to row 0 of order 0: 33 rows each.
    const std::string three = rendered({"--passes", "3"}, mod);
    EXPECT_EQ(three.size(), (pass + 2 * 33 * 6 * 882) * 4);
    EXPECT_EQ(three, long_run.substr(0, three.size()));
    // From inside the second pass, one pass more is the rest of it.
    const std::string rest = rendered({"--start", "5", "--passes", "1"}, mod);
    EXPECT_EQ(rest, three.substr(5 * 44100 * 4, (pass + 33 * 6 * 882 - 5 * 44100) * 4));

    // The .wav header holds the exact length, on a file and on a pipe.
    auto run = render({"--passes", "3", mod, "three.wav"});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_TRUE(read_file(root / "three.wav").substr(44) == three);
    run = run_program({"/bin/sh", "-c",
                       "mkfifo p.wav && { '" + RENDER + "' --passes 3 '" + mod +
                           "' p.wav 2>/dev/null & cat p.wav > piped.wav; wait $!; }"},
                      root.string());
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(read_file(root / "piped.wav"), read_file(root / "three.wav"));
}

TEST_F(RenderChannels, WhatDoesNotLookLikeAModuleIsRefusedUnlessForced) {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files;
    const std::string text = "zindle\n\nA small, exact player. Build it with make; run it with ./run play.\n";
    files.push_back({"README", std::vector<std::uint8_t>(text.begin(), text.end())});
    std::vector<std::uint8_t> wav(44 + 4000, 0);
    const char riff[] = "RIFF\x24\x0f\0\0WAVEfmt ";
    std::copy(riff, riff + 16, wav.begin());
    files.push_back({"sound.wav", wav});
    std::mt19937 random(20);
    std::vector<std::uint8_t> noise(5000);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    files.push_back({"noise.bin", noise});
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const std::string path = module(name, bytes);
        auto run = render({"--buffers", "1", path, "out.raw"});
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err,
                  "zindle-render: " + path + " does not look like a module (use --force to render it anyway)\n");
        EXPECT_FALSE(fs::exists(root / "out.raw"));
        run = render({"--info", path});
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.out, "");
        // Forced, it goes on as before: rendered as an untagged 15-sample
        // song, or refused for its song length of 0 (text, a WAV's zeros).
        run = render({"--force", "--buffers", "1", path, "out.raw"});
        EXPECT_EQ(run.err.find("does not look like a module"), std::string::npos) << run.err;
        EXPECT_EQ(run.exit_code, name == "noise.bin" ? 0 : 1) << run.err;
        EXPECT_EQ(fs::exists(root / "out.raw"), name == "noise.bin");
        run = render({"--info", "--force", path});
        EXPECT_EQ(run.exit_code, name == "noise.bin" ? 0 : 1) << run.err;
        fs::remove(root / "out.raw");
    }
    // Generated songs of every channel count are modules.
    for (const int channels : {4, 6, 8, 16, 32}) {
        const std::string path = module("gen.mod", song(channels));
        EXPECT_EQ(render({"--buffers", "1", path, "out.raw"}).exit_code, 0) << channels;
    }
}

}  // namespace
