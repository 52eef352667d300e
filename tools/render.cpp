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

#ifdef _WIN32
#include <io.h>
#endif

#include "console_text.h"
#include "mixer.h"
#include "module_loader.h"
#include "player_state.h"
#include "sequencer.h"

// Files are read and written as bytes everywhere: no line-end translation
// where the C library would otherwise do it.
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace zindle {

// The loader's report goes to standard error unchanged.
void console_write(const char* bytes, std::uint32_t count) {
    std::fwrite(bytes, 1, count, stderr);
}

namespace {

constexpr const char* USAGE = "usage: zindle-render [--buffers N | --seconds S] [--trace FILE] MODULE [OUTPUT]\n";
constexpr std::uint32_t SAMPLE_RATE = 44100;
constexpr std::uint64_t MAX_DEFAULT_BUFFERS = (20ull * 60 * SAMPLE_RATE + FRAMES_PER_BUFFER - 1) / FRAMES_PER_BUFFER;

std::FILE* output;
bool output_failed;

// Marks the rows already heard, to find where the song comes back.
struct PassTracker {
    bool visited[256][64];
    std::uint8_t loop_count;
    bool repeated;
};
PassTracker pass;
std::FILE* trace;

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
    if (trace != nullptr) {
        const std::uint64_t frame = buffer_first_frame + (player.out_clock - buffer_first_clock) / BYTES_PER_FRAME - 1;
        std::fprintf(trace, "%llu %u %u %u %u %u\n", static_cast<unsigned long long>(frame), order, pattern, row,
                     static_cast<unsigned>(song.speed), song.bytes_per_tick);
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

void put_le(std::uint8_t* at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void write_wav_header(std::uint64_t data_bytes) {
    std::uint8_t h[44];
    const auto size = static_cast<std::uint32_t>(data_bytes > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFull - 36 : data_bytes);
    std::memcpy(h, "RIFF", 4);
    put_le(h + 4, size + 36, 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2);
    put_le(h + 22, 2, 2);
    put_le(h + 24, SAMPLE_RATE, 4);
    put_le(h + 28, SAMPLE_RATE * BYTES_PER_FRAME, 4);
    put_le(h + 32, BYTES_PER_FRAME, 2);
    put_le(h + 34, 16, 2);
    std::memcpy(h + 36, "data", 4);
    put_le(h + 40, size, 4);
    if (std::fwrite(h, 1, sizeof h, output) != sizeof h) output_failed = true;
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
bool read_module(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_BINARY);
    if (fd < 0) return false;
    std::uint32_t total = 0;
    bool ok = true;
    while (total < IMAGE_BYTES) {
        const ssize_t got = ::read(fd, module_image + total, IMAGE_BYTES - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) break;
        total += static_cast<std::uint32_t>(got);
    }
    ::close(fd);
    return ok;
}

bool parse_count(const char* text, std::uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || text[0] == '-') return false;
    value = parsed;
    return true;
}

// Seconds as a plain decimal number, turned into the least whole number of
// buffers that covers them. Worked out exactly: no binary fraction may
// round a time that is a whole number of buffers up by one.
bool parse_seconds(const char* text, std::uint64_t& buffers) {
    constexpr int MAX_WHOLE_DIGITS = 9;      // up to about 31 years
    constexpr int MAX_FRACTION_DIGITS = 12;  // 44100 x 10^12 fits in 64 bits
    std::uint64_t whole = 0;
    std::uint64_t fraction = 0;
    std::uint64_t scale = 1;
    bool more_fraction = false;  // nonzero digits past the twelfth
    int whole_digits = 0;
    int fraction_digits = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (++whole_digits > MAX_WHOLE_DIGITS && whole != 0) return false;
        whole = whole * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    if (*p == '.') {
        for (++p; *p >= '0' && *p <= '9'; ++p) {
            if (++fraction_digits <= MAX_FRACTION_DIGITS) {
                fraction = fraction * 10 + static_cast<std::uint64_t>(*p - '0');
                scale *= 10;
            } else if (*p != '0') {
                more_fraction = true;
            }
        }
    }
    if (*p != 0 || whole_digits + fraction_digits == 0) return false;
    const std::uint64_t fraction_frames = fraction * SAMPLE_RATE;
    std::uint64_t frames = whole * SAMPLE_RATE + fraction_frames / scale;
    if (fraction_frames % scale != 0 || more_fraction) ++frames;
    buffers = (frames + FRAMES_PER_BUFFER - 1) / FRAMES_PER_BUFFER;
    return true;
}

int usage() {
    std::fputs(USAGE, stderr);
    return 2;
}

}  // namespace

// Each finished buffer goes straight to the output.
void submit_buffer() {
    if (output == nullptr || output_failed) return;
    if (std::fwrite(output_buffers[next_buffer], 1, BUFFER_BYTES, output) != BUFFER_BYTES) output_failed = true;
}

}  // namespace zindle

int main(int argc, char** argv) {
    using namespace zindle;
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
            const bool ok = arg == "--buffers" ? parse_count(argv[++i], buffers) : parse_seconds(argv[++i], buffers);
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
    if (!load_module(module_image)) {
        std::fprintf(stderr, "zindle-render: %s has a song length of 0, nothing to play\n", module);
        return 1;
    }

    const std::string out_name = out_path != nullptr ? out_path : default_output_name(module);
    const bool to_stdout = out_name == "-";
    const bool wav = !to_stdout && ends_with(out_name, ".wav");
    if (trace_path != nullptr) {
        trace = std::fopen(trace_path, "wb");
        if (trace == nullptr) {
            std::fprintf(stderr, "zindle-render: cannot write %s: %s\n", trace_path, std::strerror(errno));
            return 1;
        }
    }
    output = to_stdout ? stdout : std::fopen(out_name.c_str(), "wb");
    if (output == nullptr) {
        std::fprintf(stderr, "zindle-render: cannot write %s: %s\n", out_name.c_str(), std::strerror(errno));
        return 1;
    }
    static char out_buffer[1 << 16];
    std::setvbuf(output, out_buffer, _IOFBF, sizeof out_buffer);

    engine_hooks.row_tick = record_row;
    std::uint64_t rendered = 0;
    if (wav) write_wav_header(counted ? buffers * BUFFER_BYTES : 0);
    const auto render_one = [&] {
        buffer_first_frame = rendered * FRAMES_PER_BUFFER;
        buffer_first_clock = player.out_clock;
        fill_buffer();
        ++rendered;
    };
    if (counted) {
        while (rendered < buffers) render_one();
    } else {
        while (!pass.repeated && rendered < MAX_DEFAULT_BUFFERS) render_one();
    }
    if (wav && !counted && !to_stdout) {
        std::fflush(output);
        if (std::fseek(output, 0, SEEK_SET) == 0) write_wav_header(rendered * BUFFER_BYTES);
    }
    if (trace != nullptr && std::fclose(trace) != 0) output_failed = true;
    if (std::fflush(output) != 0 || output_failed || (!to_stdout && std::fclose(output) != 0)) {
        std::fprintf(stderr, "zindle-render: writing %s failed\n", out_name.c_str());
        return 1;
    }
    return 0;
}
