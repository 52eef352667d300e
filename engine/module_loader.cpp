#include "module_loader.h"

#include "console_text.h"
#include "module_format.h"
#include "player_state.h"
#include "tick_clock.h"

namespace zindle {

namespace {

struct ChannelTag {
    char text[4];
    std::uint8_t channels;
};

constexpr ChannelTag channel_tags[] = {
    {{'6', 'C', 'H', 'N'}, 6},  {{'8', 'C', 'H', 'N'}, 8},  {{'M', '.', 'K', '.'}, 4},  {{'1', '0', 'C', 'H'}, 10},
    {{'1', '2', 'C', 'H'}, 12}, {{'1', '4', 'C', 'H'}, 14}, {{'1', '6', 'C', 'H'}, 16}, {{'1', '8', 'C', 'H'}, 18},
    {{'2', '0', 'C', 'H'}, 20}, {{'2', '2', 'C', 'H'}, 22}, {{'2', '4', 'C', 'H'}, 24}, {{'2', '6', 'C', 'H'}, 26},
    {{'2', '8', 'C', 'H'}, 28}, {{'3', '0', 'C', 'H'}, 30}, {{'3', '2', 'C', 'H'}, 32},
};

constexpr char extension_tag[4] = {'q', 'o', 'r', 'v'};

constexpr std::uint32_t DEFAULT_BYTES_PER_TICK = TEMPO_BYTES / 125;

bool tag_at(const std::uint8_t* image, std::uint32_t offset, const char (&tag)[4]) {
    for (std::uint32_t i = 0; i < 4; ++i)
        if (image[offset + i] != static_cast<std::uint8_t>(tag[i])) return false;
    return true;
}

std::uint32_t word_bytes(const std::uint8_t* at) { return at[0] * 512u + at[1] * 2u; }

}  // namespace

bool load_module() {
    const std::uint8_t* image = module_image;
    SongState& song = player.song;
    SampleInfo& samples = player.samples;
    ChannelState& ch = player.channels;

    song.bytes_per_tick = DEFAULT_BYTES_PER_TICK;
    song.speed = 6;
    song.tick = 0;
    song.loop_count = 0;
    song.channel_count = 4;
    song.sample_slots = 16;
    song.extended_mode = 0;
    std::uint8_t finetune_base = 0;

    for (const ChannelTag& tag : channel_tags) {
        if (tag_at(image, CHANNEL_TAG_AT, tag.text)) {
            song.channel_count = tag.channels;
            song.sample_slots = 32;
        }
    }

    if (tag_at(image, EXTENSION_TAG_AT, extension_tag)) {
        song.extended_mode = 1;
        song.speed = image[EXTENSION_SPEED_AT];
        // A tempo byte of 0 would divide by zero; it keeps the default 125.
        const std::uint8_t tempo = image[EXTENSION_TEMPO_AT];
        if (tempo != 0) song.bytes_per_tick = TEMPO_BYTES / tempo;
        finetune_base = 32;
    }

    // The first tick runs when the clock has moved on by one tick's bytes;
    // its pre-tick window opens that much earlier.
    song.tick_window_at = player.out_clock + song.bytes_per_tick - PRE_TICK_WINDOW_BYTES;
    song.ramp_until = player.out_clock + GLIDE_BYTES;
    player.clock_base = player.out_clock;
    song.pattern_bytes = song.channel_count * ROWS * CELL_BYTES;

    write_text("channels: ");
    write_hex(song.channel_count);
    write_text("samples: ");
    write_hex(song.sample_slots - 1u);

    for (std::uint32_t s = 1; s < song.sample_slots; ++s) {
        const std::uint8_t* header = image + sample_header_at(s);
        const std::uint32_t length = word_bytes(header + SAMPLE_LENGTH_AT);
        samples.sample_finetune[s] = static_cast<std::uint8_t>((header[SAMPLE_FINETUNE_AT] & 15) * 2 + finetune_base);
        std::uint8_t volume = header[SAMPLE_VOLUME_AT] & 127;
        if (volume >= 65) volume = 64;
        samples.sample_volume[s] = volume;
        std::uint32_t loop_start = word_bytes(header + SAMPLE_LOOP_START_AT);
        std::uint32_t loop_length = word_bytes(header + SAMPLE_LOOP_LENGTH_AT);
        if (loop_length == 2) loop_length = 0;
        if (loop_length > length) {
            loop_length = length;
            write_text("(why is my loop longer than the sample?\?\?) ");
            write_hex(s);
        }
        if (loop_start > length - loop_length) {
            loop_start = length - loop_length;
            write_text("(why does my loop run beyond end of sample?\?\?) ");
            write_hex(s);
        }
        const std::uint32_t loop_end = loop_length != 0 ? loop_start + loop_length : 0;
        samples.sample_length[s] = length;
        samples.sample_loop_end[s] = loop_end;
        samples.sample_loop_length[s] = loop_end - loop_start;
    }
    samples.sample_volume[0] = 0;

    song.song_length = image[song_length_at(song.sample_slots)];
    if (song.song_length == 0) return false;

    song.order_table = image + order_table_at(song.sample_slots);
    song.order_pos = song.order_table;
    song.pattern_base = song.order_table + ORDER_ENTRIES + (song.sample_slots != 16 ? TAG_BYTES : 0);
    song.row_offset = song.order_table[0] * song.pattern_bytes;
    song.loop_row_offset = song.row_offset;

    song.pattern_count = 1;
    for (std::uint32_t i = 0; i < ORDER_ENTRIES; ++i)
        if (song.order_table[i] >= song.pattern_count) song.pattern_count = song.order_table[i] + 1u;

    // Sample data follows the patterns. A start that the header's numbers
    // put past the file area is pinned to its end, where the zero tail
    // makes the whole sample read as silence, exactly as a zero-extended
    // image would; a file whose data fits is placed unchanged.
    std::uint32_t data_offset = image_offset(song.pattern_base) + song.pattern_count * song.pattern_bytes;
    for (std::uint32_t s = 1; s < SAMPLE_SLOTS; ++s) {
        samples.sample_data[s] = image + (data_offset < IMAGE_BYTES ? data_offset : IMAGE_BYTES);
        data_offset += samples.sample_length[s];
        samples.sample_length[s] <<= 12;
        samples.sample_loop_length[s] <<= 12;
        samples.sample_loop_end[s] <<= 12;
    }

    ch = ChannelState{};
    for (std::uint32_t c = 0; c < CHANNEL_SLOTS; ++c) {
        ch.pan[c] = pan_table[((c + 1) & 2) + song.extended_mode];
        ch.period[c] = INITIAL_PERIOD;
    }
    return true;
}

}  // namespace zindle
