// zindle-render: plays a module offline, at full speed, into a file.
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

#include "console_text.h"
#include "mixer.h"
#include "module_loader.h"
#include "output_file.h"
#include "player_state.h"
#include "sequencer.h"
#include "strict_number.h"
#include "wav_header.h"

// Files are read and written as bytes everywhere: no line-end translation
// where the C library would otherwise do it.
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace zindle {

// The loader's report goes to standard error unchanged.
// Muted while the song is loaded a second time.
bool console_muted;
void console_write(const char* bytes, std::uint32_t count) {
    if (!console_muted) std::fwrite(bytes, 1, count, stderr);
}

namespace {

constexpr const char* USAGE = "usage: zindle-render [--buffers N | --seconds S] [--trace FILE] MODULE [OUTPUT]\n";
constexpr std::uint32_t SAMPLE_RATE = 44100;
constexpr std::uint64_t MAX_DEFAULT_BUFFERS = (20ull * 60 * SAMPLE_RATE + FRAMES_PER_BUFFER - 1) / FRAMES_PER_BUFFER;

OutputFile output;

// Marks the rows already heard, to find where the song comes back.
struct PassTracker {
    bool visited[256][64];
    std::uint8_t loop_count;
    bool repeated;
};
PassTracker pass;
OutputFile trace;
bool tracing;

// Frame count at the start of the buffer being filled, kept in 64 bits so
// the trace stays right after out_clock wraps (about 6 h 45 min).
std::uint64_t buffer_first_frame;
std::uint32_t buffer_first_clock;

void record_row(const std::uint8_t* entry, std::uint32_t row_offset) {
    const SongState& song = player.song;
    const auto order = static_cast<std::uint32_t>(entry - song.order_table);
    const std::uint32_t pattern = *entry;
    const std::uint32_t row_bytes = song.channel_count * 4u;
    const std::uint32_t row = (row_offset - pattern * song.pattern_bytes) / row_bytes;
    if (tracing) {
        const std::uint64_t frame = buffer_first_frame + (player.out_clock - buffer_first_clock) / BYTES_PER_FRAME - 1;
        char line[96];
        const int length = std::snprintf(line, sizeof line, "%llu %u %u %u %u %u\n",
                                         static_cast<unsigned long long>(frame), order, pattern, row,
                                         static_cast<unsigned>(song.speed), song.bytes_per_tick);
        trace.write(line, static_cast<std::size_t>(length));
    }
    if (order < 256 && row < 64) {
        if (pass.visited[order][row]) pass.repeated = true;
        pass.visited[order][row] = true;
    }
    // A pattern loop that jumps back replays the rows from its start to
    // here on purpose: forget those so the replay does not end the pass.
    // Everything else the entry played before the loop start still counts.
    const bool loop_jumped = song.loop_count != pass.loop_count && song.loop_count >= 1;
    pass.loop_count = song.loop_count;
    if (!loop_jumped || song.order_pos != entry || order >= 256) return;
    const std::uint32_t target = (song.row_offset - pattern * song.pattern_bytes) / row_bytes;
    for (std::uint32_t r = target; r <= row && r < 64; ++r) pass.visited[order][r] = false;
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

// The file as read, at most the image's size, kept to load the song again.
std::vector<std::uint8_t> module_file;

// Reads at most the image's size, as the player does; a directory or any
// other file that cannot be read is refused.
bool read_module(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_BINARY);
    if (fd < 0) return false;
    module_file.resize(IMAGE_BYTES);
    std::uint32_t total = 0;
    bool ok = true;
    while (total < IMAGE_BYTES) {
        const auto got = ::read(fd, module_file.data() + total, IMAGE_BYTES - total);
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
    module_file.resize(total);
    return ok;
}

// The song from its start, as a fresh process would have it.
bool load_song() {
    reset_engine();
    engine_hooks.row_tick = record_row;
    std::memset(module_image, 0, sizeof module_image);
    if (!module_file.empty()) std::memcpy(module_image, module_file.data(), module_file.size());
    pass = PassTracker{};
    return load_module(module_image);
}

int usage() {
    std::fputs(USAGE, stderr);
    return 2;
}

// Set while the frames are being written.
bool writing;

}  // namespace

// Each finished buffer goes to the output, while it is being written.
void submit_buffer() {
    if (writing) output.write(output_buffers[next_buffer], BUFFER_BYTES);
}

namespace {

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
        std::fputs("zindle-render " ZINDLE_VERSION "\n", stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    std::uint64_t buffers = 0;
    bool counted = false;
    const char* trace_path = nullptr;
    const char* module = nullptr;
    const char* out_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--buffers" || arg == "--seconds") {
            if (counted || i + 1 >= argc) return usage();
            const bool ok = arg == "--buffers" ? parse_whole_number(argv[++i], MAX_BUFFERS, buffers)
                                               : parse_seconds_as_buffers(argv[++i], buffers);
            if (!ok) return usage();
            counted = true;
        } else if (arg == "--trace") {
            if (trace_path != nullptr || i + 1 >= argc) return usage();
            trace_path = argv[++i];
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

    if (!read_module(module)) {
        std::fprintf(stderr, "zindle-render: cannot read %s: %s\n", module, std::strerror(errno));
        return 1;
    }

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

    if (!load_song()) {
        std::fprintf(stderr, "zindle-render: %s has a song length of 0, nothing to play\n", module);
        return 1;
    }
    // One pass is measured first, so that a header written before the
    // frames (to a pipe, too) holds the true length; the song then starts
    // again from the top.
    if (!counted) {
        buffers = 0;
        while (!pass.repeated && buffers < MAX_DEFAULT_BUFFERS) {
            fill_buffer();
            ++buffers;
        }
        console_muted = true;
        load_song();
        console_muted = false;
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
        output.write(header, make_wav_header(buffers * BUFFER_BYTES, header));
    }

    // Stops at the first failed write, of either file.
    writing = true;
    for (std::uint64_t rendered = 0; rendered < buffers && failed_output() == nullptr; ++rendered) {
        buffer_first_frame = rendered * FRAMES_PER_BUFFER;
        buffer_first_clock = player.out_clock;
        fill_buffer();
    }
    writing = false;
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
