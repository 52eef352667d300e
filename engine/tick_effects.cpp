// Ticks after the row tick: volume slides and the channel's armed effect.
#include "player_state.h"
#include "sequencer.h"

namespace zindle {

namespace {

constexpr std::int32_t LOWEST_PERIOD = 912;
constexpr std::int32_t HIGHEST_PERIOD = 61440;

std::uint8_t clamp_volume(std::int32_t volume) {
    return static_cast<std::uint8_t>(volume < 0 ? 0 : volume > 64 ? 64 : volume);
}

void volume_slide(std::uint8_t c) {
    ChannelState& ch = player.channels;
    const std::int8_t slide = ch.vol_slide[c];
    if (slide == 0) return;
    ch.note_volume[c] = clamp_volume(ch.note_volume[c] + (slide >> 1));
    // An odd code is a fine slide: it acts once.
    if ((slide & 1) != 0) ch.vol_slide[c] = 0;
}

void arpeggio(std::uint8_t c) {
    ChannelState& ch = player.channels;
    std::uint8_t phase = static_cast<std::uint8_t>(ch.effect_counter[c] + 4);
    if (phase >= 12) phase = 0;
    ch.effect_counter[c] = phase;
    const std::uint32_t semitones = ((static_cast<std::uint32_t>(ch.tick_param[c]) << phase) & 0xF00) >> 8;
    ch.step[c] = step_for_period((ch.period[c] * static_cast<std::uint32_t>(pitch_table[32 + semitones])) >> 15);
}

void period_slide(std::uint8_t c) {
    ChannelState& ch = player.channels;
    const std::int32_t delta = static_cast<std::int8_t>(ch.tick_param[c]);
    std::int32_t period = ch.period[c] + 16 * delta;
    if (period > HIGHEST_PERIOD) period = HIGHEST_PERIOD;
    if (period < LOWEST_PERIOD) period = LOWEST_PERIOD;
    const std::int32_t target = ch.porta_target[c];
    if (target != 0 && ch.effect_counter[c] == SLIDE_TO_TARGET) {
        const bool arrived = delta >= 0 ? target < period : target >= period;
        if (arrived) {
            period = target;
            ch.tick_mode[c] = MODE_FINISHED;
        }
    }
    ch.step[c] = step_for_period(static_cast<std::uint32_t>(period));
    ch.period[c] = static_cast<std::uint16_t>(period);
    if (ch.effect_counter[c] == SLIDE_ONCE) ch.tick_mode[c] = MODE_FINISHED;
}

void tremolo(std::uint8_t c) {
    ChannelState& ch = player.channels;
    const std::int32_t depth = ch.tick_param[c] & 15;
    const std::uint32_t speed = ch.tick_param[c] >> 4;
    const std::uint32_t index = (speed * player.song.lfo_phase) & 63;
    const std::int32_t delta = (lfo_table[index] * depth) >> 4;
    ch.note_volume[c] = clamp_volume(ch.note_volume[c] + delta);
}

void retrigger(std::uint8_t c) {
    ChannelState& ch = player.channels;
    ++ch.effect_counter[c];
    if (ch.effect_counter[c] >= ch.tick_param[c]) {
        ch.effect_counter[c] = 0;
        ch.pos[c] = 0;
        ch.play_state[c] = STATE_TRIGGER;
    }
}

void note_cut(std::uint8_t c) {
    ChannelState& ch = player.channels;
    if (ch.tick_param[c] <= 1) {
        ch.play_state[c] = STATE_STOPPED;
        ch.tick_mode[c] = MODE_FINISHED;
        ch.tick_param[c] = 0;
    } else {
        --ch.tick_param[c];
    }
}

}  // namespace

void apply_tick_effects() {
    ChannelState& ch = player.channels;
    for (std::uint8_t c = 0; c < player.song.channel_count; ++c) {
        volume_slide(c);
        switch (ch.tick_mode[c]) {
        case MODE_ARPEGGIO:
            if (ch.tick_param[c] != 0) arpeggio(c);
            break;
        case MODE_PERIOD_SLIDE: period_slide(c); break;
        case MODE_TREMOLO: tremolo(c); break;
        case MODE_RETRIGGER: retrigger(c); break;
        case MODE_NOTE_CUT: note_cut(c); break;
        default: break;
        }
    }
}

}  // namespace zindle
