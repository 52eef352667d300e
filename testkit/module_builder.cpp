#include "module_builder.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "mixer.h"
#include "module_loader.h"
#include "player_state.h"
#include "sequencer.h"

namespace zindle {

namespace {
std::string console_bytes;
int console_calls;
int submissions;

// The test programs' seams: console bytes are kept, buffers are counted.
void console_write(const char* bytes, std::uint32_t count) {
    console_bytes.append(bytes, count);
    ++console_calls;
}
void submit_buffer() { ++submissions; }
}  // namespace

// Every test entry point that loads or reads the console wires them.
void test::wire_test_seams() {
    engine_hooks.console = console_write;
    engine_hooks.buffer_ready = submit_buffer;
}

}  // namespace zindle

namespace zindle::test {

std::uint16_t amiga_period(int octave, int semitone) {
    static constexpr std::uint16_t octave1[12] = {856, 808, 762, 720, 678, 640, 604, 570, 538, 508, 480, 453};
    return static_cast<std::uint16_t>(octave1[semitone] >> (octave - 1));
}

ModuleBuilder::ModuleBuilder(int channels) : channels_(channels) {
    if (channels == 4)
        tag_ = "M.K.";
    else if (channels < 10)
        tag_ = std::to_string(channels) + "CHN";
    else
        tag_ = std::to_string(channels) + "CH";
}

ModuleBuilder& ModuleBuilder::tag(std::string_view four_bytes) {
    tag_.assign(four_bytes.substr(0, 4));
    tag_.resize(4, ' ');
    return *this;
}

ModuleBuilder& ModuleBuilder::fifteen_samples() {
    fifteen_ = true;
    channels_ = 4;
    return *this;
}

ModuleBuilder& ModuleBuilder::sample(int number, Sample sample) {
    samples_.at(static_cast<std::size_t>(number)) = std::move(sample);
    return *this;
}

ModuleBuilder& ModuleBuilder::orders(std::vector<std::uint8_t> entries) {
    orders_.fill(0);
    std::copy_n(entries.begin(), std::min<std::size_t>(entries.size(), 128), orders_.begin());
    song_length_ = static_cast<std::uint8_t>(entries.size());
    return *this;
}

ModuleBuilder& ModuleBuilder::order_byte(int index, std::uint8_t value) {
    orders_.at(static_cast<std::size_t>(index)) = value;
    return *this;
}

ModuleBuilder& ModuleBuilder::song_length(std::uint8_t length) {
    song_length_ = length;
    return *this;
}

ModuleBuilder& ModuleBuilder::restart_byte(std::uint8_t value) {
    restart_ = value;
    return *this;
}

ModuleBuilder& ModuleBuilder::cell(int pattern, int row, int channel, Cell cell) {
    if (row < 0 || row >= 64 || channel < 0 || channel >= channels_) throw std::out_of_range("cell");
    const auto p = static_cast<std::size_t>(pattern);
    if (patterns_.size() <= p) patterns_.resize(p + 1, std::vector<Cell>(static_cast<std::size_t>(64 * channels_)));
    patterns_[p][static_cast<std::size_t>(row * channels_ + channel)] = cell;
    return *this;
}

ModuleBuilder& ModuleBuilder::extended(std::uint8_t speed, std::uint8_t tempo) {
    extension_ = std::array<std::uint8_t, 2>{speed, tempo};
    return *this;
}

ModuleBuilder& ModuleBuilder::instrument(int sample, std::array<std::uint8_t, 32> record) {
    records_.at(static_cast<std::size_t>(sample)) = record;
    return *this;
}

ModuleBuilder& ModuleBuilder::extra_patterns(int count) {
    extra_patterns_ = count;
    return *this;
}

std::vector<std::uint8_t> ModuleBuilder::build() const {
    const std::size_t headers = fifteen_ ? 15 : 31;
    const std::size_t order_at = 22 + 30 * headers;
    const std::size_t pattern_at = order_at + 128 + (fifteen_ ? 0 : 4);
    const std::size_t pattern_bytes = static_cast<std::size_t>(channels_) * 256;
    std::size_t pattern_count = 1;
    for (std::uint8_t b : orders_) pattern_count = std::max<std::size_t>(pattern_count, b + 1u);
    pattern_count += static_cast<std::size_t>(extra_patterns_);

    std::vector<std::uint8_t> out(pattern_at + pattern_count * pattern_bytes, 0);
    std::memcpy(out.data(), "zindle test module", 18);
    for (std::size_t s = 1; s <= headers; ++s) {
        const Sample& smp = samples_[s];
        std::uint8_t* h = out.data() + 20 + 30 * (s - 1);
        const auto words = smp.length_words.value_or(static_cast<std::uint16_t>((smp.data.size() + 1) / 2));
        h[22] = static_cast<std::uint8_t>(words >> 8);
        h[23] = static_cast<std::uint8_t>(words);
        h[24] = smp.finetune;
        h[25] = smp.volume;
        h[26] = static_cast<std::uint8_t>(smp.loop_start_words >> 8);
        h[27] = static_cast<std::uint8_t>(smp.loop_start_words);
        h[28] = static_cast<std::uint8_t>(smp.loop_length_words >> 8);
        h[29] = static_cast<std::uint8_t>(smp.loop_length_words);
    }
    out[order_at - 2] = song_length_;
    out[order_at - 1] = restart_;
    std::copy(orders_.begin(), orders_.end(), out.begin() + static_cast<std::ptrdiff_t>(order_at));
    if (!fifteen_) std::memcpy(out.data() + order_at + 128, tag_.data(), 4);

    for (std::size_t p = 0; p < patterns_.size() && p < pattern_count; ++p) {
        for (std::size_t i = 0; i < patterns_[p].size(); ++i) {
            const Cell& c = patterns_[p][i];
            std::uint8_t* at = out.data() + pattern_at + p * pattern_bytes + 4 * i;
            at[0] = static_cast<std::uint8_t>((c.pan_bits & 0xC0) | (c.sample & 0x10) | ((c.period >> 8) & 0x0F));
            at[1] = static_cast<std::uint8_t>(c.period);
            at[2] = static_cast<std::uint8_t>(((c.sample & 0x0F) << 4) | (c.effect & 0x0F));
            at[3] = c.param;
        }
    }

    for (std::size_t s = 0; s < 32; ++s) {
        if (records_[s]) std::memcpy(out.data() + pattern_at + 32 * s, records_[s]->data(), 32);
    }
    if (extension_) {
        if (out.size() < 1096) out.resize(1096, 0);
        std::memcpy(out.data() + 1084, "qorv", 4);
        out[1094] = (*extension_)[0];
        out[1095] = (*extension_)[1];
    }

    for (std::size_t s = 1; s <= headers; ++s) {
        const Sample& smp = samples_[s];
        for (std::int8_t v : smp.data) out.push_back(static_cast<std::uint8_t>(v));
        if (smp.data.size() % 2 != 0 && !smp.length_words) out.push_back(0);
    }
    return out;
}

std::string load(const std::vector<std::uint8_t>& file, bool* loaded) { return load_at_clock(file, 0, loaded); }

std::string load_at_clock(const std::vector<std::uint8_t>& file, std::uint32_t start_clock, bool* loaded) {
    wire_test_seams();
    player = PlayerState{};
    player.out_clock = start_clock;
    std::memset(module_image, 0, sizeof module_image);
    std::memset(output_buffers, 0, sizeof output_buffers);
    next_buffer = 0;
    submissions = 0;
    console_bytes.clear();
    // An empty file copies nothing (and may have no data pointer at all).
    if (!file.empty()) std::memcpy(module_image, file.data(), std::min<std::size_t>(file.size(), IMAGE_BYTES));
    const bool ok = load_module();
    if (loaded != nullptr) *loaded = ok;
    return take_console();
}

std::string take_console() {
    wire_test_seams();
    std::string bytes;
    bytes.swap(console_bytes);
    return bytes;
}

namespace {
std::vector<std::int16_t> render_with(void (*fill)(), int buffers) {
    std::vector<std::int16_t> frames;
    frames.reserve(static_cast<std::size_t>(buffers) * FRAMES_PER_BUFFER * 2);
    for (int i = 0; i < buffers; ++i) {
        fill();
        const std::int16_t* b = output_buffers[next_buffer];
        frames.insert(frames.end(), b, b + FRAMES_PER_BUFFER * 2);
    }
    return frames;
}
}  // namespace

std::vector<std::int16_t> render(int buffers) { return render_with(fill_buffer, buffers); }
std::vector<std::int16_t> render_reference(int buffers) { return render_with(fill_buffer_reference, buffers); }
int submitted_buffers() { return submissions; }
int console_writes() { return zindle::console_calls; }

namespace {
std::string read_all(std::FILE* f) {
    std::string bytes;
    std::rewind(f);
    char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
    std::fclose(f);
    return bytes;
}
}  // namespace

ProgramResult run_program(const std::vector<std::string>& args, const std::string& cwd) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr) throw std::runtime_error("tmpfile");
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        const int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in < 0 || ::dup2(null_in, 0) < 0 || ::dup2(::fileno(out), 1) < 0 || ::dup2(::fileno(err), 2) < 0)
            ::_exit(126);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid");
    }
    ProgramResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_all(out);
    result.err = read_all(err);
    return result;
}

std::string make_temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zindle-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    return pattern;
}

}  // namespace zindle::test
