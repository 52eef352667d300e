// Extended mode: per-sample envelope, fade-out after key-off, auto-vibrato.
#include "instrument.h"

#include "player_state.h"
#include "sequencer.h"

namespace zindle {

namespace {

constexpr std::uint8_t ENVELOPE_END = 24;  // byte index one past pair 11
constexpr std::uint8_t LAST_PAIR = 22;
constexpr std::uint8_t LOOP_MARKER = 0x80;
// A walk that neither applies a change nor stops visits each of the twelve
// pairs at most once; more steps than that mean it is going round in circles.
constexpr int MAX_WALK_STEPS = 16;

void auto_vibrato(std::uint8_t c, const InstrumentExtension& record) {
    ChannelState& ch = player.channels;
    const std::int32_t depth = static_cast<std::int8_t>(record.bytes[AUTOVIB_DEPTH]);
    if (ch.tick_mode[c] == MODE_VIBRATO || depth == 0) return;
    const std::uint32_t index =
        ((record.bytes[AUTOVIB_SPEED] * static_cast<std::uint32_t>(player.song.lfo_phase)) >> 2) & 63;
    const std::int32_t factor = lfo_table[index] * depth + 16384;
    ch.step[c] = step_for_period((static_cast<std::uint32_t>(factor) * ch.period[c]) >> 14);
}

void fade_out(std::uint8_t c, const InstrumentExtension& record) {
    ChannelState& ch = player.channels;
    if (ch.key_on[c] == 1) return;
    const std::uint32_t speed = record.bytes[FADE_SPEED] * 256u + record.bytes[FADE_SPEED + 1];
    ch.fade_volume[c] = static_cast<std::uint16_t>(ch.fade_volume[c] > speed ? ch.fade_volume[c] - speed : 0);
}

// Holds the envelope at its last pair for the rest of the note.
void hold_at_end(std::uint8_t c) {
    player.channels.env_index[c] = LAST_PAIR;
    player.channels.env_countdown[c] = 0;
}

void walk_envelope(std::uint8_t c, const InstrumentExtension& record) {
    ChannelState& ch = player.channels;
    const std::uint8_t* envelope = record.bytes;
    if (envelope[0] == 0 && envelope[1] == 0) {
        ch.env_volume[c] = 128;
        if (ch.key_on[c] != 1) ch.play_state[c] = STATE_STOPPED;
        return;
    }
    for (int steps = 0;; ++steps) {
        if (ch.env_countdown[c] != 0) {
            const std::int32_t level = ch.env_volume[c] + static_cast<std::int8_t>(envelope[ch.env_index[c] + 1]);
            ch.env_volume[c] = static_cast<std::uint8_t>(level < 0 ? 0 : level > 128 ? 128 : level);
            --ch.env_countdown[c];
            return;
        }
        if (steps == MAX_WALK_STEPS) {
            hold_at_end(c);  // only markers and empty pairs in a circle
            return;
        }
        std::uint8_t index = static_cast<std::uint8_t>(ch.env_index[c] + 2);
        if (index == ENVELOPE_END) {
            ch.env_index[c] = LAST_PAIR;
            return;
        }
        if (envelope[index] == 0 && envelope[index + 1] == 0 && ch.key_on[c] == 1) {
            ch.env_index[c] = static_cast<std::uint8_t>(index - 2);  // sustain
            return;
        }
        if (envelope[index] == LOOP_MARKER) {
            ch.env_volume[c] = envelope[index + 1];
            index = static_cast<std::uint8_t>((record.bytes[ENV_LOOP] + 1) * 2);
            // A loop target outside the twelve pairs ends the envelope.
            if (index >= ENVELOPE_END) {
                hold_at_end(c);
                return;
            }
        }
        ch.env_index[c] = index;
        ch.env_countdown[c] = envelope[index];
    }
}

}  // namespace

const InstrumentExtension& instrument_record(std::uint8_t sample) {
    return *reinterpret_cast<const InstrumentExtension*>(player.song.pattern_base + 32u * sample);
}

void update_instrument(std::uint8_t channel) {
    const InstrumentExtension& record = instrument_record(player.channels.sample_num[channel]);
    auto_vibrato(channel, record);
    fade_out(channel, record);
    walk_envelope(channel, record);
}

}  // namespace zindle
