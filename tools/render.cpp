// zindle-render: plays a module offline, at full speed, into a file,
// through libzindle's public interface alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#endif

#include "output_file.h"
#include "strict_number.h"
#include "wav_header.h"
#include "zindle.h"

// Files are read and written as bytes everywhere: no line-end translation
// where the C library would otherwise do it.
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace zindle {

namespace {

constexpr const char* USAGE =
    "usage: zindle-render [--buffers N | --seconds S | --passes N] [--start TIME] [--trace FILE] MODULE [OUTPUT]"
    " | --info MODULE\n";
constexpr std::uint64_t BLOCK_FRAMES = 2048;  // output comes in whole blocks of 2048 frames
constexpr std::uint64_t BLOCK_BYTES = BLOCK_FRAMES * 4;
constexpr std::uint64_t MAX_PASS_BLOCKS =
    (20ull * 60 * ZINDLE_SAMPLE_RATE + BLOCK_FRAMES - 1) / BLOCK_FRAMES;  // 20 minutes a pass at most
// The largest --passes: a thousand passes (at most about 14 days).
constexpr std::uint64_t MAX_PASSES = 1000;

OutputFile output;
OutputFile trace;
bool tracing;

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

// The module's file name without folder and extension, plus ".wav".
std::string default_output_name(const std::string& module) {
#ifdef _WIN32
    const char* const separators = "/\\:";  // C:\music\song.mod, C:song.mod
#else
    const char* const separators = "/";
#endif
    std::string name = module.substr(module.find_last_of(separators) + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot != 0) name.resize(dot);
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

int usage() {
    std::fputs(USAGE, stderr);
    return 2;
}

int cannot_write(const OutputFile& file) {
    std::fprintf(stderr, "zindle-render: cannot write %s: %s\n", file.name().c_str(), std::strerror(file.error()));
    return 1;
}

// The first of the two outputs that failed, or null.
const OutputFile* failed_output() {
    if (tracing && !trace.ok()) return &trace;
    if (!output.ok()) return &output;
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
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '.';
    return text;
}

int print_info() {
    std::printf("title: %s\n", shown(zindle_title()).c_str());
    std::printf("channels: %d\n", zindle_channel_count());
    std::printf("samples: %d%s\n", zindle_sample_count(), zindle_extended_mode() == 1 ? " (instrument extension)" : "");
    for (int s = 1; s <= zindle_sample_count(); ++s)
        std::printf("sample %2d: %s\n", s, shown(zindle_sample_name(s)).c_str());
    std::printf("song length: %d\n", zindle_song_length());
    const std::uint64_t frames = zindle_pass_frames();
    std::printf("one pass: %s (%llu frames)\n", minutes_text(frames).c_str(), static_cast<unsigned long long>(frames));
    if (zindle_return_order() >= 0)
        std::printf("comes back to: order %d, row %d\n", zindle_return_order(), zindle_return_row());
    else
        std::printf("comes back to: nowhere within 20 minutes\n");
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// Blocks from the current position until `passes` more passes have ended,
// to the end of the block in which the last one ends; at most 20 minutes a
// pass.
std::uint64_t blocks_for_passes(std::uint64_t passes) {
    static std::int16_t scratch[2 * BLOCK_FRAMES];
    const std::uint64_t target = static_cast<std::uint64_t>(zindle_passes()) + passes;
    std::uint64_t blocks = 0;
    while (static_cast<std::uint64_t>(zindle_passes()) < target && blocks < passes * MAX_PASS_BLOCKS) {
        zindle_render(scratch, BLOCK_FRAMES);
        ++blocks;
    }
    return blocks;
}

}  // namespace

}  // namespace zindle

int main(int argc, char** argv) {
    using namespace zindle;
    reserve_standard_streams();
#ifdef _WIN32
    // Raw frames on standard output, the report byte for byte on standard error.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    // The version stands alone; with anything else it is bad usage.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zindle-render %s\n", zindle_version());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    std::uint64_t blocks = 0;
    std::uint64_t passes = 1;
    bool counted = false;  // --buffers, --seconds or --passes given
    bool by_passes = true;
    bool info = false;
    std::uint64_t start = 0;
    bool started = false;
    const char* trace_path = nullptr;
    const char* module = nullptr;
    const char* out_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--buffers" || arg == "--seconds" || arg == "--passes") {
            if (counted || i + 1 >= argc) return usage();
            bool ok;
            if (arg == "--buffers") {
                ok = parse_whole_number(argv[++i], MAX_BUFFERS, blocks);
                by_passes = false;
            } else if (arg == "--seconds") {
                ok = parse_seconds_as_buffers(argv[++i], blocks);
                by_passes = false;
            } else {
                ok = parse_whole_number(argv[++i], MAX_PASSES, passes) && passes > 0;
            }
            if (!ok) return usage();
            counted = true;
        } else if (arg == "--start") {
            if (started || i + 1 >= argc || !parse_time_as_frames(argv[++i], start)) return usage();
            started = true;
        } else if (arg == "--trace") {
            if (trace_path != nullptr || i + 1 >= argc) return usage();
            trace_path = argv[++i];
        } else if (arg == "--info") {
            if (info) return usage();
            info = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return usage();
        } else if (module == nullptr) {
            module = argv[i];
        } else if (out_path == nullptr) {
            out_path = argv[i];
        } else {
            return usage();
        }
    }
    if (module == nullptr) return usage();
    // --info renders nothing, so it takes no output and no length.
    if (info && (counted || started || trace_path != nullptr || out_path != nullptr)) return usage();

    std::vector<std::uint8_t> file;
    if (!read_module(module, file)) {
        std::fprintf(stderr, "zindle-render: cannot read %s: %s\n", module, std::strerror(errno));
        return 1;
    }
    if (info) return load_song(module, file) ? print_info() : 1;

    // Nothing is ever written over the module, nor the trace over the
    // output: names are compared by the files they reach.
    const std::string out_name = out_path != nullptr ? out_path : default_output_name(module);
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

    if (!load_song(module, file)) return 1;

    // The passes are measured first, so that a header written before the
    // frames (to a pipe, too) holds the true length; the render then
    // starts again from the start point.
    zindle_seek(start);
    if (by_passes) {
        blocks = blocks_for_passes(passes);
        zindle_seek(start);
    }

    const bool wav = out_name != "-" && ends_with(out_name, ".wav");
    remove_temporaries_on_signals();
    tracing = trace_path != nullptr;
    if (tracing && !trace.open(trace_path)) return cannot_write(trace);
    if (!output.open(out_name)) {
        trace.discard();
        return cannot_write(output);
    }
    if (wav) {
        std::uint8_t header[MAX_WAV_HEADER_BYTES];
        output.write(header, make_wav_header(blocks * BLOCK_BYTES, header));
    }

    // Stops at the first failed write, of either file. Samples are written
    // little-endian whatever the machine's order.
    if (tracing) zindle_set_row_callback(trace_row, nullptr);
    static std::int16_t frames[2 * BLOCK_FRAMES];
    static std::uint8_t bytes[BLOCK_BYTES];
    for (std::uint64_t rendered = 0; rendered < blocks && failed_output() == nullptr; ++rendered) {
        zindle_render(frames, BLOCK_FRAMES);
        for (std::size_t i = 0; i < 2 * BLOCK_FRAMES; ++i) {
            const auto v = static_cast<std::uint16_t>(frames[i]);
            bytes[2 * i] = static_cast<std::uint8_t>(v);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        output.write(bytes, BLOCK_BYTES);
    }
    zindle_set_row_callback(nullptr, nullptr);
    // Both complete on the disk before either takes its place.
    if (failed_output() == nullptr && tracing) trace.finish();
    if (failed_output() == nullptr) output.finish();
    if (failed_output() == nullptr && tracing) trace.commit();
    if (failed_output() == nullptr) output.commit();
    if (const OutputFile* failed = failed_output()) {
        output.discard();
        trace.discard();
        return cannot_write(*failed);
    }
    return 0;
}
