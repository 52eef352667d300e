// The renderer's command line: every option in one table, which the
// parser, the usage line and --help all read.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zindle {

// What a command line asks for.
struct RenderOptions {
    // The length: one pass unless --buffers, --seconds or --passes say
    // otherwise (--seconds is kept as whole buffers).
    bool length_given = false;
    bool by_passes = true;
    std::uint64_t blocks = 0;
    std::uint64_t passes = 1;
    bool start_given = false;
    std::uint64_t start = 0;  // frames
    const char* trace = nullptr;
    // Channels left out of the mix (bit c - 1 for channel c), or the only
    // ones kept in it.
    std::uint32_t muted = 0;
    std::uint32_t solo = 0;
    bool solo_given = false;
    bool stems = false;
    bool force = false;  // render what does not look like a module
    bool info = false;
    bool version = false;
    bool help = false;
    const char* module = nullptr;
    const char* output = nullptr;
};

struct OptionSpec {
    const char* name;      // "--buffers"
    const char* argument;  // its value's name in the usage line, or null
    int group;             // options of one nonzero group exclude each other
    bool mode;             // renders nothing: shown apart in the usage line
    const char* help;      // one line for --help
    // Takes the value (null for an option without one) into `options`;
    // returns "" or why the value is refused.
    std::string (*take)(RenderOptions& options, const char* value);
};

// Every option, in the order the usage line and --help show them.
std::span<const OptionSpec> option_table();

// The one-line usage, "usage: zindle-render ...\n", from the table.
std::string usage_text();
// The usage line, then one line per option.
std::string help_text();

// The most channels a song has; channel lists number them from 1.
inline constexpr int MAX_CHANNELS = 32;

// A list of channels as a musician counts them, from 1: numbers and
// ranges joined by commas, such as "1,3-4". Bit c - 1 of `channels` is set
// for channel c. False for anything else (0, past 32, a range running
// backwards, blanks, an empty item).
bool parse_channel_list(const char* text, std::uint32_t& channels);

// The name of channel `channel`'s stem beside `output`: song.wav gives
// song-ch01.wav, out/mix gives out/mix-ch01.
std::string stem_name(const std::string& output, int channel);

// Reads argv[1..argc-1]. Returns "" on success, or the reason the command
// line is bad usage, such as "--passes: 0 is not in 1..1000".
std::string parse_options(int argc, const char* const* argv, RenderOptions& options);

}  // namespace zindle
