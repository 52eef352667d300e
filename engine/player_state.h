// The one record the whole engine works on, its constant tables and the
// module image. Everything here is plain data: no constructors, no
// allocation, one static instance for the life of the process.
#pragma once

#include <bit>
#include <cstdint>

namespace zindle {

static_assert(std::endian::native == std::endian::little, "output frames are stored as little-endian 16-bit samples");

inline constexpr std::uint32_t CHANNEL_SLOTS = 32;
inline constexpr std::uint32_t SAMPLE_SLOTS = 32;  // index 0 is "no sample"

// Output frames a second.
inline constexpr std::uint32_t SAMPLE_RATE = 44100;

// The file is read into the first IMAGE_BYTES. The zero tail behind it is
// never written: the mixer may look up to 0x1FFFF sample frames past a
// sample's start (a stale end position, a sample offset past the end), and
// sample starts are never placed beyond IMAGE_BYTES, so every such read
// lands in the tail and yields silence instead of leaving the buffer. The
// last 64 bytes let the mixer load 16 sample bytes at once from up to 32
// bytes past any of them.
inline constexpr std::uint32_t IMAGE_BYTES = 0x180000;
inline constexpr std::uint32_t IMAGE_TAIL_BYTES = 0x20000 + 64;

// step = PERIOD_STEP_CONSTANT / (period x 16): the NTSC Amiga clock,
// 3579545 Hz, times 4096 (one sample byte in 20.12) times 16 (periods are
// kept x16), over 44100 output frames a second: 5319479.8, truncated.
inline constexpr std::uint32_t PERIOD_STEP_CONSTANT = 5319479;  // 0x512B37
static_assert(PERIOD_STEP_CONSTANT == 3579545ull * 4096 * 16 / SAMPLE_RATE);
// bytes_per_tick = TEMPO_BYTES / tempo: a tick lasts 2.5 / tempo seconds
// (50 ticks a second at tempo 125), and 2.5 s of output is 44100 frames x
// 4 bytes x 2.5.
inline constexpr std::uint32_t TEMPO_BYTES = 441000;
static_assert(TEMPO_BYTES == SAMPLE_RATE * 4 * 5 / 2);
inline constexpr std::uint16_t INITIAL_PERIOD = 61440;  // 3840 x 16

// Finetune multipliers (normal octave, extended octave) and semitones.
inline constexpr std::uint16_t pitch_table[48] = {
    32768, 32532, 32298, 32065, 31835, 31606, 31378, 31152, 34715, 34466, 34218, 33972, 33728, 33485, 33244, 33005,
    16384, 16266, 16149, 16032, 15917, 15803, 15689, 15576, 17357, 17233, 17109, 16981, 16864, 16742, 16622, 16502,
    32768, 30928, 29193, 27554, 26008, 24548, 23170, 21870, 20642, 19484, 18390, 17358, 16384, 15464, 14596, 13777,
};

// One period of a triangle of amplitude 16, shared by every modulation.
inline constexpr std::int8_t lfo_table[64] = {
    0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11, 12, 13, 14, 15, 16, 15, 14, 13, 12,  11,
    10,  9,   8,   7,   6,   5,   4,   3,   2,   1,   0,   -1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11,
    -12, -13, -14, -15, -16, -15, -14, -13, -12, -11, -10, -9, -8, -7, -6, -5, -4, -3, -2, -1,
};

inline constexpr std::uint8_t pan_table[4] = {0x40, 0xC0, 0x80, 0xC0};

inline constexpr std::uint8_t PAN_LEFT = 0x40;
inline constexpr std::uint8_t PAN_RIGHT = 0x80;
inline constexpr std::uint8_t PAN_CENTRE = 0xC0;

// play_state codes (1 to 15 count a note delay up to STATE_TRIGGER)
inline constexpr std::uint8_t STATE_STOPPED = 0;   // silent until the next note
inline constexpr std::uint8_t STATE_TRIGGER = 16;  // the note starts at the next tick
inline constexpr std::uint8_t STATE_PLAYING = 17;  // the sample plays toward its end
inline constexpr std::uint8_t STATE_LOOPING = 18;  // the sample plays its loop

// tick_mode codes: what the ticks after the row tick do
inline constexpr std::uint8_t MODE_ARPEGGIO = 0;      // 0xy: note, +x, +y semitones in turn
inline constexpr std::uint8_t MODE_PERIOD_SLIDE = 5;  // 1xx, 2xx, 3xx, 5xy, E1y, E2y: period moves by tick_param
inline constexpr std::uint8_t MODE_VIBRATO = 6;       // 4xy, 6xy: the step follows the LFO
inline constexpr std::uint8_t MODE_TREMOLO = 7;       // 7xy: the volume follows the LFO
inline constexpr std::uint8_t MODE_FINISHED = 10;     // a one-tick slide that has run
inline constexpr std::uint8_t MODE_NONE = 14;         // nothing
inline constexpr std::uint8_t MODE_RETRIGGER = 16;    // E9y: the note again every y ticks
inline constexpr std::uint8_t MODE_NOTE_CUT = 17;     // ECy: silent after y ticks

// effect_counter codes of a period slide
inline constexpr std::uint8_t SLIDE_ONCE = 1;
inline constexpr std::uint8_t SLIDE_TO_TARGET = 2;

inline constexpr std::uint8_t NO_RAMP_FLOOR = 128;

struct SongState {
    std::uint32_t song_length;         // order entries played, 1 to 255 (the header byte)
    const std::uint8_t* order_table;   // the 128-byte order list in module_image
    const std::uint8_t* order_pos;     // the entry playing, in order_table (may point past song_length after jumps)
    const std::uint8_t* pattern_base;  // pattern 0's first byte in module_image
    std::uint32_t
        row_offset;  // the next row to decode: bytes from pattern_base (pattern x pattern_bytes + row x 4 x channels)
    std::uint32_t pattern_bytes;    // bytes of one pattern: 64 rows x 4 bytes x channel_count
    std::uint32_t loop_row_offset;  // where E60 marked the pattern loop's start, as row_offset
    std::uint32_t pattern_count;    // patterns stored: 1 + the highest of the 128 order entries, 1 to 256
    std::uint32_t bytes_per_tick;   // tempo: output bytes per tick, TEMPO_BYTES / tempo
    std::uint32_t tick_window_at;   // out_clock at which the pre-tick fade window opens; the tick runs 384 bytes later
    std::uint32_t ramp_until;       // out_clock up to which volumes glide after the last tick (its clock + 512)
    std::uint8_t speed;             // ticks per row, 1 to 255 (0 from an extended header runs one tick a row)
    std::uint8_t tick;              // the next tick to run within the row, 0 (the row tick) to speed - 1
    std::uint8_t channel_count;     // 4 to 32
    std::uint8_t sample_slots;      // 16 or 32: samples 1 to 15 or 1 to 31, slot 0 "no sample"
    std::uint8_t loop_count;        // E6y: repeats of the pattern loop still to play, 0 when none runs
    std::uint8_t lfo_phase;         // the modulations' shared phase, 0 to 63, one step a tick
    std::uint8_t extended_mode;     // 1 with the instrument extension, else 0
};

// Indexed by sample number 1..31; entry 0 reads as an empty sample.
struct SampleInfo {
    std::uint32_t sample_length[SAMPLE_SLOTS];
    const std::uint8_t* sample_data[SAMPLE_SLOTS];
    std::uint32_t sample_loop_length[SAMPLE_SLOTS];
    std::uint32_t sample_loop_end[SAMPLE_SLOTS];
    std::uint8_t sample_finetune[SAMPLE_SLOTS];
    std::uint8_t sample_volume[SAMPLE_SLOTS];
};

// Indexed by channel 0..31, one array per field. Positions, ends and steps
// are sample bytes in 20.12 fixed point (4096 is one byte).
struct ChannelState {
    const std::uint8_t* sample_data[CHANNEL_SLOTS];  // the playing sample's first byte in module_image
    std::uint32_t end_pos[CHANNEL_SLOTS];            // 20.12: the sample's end, or its loop's end once looping
    std::uint32_t step[CHANNEL_SLOTS];               // 20.12 per output frame: PERIOD_STEP_CONSTANT / (period x 16)
    std::uint32_t pos[CHANNEL_SLOTS];                // 20.12: the sample byte playing
    std::uint16_t period[CHANNEL_SLOTS];             // the pitch as period x 16 (a cell's 428 is 6848), after slides
    std::uint16_t porta_target[CHANNEL_SLOTS];       // the tone portamento's goal, as period; 0 none
    std::uint8_t note_volume[CHANNEL_SLOTS];         // the cell's volume after slides and tremolo, 0 to 64
    std::uint8_t mix_target[CHANNEL_SLOTS];  // the level the mixer glides to after a tick, 0 to 128 (64 x 32 >> 4)
    std::uint8_t mix_volume[CHANNEL_SLOTS];  // the level the mixer multiplies by now, 0 to 128
    std::uint8_t sample_num[CHANNEL_SLOTS];  // the sample set by the last cell, 0 to 31, 0 none
    // STATE_STOPPED, STATE_PLAYING or STATE_LOOPING; STATE_TRIGGER: the note
    // starts at the next tick; 1 to 15: a note delay (EDy sets 16 - y),
    // counting up one a tick to STATE_TRIGGER.
    std::uint8_t play_state[CHANNEL_SLOTS];
    std::int8_t vol_slide[CHANNEL_SLOTS];        // volume change per tick x 2, -30 to 31; odd: once, then 0 (EAy/EBy)
    std::uint8_t tick_mode[CHANNEL_SLOTS];       // the MODE_* the other ticks of the row apply
    std::uint8_t tick_param[CHANNEL_SLOTS];      // that mode's parameter: slide speed (signed), xy, ticks to wait
    std::uint8_t effect_counter[CHANNEL_SLOTS];  // arpeggio phase, retrigger count, or SLIDE_ONCE / SLIDE_TO_TARGET
    std::uint8_t porta_memory[CHANNEL_SLOTS];    // the last tone portamento speed, 0 to 127
    std::uint8_t tremolo_memory[CHANNEL_SLOTS];  // the last tremolo xy
    std::uint8_t vibrato_memory[CHANNEL_SLOTS];  // the last vibrato xy
    std::uint8_t key_on[CHANNEL_SLOTS];          // extended mode: 1 while the key is held, else released
    std::uint8_t env_index[CHANNEL_SLOTS];       // extended mode: byte of the envelope's current (ticks, change) pair
    std::uint16_t fade_volume[CHANNEL_SLOTS];    // extended mode: the release fade, 0xFFFF (full) down to 0
    std::uint8_t env_countdown[CHANNEL_SLOTS];   // extended mode: ticks left in the envelope's pair
    std::uint8_t env_volume[CHANNEL_SLOTS];      // extended mode: the envelope's level, 0 to 128
    std::uint8_t pan[CHANNEL_SLOTS];             // PAN_LEFT, PAN_RIGHT or PAN_CENTRE (both sides)
    std::int16_t last_out[CHANNEL_SLOTS];    // the smoothing's last value, sample byte x mix_volume: -16384 to 16256
    std::uint8_t ramp_floor[CHANNEL_SLOTS];  // where the pre-tick fade stops, mix_target / 4; NO_RAMP_FLOOR none
};

struct PlayerState {
    SongState song;
    SampleInfo samples;
    ChannelState channels;
    // Output bytes produced since start; wraps silently at 2^32.
    std::uint32_t out_clock;
    // Frames made since the load, counted at the end of each buffer, and the
    // out_clock then: the frame a tick runs in is told from them.
    std::uint64_t frames_made;
    std::uint32_t made_clock;
    // Channels left out of the output, bit c for channel c: they play on
    // (every effect, the smoothing) but add nothing to either side.
    std::uint32_t muted;
    // The out_clock of the last tick (or of loading). The tick window and
    // the ramp end are compared as distances from it, so the schedule keeps
    // its order when the 32-bit clock wraps after about 6 h 45 min.
    std::uint32_t clock_base;
};

extern PlayerState player;
extern std::uint8_t module_image[IMAGE_BYTES + IMAGE_TAIL_BYTES];

// Puts all of the engine's state back as a fresh process has it: `player`,
// the output ring, the row decoder's working position, the mixer's scratch and its kernel choice (chosen again, with no
// cap, before the next buffer). The module image and the program's seams (engine_hooks) are left as they are. Every
// record it resets is defined in player_state.cpp.
void reset_engine();

// A byte of the file area, or 0 for any offset past it. Pattern rows and
// order entries can point anywhere; they are read through this.
inline std::uint8_t image_byte(std::uint32_t offset) { return offset < IMAGE_BYTES ? module_image[offset] : 0; }

inline std::uint32_t image_offset(const std::uint8_t* p) { return static_cast<std::uint32_t>(p - module_image); }

// Every step is the constant over a period-like value. Tiny periods (a
// note pitch that wrapped its 16 bits, then an arpeggio shift) can reach
// 0; that divisor counts as 1 so no division is ever by zero.
inline std::uint32_t step_for_period(std::uint32_t period) { return PERIOD_STEP_CONSTANT / (period != 0 ? period : 1); }

}  // namespace zindle
