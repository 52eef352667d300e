// The row tick: moves the song position and decodes one cell per channel.
#include "pattern_cell.h"
#include "player_state.h"
#include "sequencer.h"

namespace zindle {

namespace {

constexpr std::uint8_t NOTE_KEY_OFF = 1;
constexpr std::uint8_t NOTE_VIBRATO_CONTINUE = 2;
constexpr std::uint32_t ROWS_PER_PATTERN = 64;

std::uint32_t pattern_start(const std::uint8_t* entry) { return *entry * player.song.pattern_bytes; }

std::uint16_t note_pitch(std::uint8_t channel, std::uint32_t period_field) {
    const std::uint8_t sample = player.channels.sample_num[channel];
    const std::uint32_t multiplier = pitch_table[player.samples.sample_finetune[sample] / 2];
    return static_cast<std::uint16_t>((period_field * multiplier) >> 11);
}

// 5xy, 6xy and Axy: twice the per-tick volume change, up if x is set.
std::int8_t slide_code(std::uint8_t xy) {
    const int x = xy >> 4;
    const int y = xy & 15;
    return static_cast<std::int8_t>(x != 0 ? 2 * x : -2 * y);
}

// 4xy and 7xy: a zero nibble keeps the remembered one.
std::uint8_t merge_nibbles(std::uint8_t xy, std::uint8_t& memory) {
    const std::uint8_t low = (xy & 0x0F) != 0 ? (xy & 0x0F) : (memory & 0x0F);
    const std::uint8_t high = (xy & 0xF0) != 0 ? (xy & 0xF0) : (memory & 0xF0);
    memory = static_cast<std::uint8_t>(high | low);
    return memory;
}

void order_jump(std::uint8_t target) {
    SongState& song = player.song;
    // A jump at or past the song's end restarts the song, like B00.
    if (target >= song.song_length) target = 0;
    row_work.next_order = song.order_table + target;
    row_work.next_row_offset = pattern_start(row_work.next_order);
}

void pattern_break(std::uint8_t xy) {
    SongState& song = player.song;
    std::uint32_t row = 10u * (xy >> 4) + (xy & 15u);
    // A break past the last row lands on the first row of the next entry.
    if (row >= ROWS_PER_PATTERN) row = 0;
    advance_order();
    row_work.next_row_offset += row * song.channel_count * 4u;
}

void pattern_loop(std::uint8_t y) {
    SongState& song = player.song;
    if (y == 0) {
        song.loop_row_offset = song.row_offset;
        return;
    }
    if (song.loop_count == 0) song.loop_count = static_cast<std::uint8_t>(y + 1);
    if (song.loop_count == 1) return;
    --song.loop_count;
    // After an order jump the remembered start can lie in the pattern that
    // was left; the loop then starts at the first row of its own pattern.
    const std::uint32_t start = pattern_start(row_work.next_order);
    if (song.loop_row_offset - start >= song.pattern_bytes) song.loop_row_offset = start;
    row_work.next_row_offset = song.loop_row_offset;
}

void tone_portamento(std::uint8_t c, std::uint8_t effect, std::uint8_t xy, std::uint32_t period_field) {
    ChannelState& ch = player.channels;
    std::uint8_t speed;
    if (effect == 5) {
        ch.vol_slide[c] = slide_code(xy);
        speed = ch.porta_memory[c];
    } else {
        speed = xy >= 0x80 ? 0x7F : xy;
        if (speed == 0) speed = ch.porta_memory[c];
    }
    ch.tick_param[c] = speed;
    ch.porta_memory[c] = speed;
    if (period_field >= FIRST_NOTE_PERIOD) ch.porta_target[c] = note_pitch(c, period_field);
    if (ch.porta_target[c] == 0) {
        ch.tick_mode[c] = MODE_NONE;
        return;
    }
    const bool falling = static_cast<std::int32_t>(ch.porta_target[c]) - ch.period[c] < 0;
    const bool negative = static_cast<std::int8_t>(ch.tick_param[c]) < 0;
    if (falling != negative) ch.tick_param[c] = static_cast<std::uint8_t>(-ch.tick_param[c]);
    ch.tick_mode[c] = MODE_PERIOD_SLIDE;
    ch.effect_counter[c] = SLIDE_TO_TARGET;
}

void extended_command(std::uint8_t c, std::uint8_t xy) {
    SongState& song = player.song;
    ChannelState& ch = player.channels;
    const std::uint8_t y = xy & 15;
    switch (xy >> 4) {
    case 0x1:
        ch.tick_mode[c] = MODE_PERIOD_SLIDE;
        ch.tick_param[c] = static_cast<std::uint8_t>(-y);
        ch.effect_counter[c] = SLIDE_ONCE;
        break;
    case 0x2:
        ch.tick_mode[c] = MODE_PERIOD_SLIDE;
        ch.tick_param[c] = y;
        ch.effect_counter[c] = SLIDE_ONCE;
        break;
    case 0x6: pattern_loop(y); break;
    case 0x9:
        ch.tick_mode[c] = MODE_RETRIGGER;
        ch.tick_param[c] = y;
        break;
    case 0xA: ch.vol_slide[c] = static_cast<std::int8_t>(2 * y + 1); break;
    case 0xB: ch.vol_slide[c] = static_cast<std::int8_t>(1 - 2 * y); break;
    case 0xC:
        if (y == 0) ch.play_state[c] = STATE_STOPPED;
        ch.tick_mode[c] = MODE_NOTE_CUT;
        ch.tick_param[c] = y;
        break;
    case 0xD:
        if (ch.play_state[c] >= 1 && ch.play_state[c] <= STATE_TRIGGER)
            ch.play_state[c] = static_cast<std::uint8_t>(ch.play_state[c] - y);
        break;
    case 0xE: song.tick_window_at += song.bytes_per_tick * song.speed * y; break;
    default: break;
    }
}

void decode_cell(std::uint8_t c, std::uint32_t offset) {
    SongState& song = player.song;
    ChannelState& ch = player.channels;
    const SampleInfo& samples = player.samples;

    ch.vol_slide[c] = 0;
    ch.effect_counter[c] = 0;
    ch.ramp_floor[c] = NO_RAMP_FLOOR;

    const PatternCell cell = read_cell(offset);
    const std::uint8_t sample = cell.sample;
    const std::uint32_t period_field = cell.period_field;
    const std::uint8_t effect = cell.effect;
    const std::uint8_t xy = cell.param;

    if (cell.pan_bits != 0) ch.pan[c] = cell.pan_bits;

    if (sample != 0) {
        if (sample != ch.sample_num[c]) {
            ch.sample_num[c] = sample;
            ch.sample_data[c] = samples.sample_data[sample];
            ch.pos[c] = 0;
            ch.play_state[c] = STATE_TRIGGER;
            ch.mix_target[c] = 0;
        }
        ch.note_volume[c] = samples.sample_volume[sample];
    }

    if (effect == 3 || effect == 5) {
        tone_portamento(c, effect, xy, period_field);
        return;
    }

    if (period_field >= FIRST_NOTE_PERIOD) {
        ch.period[c] = note_pitch(c, period_field);
        ch.pos[c] = 0;
        if (ch.sample_num[c] != 0) ch.play_state[c] = STATE_TRIGGER;
        ch.step[c] = step_for_period(ch.period[c]);
        ch.tick_mode[c] = MODE_NONE;
    } else if (period_field == NOTE_VIBRATO_CONTINUE) {
        ch.tick_mode[c] = MODE_VIBRATO;
        ch.tick_param[c] = ch.vibrato_memory[c];
    } else {
        if (period_field == NOTE_KEY_OFF) ch.key_on[c] = 0;
        // An ending vibrato gives the note back its own pitch; an ending
        // arpeggio keeps the pitch of its last tick.
        if (ch.tick_mode[c] == MODE_VIBRATO) ch.step[c] = step_for_period(ch.period[c]);
        ch.tick_mode[c] = MODE_NONE;
    }

    switch (effect) {
    case 0x0:
        if (xy != 0) {
            ch.tick_mode[c] = MODE_ARPEGGIO;
            ch.tick_param[c] = xy;
        }
        break;
    case 0x1:
        ch.tick_mode[c] = MODE_PERIOD_SLIDE;
        ch.tick_param[c] = static_cast<std::uint8_t>(-xy);
        break;
    case 0x2:
        ch.tick_mode[c] = MODE_PERIOD_SLIDE;
        ch.tick_param[c] = xy;
        break;
    case 0x4:
        ch.tick_mode[c] = MODE_VIBRATO;
        ch.tick_param[c] = merge_nibbles(xy, ch.vibrato_memory[c]);
        break;
    case 0x6:
        ch.tick_mode[c] = MODE_VIBRATO;
        ch.tick_param[c] = ch.vibrato_memory[c];
        ch.vol_slide[c] = slide_code(xy);
        break;
    case 0x7:
        ch.tick_mode[c] = MODE_TREMOLO;
        ch.tick_param[c] = merge_nibbles(xy, ch.tremolo_memory[c]);
        break;
    case 0x9:
        ch.pos[c] = static_cast<std::uint32_t>(xy) << 20;
        ch.play_state[c] = STATE_TRIGGER;
        break;
    case 0xA: ch.vol_slide[c] = slide_code(xy); break;
    case 0xB: order_jump(xy); break;
    case 0xC: {
        const std::uint8_t volume = xy & 0x7F;
        ch.note_volume[c] = volume > 64 ? 64 : volume;
        break;
    }
    case 0xD: pattern_break(xy); break;
    case 0xE: extended_command(c, xy); break;
    case 0xF: {
        const std::uint8_t value = xy != 0 ? xy : 1;
        if (value <= 32)
            song.speed = value;
        else
            song.bytes_per_tick = TEMPO_BYTES / value;
        break;
    }
    default: break;
    }
}

}  // namespace

void advance_order() {
    SongState& song = player.song;
    row_work.next_order = song.order_pos + 1;
    if (row_work.next_order >= song.order_table + song.song_length) {
        for (std::uint32_t c = 0; c < song.channel_count; ++c) player.channels.play_state[c] = STATE_STOPPED;
        row_work.next_order = song.order_table;
    }
    song.loop_row_offset = pattern_start(row_work.next_order);
    song.loop_count = 0;
    row_work.next_row_offset = song.loop_row_offset;
}

std::uint8_t jump_to_next_order() {
    const SongState& song = player.song;
    std::uint32_t order = static_cast<std::uint32_t>(song.order_pos - song.order_table) + 1;
    if (order >= song.song_length) order = 0;
    return jump_to_entry(order, 0);
}

std::uint8_t jump_to_entry(std::uint32_t order, std::uint32_t row) {
    SongState& song = player.song;
    const std::uint8_t* entry = song.order_table + order;
    song.loop_row_offset = pattern_start(entry);
    song.loop_count = 0;
    song.row_offset = song.loop_row_offset + row * song.channel_count * 4u;
    song.order_pos = entry;
    return *entry;
}

void decode_row() {
    SongState& song = player.song;
    const std::uint32_t row = image_offset(song.pattern_base) + song.row_offset;
    row_work.next_row_offset = song.row_offset + song.channel_count * 4u;
    row_work.next_order = song.order_pos;
    if (pattern_start(song.order_pos) + song.pattern_bytes == row_work.next_row_offset) advance_order();

    for (std::uint8_t c = 0; c < song.channel_count; ++c) decode_cell(c, row + 4u * c);

    song.row_offset = row_work.next_row_offset;
    song.order_pos = row_work.next_order;
}

}  // namespace zindle
