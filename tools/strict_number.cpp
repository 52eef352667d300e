#include "strict_number.h"

#include "zindle.h"

namespace zindle {

namespace {

constexpr std::uint64_t SAMPLE_RATE = ZINDLE_SAMPLE_RATE;
constexpr std::uint64_t FRAMES_PER_BUFFER = ZINDLE_BLOCK_FRAMES;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads digits at `at` into `value`, refusing a value above `most`.
// Returns where the digits end, or null when the value is too big.
const char* read_digits(const char* at, std::uint64_t most, std::uint64_t& value, int& digits) {
    value = 0;
    digits = 0;
    for (; is_digit(*at); ++at, ++digits) {
        const auto digit = static_cast<std::uint64_t>(*at - '0');
        if (value > (most - digit) / 10) return nullptr;
        value = value * 10 + digit;
    }
    return at;
}

// Reads the digits after a decimal point at `at` (at most 12 kept, so that
// 44100 x 10^12 fits in 64 bits): the kept part is fraction / scale, and
// `more` is set when a nonzero digit past the twelfth was dropped.
struct Fraction {
    std::uint64_t value = 0;
    std::uint64_t scale = 1;
    bool more = false;
    int digits = 0;
};
const char* read_fraction(const char* at, Fraction& fraction) {
    constexpr int MAX_FRACTION_DIGITS = 12;
    for (; is_digit(*at); ++at) {
        if (++fraction.digits <= MAX_FRACTION_DIGITS) {
            fraction.value = fraction.value * 10 + static_cast<std::uint64_t>(*at - '0');
            fraction.scale *= 10;
        } else if (*at != '0') {
            fraction.more = true;
        }
    }
    return at;
}

}  // namespace

bool parse_whole_number(const char* text, std::uint64_t most, std::uint64_t& value) {
    int digits = 0;
    std::uint64_t parsed = 0;
    const char* end = read_digits(text, most, parsed, digits);
    if (end == nullptr || digits == 0 || *end != 0) return false;
    value = parsed;
    return true;
}

bool parse_seconds_as_buffers(const char* text, std::uint64_t& buffers) {
    std::uint64_t whole = 0;
    int whole_digits = 0;
    const char* at = read_digits(text, MAX_SECONDS, whole, whole_digits);
    if (at == nullptr) return false;
    Fraction fraction;
    if (*at == '.') at = read_fraction(at + 1, fraction);
    if (*at != 0 || whole_digits + fraction.digits == 0) return false;
    // The bound is on the time itself: MAX_SECONDS and any fraction is over.
    if (whole == MAX_SECONDS && (fraction.value != 0 || fraction.more)) return false;
    const std::uint64_t fraction_frames = fraction.value * SAMPLE_RATE;
    std::uint64_t frames = whole * SAMPLE_RATE + fraction_frames / fraction.scale;
    if (fraction_frames % fraction.scale != 0 || fraction.more) ++frames;
    buffers = (frames + FRAMES_PER_BUFFER - 1) / FRAMES_PER_BUFFER;
    return true;
}

bool parse_time_as_frames(const char* text, std::uint64_t& frames) {
    std::uint64_t whole = 0;
    int whole_digits = 0;
    const char* at = read_digits(text, MAX_SECONDS, whole, whole_digits);
    if (at == nullptr) return false;
    if (*at == ':') {
        if (whole_digits == 0 || whole > MAX_SECONDS / 60) return false;
        std::uint64_t seconds = 0;
        int second_digits = 0;
        at = read_digits(at + 1, 59, seconds, second_digits);
        if (at == nullptr || second_digits != 2) return false;
        whole = whole * 60 + seconds;
    }
    // The same rule as for --seconds: digits with at most one decimal
    // point, at least one digit (.5 and 5. are both read).
    Fraction fraction;
    if (*at == '.') at = read_fraction(at + 1, fraction);
    if (*at != 0 || whole_digits + fraction.digits == 0 || whole > MAX_SECONDS) return false;
    if (whole == MAX_SECONDS && (fraction.value != 0 || fraction.more)) return false;
    frames = whole * SAMPLE_RATE + fraction.value * SAMPLE_RATE / fraction.scale;
    return true;
}

}  // namespace zindle
