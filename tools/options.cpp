#include "options.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "file_system.h"
#include "strict_number.h"
#include "zindle.h"

namespace zindle {

namespace {

// The largest --passes: a thousand passes (at most about 14 days).
constexpr std::uint64_t MAX_PASSES = 1000;
// The furthest --start: the library's bound on a seek (2^30 frames, about
// 6 h 46 min), past which zindle_seek refuses at once.
constexpr std::uint64_t START_LIMIT_FRAMES = ZINDLE_SEEK_MAX_FRAMES;constexpr int LENGTH = 1;    // the group of --buffers, --seconds and --passes
constexpr int CHANNELS = 2;  // --mute and --solo

std::string take_buffers(RenderOptions& o, const char* value) {
    if (!parse_whole_number(value, MAX_BUFFERS, o.blocks))
        return std::string(value) + " is not in 0.." + std::to_string(MAX_BUFFERS);
    o.length_given = true;
    o.by_passes = false;
    return "";
}

std::string take_seconds(RenderOptions& o, const char* value) {
    if (!parse_seconds_as_buffers(value, o.blocks))
        return std::string(value) + " is not a number of seconds in 0.." + std::to_string(MAX_SECONDS);
    o.length_given = true;
    o.by_passes = false;
    return "";
}

std::string take_passes(RenderOptions& o, const char* value) {
    if (!parse_whole_number(value, MAX_PASSES, o.passes) || o.passes == 0)
        return std::string(value) + " is not in 1.." + std::to_string(MAX_PASSES);
    o.length_given = true;
    return "";
}

std::string take_start(RenderOptions& o, const char* value) {
    if (!parse_time_as_frames(value, o.start) || o.start > START_LIMIT_FRAMES) {
        // The bound in hundredths of a second, cut: every time up to it is taken.
        const std::uint64_t hundredths = START_LIMIT_FRAMES * 100 / ZINDLE_SAMPLE_RATE;
        char limit[32];
        std::snprintf(limit, sizeof limit, "%llu.%02llu", static_cast<unsigned long long>(hundredths / 100),
                      static_cast<unsigned long long>(hundredths % 100));
        return std::string(value) + " is not a time (seconds, or minutes:seconds) in 0.." + limit + " s";
    }
    o.start_given = true;
    return "";
}

std::string take_trace(RenderOptions& o, const char* value) {
    o.trace = value;
    return "";
}

std::string take_mute(RenderOptions& o, const char* value) {
    if (!parse_channel_list(value, o.muted))
        return std::string(value) + " is not a list of channels such as 1,3-4 (1 to 32)";
    return "";
}

std::string take_solo(RenderOptions& o, const char* value) {
    if (!parse_channel_list(value, o.solo))
        return std::string(value) + " is not a list of channels such as 1,3-4 (1 to 32)";
    o.solo_given = true;
    return "";
}

std::string take_stems(RenderOptions& o, const char*) {
    o.stems = true;
    return "";
}

std::string take_force(RenderOptions& o, const char*) {
    o.force = true;
    return "";
}

std::string take_info(RenderOptions& o, const char*) {
    o.info = true;
    return "";
}

std::string take_version(RenderOptions& o, const char*) {
    o.version = true;
    return "";
}

std::string take_help(RenderOptions& o, const char*) {
    o.help = true;
    return "";
}

constexpr std::array<OptionSpec, 12> OPTIONS = {{
    {"--buffers", "N", LENGTH, false, "render N buffers of 2048 frames (0 to 1000000000)", take_buffers},
    {"--seconds", "S", LENGTH, false, "render the whole buffers that cover S seconds (up to 46000000)", take_seconds},
    {"--passes", "N", LENGTH, false, "render N passes of the song, to the frame (1 to 1000; 1 by default)",
     take_passes},
    {"--start", "TIME", 0, false, "start at TIME, as seconds (95.5) or minutes:seconds (1:35.5)", take_start},
    {"--mute", "LIST", CHANNELS, false, "leave the channels of LIST (such as 1,3-4; from 1) out of the mix", take_mute},
    {"--solo", "LIST", CHANNELS, false, "mix the channels of LIST only", take_solo},
    {"--stems", nullptr, 0, false, "also write each channel heard beside OUTPUT, as NAME-ch01.wav ...", take_stems},
    {"--trace", "FILE", 0, false, "write one line per row played to FILE", take_trace},
    {"--force", nullptr, 0, false, "render a file even when it does not look like a module", take_force},
    {"--info", nullptr, 0, true, "describe the module and render nothing", take_info},
    {"--version", nullptr, 0, true, "write the version", take_version},
    {"--help", nullptr, 0, true, "write this help", take_help},
}};

const OptionSpec* find_option(const char* name) {
    for (const OptionSpec& spec : OPTIONS)
        if (std::strcmp(spec.name, name) == 0) return &spec;
    return nullptr;
}

std::string option_usage(const OptionSpec& spec) {
    return spec.argument != nullptr ? std::string(spec.name) + " " + spec.argument : spec.name;
}

bool is_option(const char* arg) { return arg[0] == '-' && arg[1] != 0; }

}  // namespace

std::span<const OptionSpec> option_table() { return OPTIONS; }

bool parse_channel_list(const char* text, std::uint32_t& channels) {
    // One channel number at `at`, 1 to 32 in at most two digits (01 too).
    const auto read_channel = [](const char*& at, std::uint32_t& channel) {
        channel = 0;
        int digits = 0;
        for (; *at >= '0' && *at <= '9'; ++at)
            if (++digits > 2)
                return false;
            else
                channel = channel * 10 + static_cast<std::uint32_t>(*at - '0');
        return digits > 0 && channel >= 1 && channel <= MAX_CHANNELS;
    };
    std::uint32_t parsed = 0;
    const char* at = text;
    for (;;) {
        std::uint32_t first = 0;
        if (!read_channel(at, first)) return false;
        std::uint32_t last = first;
        if (*at == '-' && (!read_channel(++at, last) || last < first)) return false;
        for (std::uint32_t c = first; c <= last; ++c) parsed |= 1u << (c - 1);
        if (*at == 0) break;
        if (*at++ != ',') return false;
    }
    channels = parsed;
    return true;
}

std::string stem_name(const std::string& output, int channel) {
    const std::string folder = folder_of(output);
    std::string base = base_of(output);
    std::string extension;
    const std::size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot != 0) {
        extension = base.substr(dot);
        base.resize(dot);
    }
    char number[16];
    std::snprintf(number, sizeof number, "-ch%02d", channel);
    return folder + base + number + extension;
}

std::string usage_text() {
    // The render's options in brackets, one group's options joined by |,
    // then the forms that render nothing.
    std::string text = "usage: zindle-render";
    std::string modes;
    for (std::size_t i = 0; i < OPTIONS.size(); ++i) {
        const OptionSpec& spec = OPTIONS[i];
        if (spec.mode) {
            modes += std::string(" | ") + spec.name + (std::strcmp(spec.name, "--info") == 0 ? " MODULE" : "");
            continue;
        }
        const bool joined = i > 0 && spec.group != 0 && OPTIONS[i - 1].group == spec.group;
        const bool more = i + 1 < OPTIONS.size() && spec.group != 0 && OPTIONS[i + 1].group == spec.group;
        text += joined ? " | " : " [";
        text += option_usage(spec);
        if (!more) text += "]";
    }
    return text + " MODULE [OUTPUT]" + modes + "\n";
}

std::string help_text() {
    std::string text = usage_text();
    for (const OptionSpec& spec : OPTIONS) {
        std::string left = "  " + option_usage(spec);
        left.resize(left.size() < 18 ? 18 : left.size() + 1, ' ');
        text += left + spec.help + "\n";
    }
    return text;
}

std::string parse_options(int argc, const char* const* argv, RenderOptions& o) {
    o = RenderOptions{};
    bool seen[OPTIONS.size()] = {};
    const OptionSpec* group_seen[3] = {nullptr, nullptr, nullptr};
    const char* names_left_over = nullptr;
    int given = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!is_option(arg)) {
            if (o.module == nullptr)
                o.module = arg;
            else if (o.output == nullptr)
                o.output = arg;
            else if (names_left_over == nullptr)
                names_left_over = arg;
            continue;
        }
        const OptionSpec* spec = find_option(arg);
        if (spec == nullptr) return std::string(arg) + ": no such option";
        const std::size_t index = static_cast<std::size_t>(spec - OPTIONS.data());
        if (seen[index]) return std::string(arg) + ": given twice";
        seen[index] = true;
        ++given;
        if (spec->group != 0) {
            if (group_seen[spec->group] != nullptr)
                return std::string(arg) + ": " + group_seen[spec->group]->name + " is given already";
            group_seen[spec->group] = spec;
        }
        const char* value = nullptr;
        if (spec->argument != nullptr) {
            if (i + 1 >= argc) return std::string(arg) + ": " + spec->argument + " is missing";
            value = argv[++i];
        }
        const std::string why = spec->take(o, value);
        if (!why.empty()) return std::string(arg) + ": " + why;
    }
    // --version and --help stand alone; --info takes the module alone.
    for (const char* alone : {"--version", "--help"}) {
        const bool asked = std::strcmp(alone, "--version") == 0 ? o.version : o.help;
        if (asked && (given > 1 || o.module != nullptr)) return std::string(alone) + ": must be the only argument";
        if (asked) return "";
    }
    if (o.module == nullptr) return "no module named";
    if (names_left_over != nullptr) return std::string(names_left_over) + ": one name too many (MODULE [OUTPUT])";
    if (o.info && given > (o.force ? 2 : 1)) return "--info: takes the module alone (and --force)";
    if (o.info && o.output != nullptr) return "--info: takes the module alone, no output";
    if (o.stems && o.output != nullptr && std::strcmp(o.output, "-") == 0)
        return "--stems: needs an output file to name the stems after, not -";
    return "";
}

}  // namespace zindle
