// zindle-render: plays a module offline, at full speed, into a file,
// through libzindle's public interface alone.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "file_system.h"
#include "options.h"
#include "output_file.h"
#include "wav_header.h"
#include "zindle.h"

namespace zindle {

namespace {

constexpr std::uint64_t BLOCK_FRAMES = ZINDLE_BLOCK_FRAMES;  // --buffers counts these
constexpr std::uint64_t BLOCK_BYTES = BLOCK_FRAMES * 4;

OutputFile output;
OutputFile trace;
bool tracing;
// With --stems, one file for each channel heard; none for the others.
std::unique_ptr<OutputFile> stems[MAX_CHANNELS];

// One line per row, in the order the rows start.
void trace_row(void*, std::uint64_t frame, int order, int pattern, int row) {
    char line[96];
    const int length = std::snprintf(line, sizeof line, "%llu %d %d %d %d %d\n", static_cast<unsigned long long>(frame),
                                     order, pattern, row, zindle_speed(), zindle_bytes_per_tick());
    trace.write(line, static_cast<std::size_t>(length));
}

bool ends_with(const std::string& text, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// The module's file name without folder and extension, plus ".wav"; the
// Amiga's mod.NAME gives NAME.wav.
std::string default_output_name(const std::string& module) {
    std::string name = base_of(module);
    const bool amiga = name.size() > 4 && (name[0] | 0x20) == 'm' && (name[1] | 0x20) == 'o' &&
                       (name[2] | 0x20) == 'd' && name[3] == '.';
    if (amiga) {
        name.erase(0, 4);
    } else {
        const std::size_t dot = name.find_last_of('.');
        if (dot != std::string::npos && dot != 0) name.resize(dot);
    }
    if (name.empty()) name = "out";
    return name + ".wav";
}

// Reads at most the image's size, as the player does; a directory or any
// other file that cannot be read is refused.
bool read_module(const char* path, std::vector<std::uint8_t>& file) {
    const int fd = ::open(path, O_RDONLY | O_BINARY);
    if (fd < 0) return false;
    file.resize(ZINDLE_IMAGE_BYTES);
    std::uint32_t total = 0;
    bool ok = true;
    while (total < ZINDLE_IMAGE_BYTES) {
        const auto got = ::read(fd, file.data() + total, ZINDLE_IMAGE_BYTES - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) break;
        total += static_cast<std::uint32_t>(got);
    }
    const int read_error = errno;
    ::close(fd);
    errno = read_error;
    file.resize(total);
    return ok;
}

// Loads the song and writes the loader's report to standard error, byte
// for byte as the player writes it to its console.
bool load_song(const char* module, const std::vector<std::uint8_t>& file) {
    const int loaded = zindle_load(file.data(), file.size());
    std::fputs(zindle_report(), stderr);
    if (loaded == 0) return true;
    std::fprintf(stderr, "zindle-render: %s has a song length of 0, nothing to play\n", module);
    return false;
}

// Bad usage: what was wrong, then the usage line.
int usage(const std::string& why) {
    std::fprintf(stderr, "zindle-render: %s\n", why.c_str());
    std::fputs(usage_text().c_str(), stderr);
    return 2;
}

int cannot_write(const OutputFile& file) {
    std::fprintf(stderr, "zindle-render: cannot write %s: %s\n", file.name().c_str(), std::strerror(file.error()));
    return 1;
}

// The first of the outputs that failed, or null.
const OutputFile* failed_output() {
    if (tracing && !trace.ok()) return &trace;
    if (!output.ok()) return &output;
    for (const auto& stem : stems)
        if (stem && !stem->ok()) return stem.get();
    return nullptr;
}

// m:ss.mmm of a number of frames, the milliseconds cut, not rounded.
std::string minutes_text(std::uint64_t frames) {
    const std::uint64_t ms = frames * 1000 / ZINDLE_SAMPLE_RATE;
    char text[48];
    std::snprintf(text, sizeof text, "%llu:%02llu.%03llu", static_cast<unsigned long long>(ms / 60000),
                  static_cast<unsigned long long>(ms / 1000 % 60), static_cast<unsigned long long>(ms % 1000));
    return text;
}

// Stored names are shown as they are, but for control bytes, shown as '.'.
std::string shown(const char* name) {
    std::string text(name);
    // C1 bytes too: 0x9B is a terminal's 8-bit CSI.
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) c = '.';
    }
    return text;
}

// Writes `text` to standard output: 0, or 1 with the line that says why not.
int write_standard_output(const std::string& text) {
    OutputFile out;
    out.open("-");
    out.write(text.data(), text.size());
    if (!out.finish()) return cannot_write(out);
    return 0;
}

std::string printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* format, ...) {
    char line[160];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    return std::string(line, static_cast<std::size_t>(length < 0 ? 0 : length));
}

int print_info() {
    std::string text = "title: " + shown(zindle_title()) + "\n";
    text += printed("channels: %d\n", zindle_channel_count());
    text +=
        printed("samples: %d%s\n", zindle_sample_count(), zindle_extended_mode() == 1 ? " (instrument extension)" : "");
    for (int s = 1; s <= zindle_sample_count(); ++s)
        text += printed("sample %2d: ", s) + shown(zindle_sample_name(s)) + "\n";
    text += printed("song length: %d\n", zindle_song_length());
    const std::uint64_t frames = zindle_pass_frames();
    text += "one pass: " + minutes_text(frames) + printed(" (%llu frames)\n", static_cast<unsigned long long>(frames));
    if (zindle_return_order() >= 0)
        text += printed("comes back to: order %d, row %d\n", zindle_return_order(), zindle_return_row());
    else
        text += "comes back to: nowhere within 20 minutes\n";
    return write_standard_output(text);
}

// How long the render is, as far as it is known before it starts.
struct Length {
    std::uint64_t frames;  // at most this many
    bool ends_early;       // or fewer, where the song ends (its last pass)
};

// --passes ends the song where its last pass ends (zindle_set_repeat), to
// the frame; one pass from before its end is known from the load.
Length length_of(const RenderOptions& o) {
    if (!o.by_passes) return {o.blocks * BLOCK_FRAMES, false};
    zindle_set_repeat(zindle_passes() + static_cast<int>(o.passes) - 1);
    const std::uint64_t pass_end = zindle_pass_frames();
    if (o.passes == 1 && o.start < pass_end && zindle_return_order() >= 0) return {pass_end - o.start, false};
    if (o.passes == 1 && o.start == 0) return {pass_end, false};  // no row comes back in 20 minutes
    return {o.passes * ZINDLE_PASS_LIMIT_FRAMES, true};
}

// The frames from the current position to where the song ends, at most
// `most`: the passes measured before a header that must hold their length.
std::uint64_t frames_to_end(std::uint64_t most) {
    static std::int16_t scratch[2 * BLOCK_FRAMES];
    std::uint64_t done = 0;
    while (done < most) {
        const std::size_t ask = static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK_FRAMES, most - done));
        const std::size_t got = zindle_render(scratch, ask);
        done += got;
        if (got < ask) break;
    }
    return done;
}

// Nothing is ever written over the module, nor the trace over the output:
// names are compared by the files they reach. 0, or 1 with the line that
// says why not.
int refuse_clashes(const char* module, const std::string& out_name, const char* trace_path) {
    const FileIdentity module_id = identity_of(module);
    const FileIdentity out_id = identity_of(out_name);
    const FileIdentity trace_id = trace_path != nullptr ? identity_of(trace_path) : FileIdentity{};
    const char* const overwrite = out_id == module_id ? out_name.c_str() : trace_id == module_id ? trace_path : nullptr;
    if (overwrite != nullptr) {
        std::fprintf(stderr, "zindle-render: %s is the module itself; not writing over it\n", overwrite);
        return 1;
    }
    if (trace_path != nullptr && (trace_id == out_id || (out_name != "-" && std::string(trace_path) == out_name))) {
        std::fprintf(stderr, "zindle-render: %s cannot be both the trace and the output\n", trace_path);
        return 1;
    }
    return 0;
}

// Renders up to `most` frames into `file`, up to where the song ends or
// the first failed write; returns how many were rendered. Samples are
// written little-endian whatever the machine's order.
std::uint64_t render_frames(std::uint64_t most, OutputFile& file) {
    static std::int16_t frames[2 * BLOCK_FRAMES];
    static std::uint8_t bytes[BLOCK_BYTES];
    std::uint64_t done = 0;
    while (done < most && failed_output() == nullptr) {
        const std::size_t ask = static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK_FRAMES, most - done));
        const std::size_t got = zindle_render(frames, ask);
        for (std::size_t i = 0; i < 2 * got; ++i) {
            const auto v = static_cast<std::uint16_t>(frames[i]);
            bytes[2 * i] = static_cast<std::uint8_t>(v);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        file.write(bytes, got * 4);
        done += got;
        if (got < ask) break;
    }
    return done;
}

// The channels heard: all of them but the muted ones, or the solo ones.
std::uint32_t heard_channels(const RenderOptions& o) {
    const int count = zindle_channel_count();
    const std::uint32_t all = count >= 32 ? 0xFFFFFFFFu : (1u << count) - 1;
    return (o.solo_given ? o.solo : ~o.muted) & all;
}

void hear_only(std::uint32_t channels) {
    for (int c = 0; c < zindle_channel_count(); ++c) zindle_mute(c, (channels >> c & 1) == 0 ? 1 : 0);
}

// Every file complete on the disk before any takes its place. 0, or 1
// with the line that names the first that failed.
int commit_outputs() {
    if (failed_output() == nullptr && tracing) trace.finish();
    if (failed_output() == nullptr) output.finish();
    for (auto& stem : stems)
        if (stem && failed_output() == nullptr) stem->finish();
    if (failed_output() == nullptr && tracing) trace.commit();
    if (failed_output() == nullptr) output.commit();
    for (auto& stem : stems)
        if (stem && failed_output() == nullptr) stem->commit();
    if (const OutputFile* failed = failed_output()) {
        const int code = cannot_write(*failed);
        output.discard();
        trace.discard();
        for (auto& stem : stems)
            if (stem) stem->discard();
        return code;
    }
    return 0;
}

}  // namespace

}  // namespace zindle

int main(int argc, char** argv) {
    using namespace zindle;
    reserve_standard_streams();
    // Before anything is sought, counted or written.
    guard_temporaries_against_signals();
#ifdef _WIN32
    // Raw frames on standard output, the report byte for byte on standard error.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    RenderOptions options;
    const std::string why = parse_options(argc, argv, options);
    if (!why.empty()) return usage(why);
    if (options.version) return write_standard_output(std::string("zindle-render ") + zindle_version() + "\n");
    if (options.help) return write_standard_output(help_text());

    std::vector<std::uint8_t> file;
    if (!read_module(options.module, file)) {
        std::fprintf(stderr, "zindle-render: cannot read %s: %s\n", options.module, std::strerror(errno));
        return 1;
    }
    // What does not look like a module is refused before anything is
    // loaded or written, unless asked for.
    if (!options.force && zindle_probe(file.data(), file.size()) != 1) {
        std::fprintf(stderr, "zindle-render: %s does not look like a module (use --force to render it anyway)\n",
                     options.module);
        return 1;
    }
    if (options.info) return load_song(options.module, file) ? print_info() : 1;

    const std::string out_name = options.output != nullptr ? options.output : default_output_name(options.module);
    if (refuse_clashes(options.module, out_name, options.trace) != 0) return 1;
    std::string stem_names[MAX_CHANNELS];
    if (!load_song(options.module, file)) return 1;
    const int channels = zindle_channel_count();
    const std::uint32_t listed = options.solo_given ? options.solo : options.muted;
    if (channels < MAX_CHANNELS && (listed >> channels) != 0)
        return usage(std::string(options.solo_given ? "--solo" : "--mute") + ": the song has " +
                     std::to_string(channels) + " channels");
    const std::uint32_t heard = heard_channels(options);
    if (options.stems) {
        for (int c = 0; c < channels; ++c) {
            if ((heard >> c & 1) == 0) continue;
            stem_names[c] = stem_name(out_name, c + 1);
            if (refuse_clashes(options.module, stem_names[c], options.trace) != 0) return 1;
            if (identity_of(stem_names[c]) == identity_of(out_name)) {
                std::fprintf(stderr, "zindle-render: %s cannot be both a stem and the output\n", stem_names[c].c_str());
                return 1;
            }
        }
    }
    hear_only(heard);
    if (options.start_given) zindle_seek(options.start);
    Length length = length_of(options);

    tracing = options.trace != nullptr;
    if (tracing && !trace.open(options.trace)) return cannot_write(trace);
    bool opened = output.open(out_name);
    for (int c = 0; c < channels && opened; ++c) {
        if (stem_names[c].empty()) continue;
        stems[c] = std::make_unique<OutputFile>();
        opened = stems[c]->open(stem_names[c]);
    }
    if (!opened) {
        const int code = cannot_write(*failed_output());
        output.discard();
        trace.discard();
        for (auto& stem : stems)
            if (stem) stem->discard();
        return code;
    }
    // A header written before the frames must hold their length. When the
    // song's end is not known yet, a file gets the header written over its
    // start at the end, as long as it cannot need the longer RF64 one; a
    // pipe gets the passes measured first, and the render then starts
    // again from the start point.
    const bool wav = out_name != "-" && ends_with(out_name, ".wav");
    std::uint8_t header[MAX_WAV_HEADER_BYTES];
    bool header_at_end = false;
    if (wav && length.ends_early) {
        header_at_end = output.rewritable() && make_wav_header(length.frames * 4, header) == WAV_HEADER_BYTES;
        if (!header_at_end) {
            length = {frames_to_end(length.frames), false};
            zindle_seek(options.start);
        }
    }
    if (wav) output.write(header, make_wav_header(length.frames * 4, header));
    if (tracing) zindle_set_row_callback(trace_row, nullptr);
    const std::uint64_t rendered = render_frames(length.frames, output);
    zindle_set_row_callback(nullptr, nullptr);
    if (header_at_end) output.rewrite_start(header, make_wav_header(rendered * 4, header));
    // Each stem is the render with that channel alone heard, of the mix's
    // length.
    for (int c = 0; c < channels && failed_output() == nullptr; ++c) {
        if (!stems[c]) continue;
        hear_only(1u << c);
        zindle_seek(options.start);
        if (wav) stems[c]->write(header, make_wav_header(rendered * 4, header));
        render_frames(rendered, *stems[c]);
    }
    return commit_outputs();
}
