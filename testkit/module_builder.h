// Builds module files in memory for tests, fuzz seeds and the demo songs.
// The engine harness (load, render) is engine_harness.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zindle::test {

struct Sample {
    std::vector<std::int8_t> data;              // written after the patterns
    std::optional<std::uint16_t> length_words;  // header length; default data.size() / 2 rounded up
    std::uint8_t finetune = 0;                  // raw header byte (low nibble is the finetune)
    std::uint8_t volume = 64;                   // raw header byte
    std::uint16_t loop_start_words = 0;
    std::uint16_t loop_length_words = 0;  // 0 or 1: no loop
};

struct Cell {
    std::uint16_t period = 0;  // 0..4095; 1 key-off, 2 vibrato continue
    std::uint8_t sample = 0;   // 0..31
    std::uint8_t effect = 0;   // 0..15
    std::uint8_t param = 0;
    std::uint8_t pan_bits = 0;  // 0x40, 0x80 or 0xC0: the top bits of byte 0
};

// Amiga periods of octaves 1 to 3 (C-1 .. B-3) at finetune 0.
std::uint16_t amiga_period(int octave, int semitone);

class ModuleBuilder {
public:
    // A 31-sample module with the usual tag for that many channels
    // ("M.K." for 4, "6CHN", "8CHN", "10CH".."32CH").
    explicit ModuleBuilder(int channels = 4);

    ModuleBuilder& tag(std::string_view four_bytes);  // raw bytes at 1080
    ModuleBuilder& fifteen_samples();                 // old layout, 4 channels, no tag
    ModuleBuilder& sample(int number, Sample sample);
    ModuleBuilder& orders(std::vector<std::uint8_t> entries);  // also sets the song length
    ModuleBuilder& order_byte(int index, std::uint8_t value);  // any of the 128 bytes
    ModuleBuilder& song_length(std::uint8_t length);
    ModuleBuilder& restart_byte(std::uint8_t value);
    ModuleBuilder& cell(int pattern, int row, int channel, Cell cell);
    // The extension tag at 1084 with the header speed and tempo bytes.
    ModuleBuilder& extended(std::uint8_t speed, std::uint8_t tempo);
    ModuleBuilder& instrument(int sample, std::array<std::uint8_t, 32> record);
    // Extra patterns beyond those the order list names (written, not counted).
    ModuleBuilder& extra_patterns(int count);

    int channels() const { return channels_; }
    std::vector<std::uint8_t> build() const;

private:
    int channels_;
    bool fifteen_ = false;
    std::string tag_;
    std::array<Sample, 32> samples_{};
    std::array<std::uint8_t, 128> orders_{};
    std::uint8_t song_length_ = 1;
    std::uint8_t restart_ = 0x7F;
    std::vector<std::vector<Cell>> patterns_;  // [pattern][row * channels + channel]
    std::optional<std::array<std::uint8_t, 2>> extension_;
    std::array<std::optional<std::array<std::uint8_t, 32>>, 32> records_{};
    int extra_patterns_ = 0;
};

}  // namespace zindle::test
