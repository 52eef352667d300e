// Builds module files in memory for tests, fuzz seeds and the demo songs.
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

// Clears the whole engine (state, image, output ring), copies the file
// into the image at most up to its size, runs the loader and returns the
// console bytes it wrote. `loaded` receives the loader's result.
std::string load(const std::vector<std::uint8_t>& file, bool* loaded = nullptr);

// As load(), with out_clock standing at `start_clock` when the loader runs,
// as it would after hours of playback.
std::string load_at_clock(const std::vector<std::uint8_t>& file, std::uint32_t start_clock, bool* loaded = nullptr);

// The engine's console and buffer seams to the two below; load() and
// take_console() do it.
void wire_test_seams();
// Console bytes written since the last load() or take_console().
std::string take_console();

// Renders `buffers` calls of fill_buffer and returns the interleaved frames.
std::vector<std::int16_t> render(int buffers);

// Same through the reference per-frame mixer.
std::vector<std::int16_t> render_reference(int buffers);

// Number of fill_buffer submissions seen since the last load().
int submitted_buffers();

// Number of console_write calls since the program started.
int console_writes();

// Runs a program (args[0] is its path) in `cwd` (or here when empty) with
// no standard input and returns its exit code (-1 if it did not exit
// normally) and everything it wrote to standard output and error.
struct ProgramResult {
    int exit_code;
    std::string out;
    std::string err;
};
ProgramResult run_program(const std::vector<std::string>& args, const std::string& cwd = "");

// A fresh empty directory under the system's temporary folder.
std::string make_temp_dir();

}  // namespace zindle::test
