// Every tick: start pending notes, apply vibrato, hand volumes to the mixer.
#include "instrument.h"
#include "player_state.h"
#include "sequencer.h"

namespace zindle {

namespace {

void start_pending_note(std::uint8_t c) {
    ChannelState& ch = player.channels;
    const std::uint8_t state = ch.play_state[c];
    if (state < 1 || state > STATE_TRIGGER) return;
    ch.play_state[c] = static_cast<std::uint8_t>(state + 1);
    if (state != STATE_TRIGGER) return;  // a note delay still counting
    ch.key_on[c] = 1;
    ch.fade_volume[c] = 0xFFFF;
    ch.env_countdown[c] = 0;
    ch.env_index[c] = ENVELOPE_START_INDEX;
    ch.env_volume[c] = 0;
    ch.end_pos[c] = player.samples.sample_length[ch.sample_num[c]];
}

void vibrato(std::uint8_t c) {
    ChannelState& ch = player.channels;
    const std::uint32_t speed = ch.tick_param[c] >> 4;
    const std::int32_t depth = ch.tick_param[c] & 15;
    const std::uint32_t index = (speed * player.song.lfo_phase) & 63;
    const std::int32_t factor = lfo_table[index] * depth + 2048;
    ch.step[c] = step_for_period((static_cast<std::uint32_t>(factor) * ch.period[c]) >> 11);
}

void hand_volume(std::uint8_t c) {
    ChannelState& ch = player.channels;
    if (ch.sample_num[c] == 0) {
        ch.mix_volume[c] = 0;
        ch.mix_target[c] = 0;
        return;
    }
    std::uint32_t v = 0;
    if (ch.play_state[c] >= STATE_PLAYING) {
        v = ch.note_volume[c] * 32u;
        if (player.song.extended_mode != 0) {
            if (ch.pan[c] == PAN_CENTRE) v = (v + 1) >> 1;  // centred: half level
            v = ((ch.fade_volume[c] + 1u) * v) >> 16;
            v = (ch.env_volume[c] * v) >> 7;
        }
    }
    ch.mix_volume[c] = ch.mix_target[c];
    ch.mix_target[c] = static_cast<std::uint8_t>(v >> 4);
}

}  // namespace

void update_voices() {
    for (std::uint8_t c = 0; c < player.song.channel_count; ++c) {
        start_pending_note(c);
        if (player.channels.tick_mode[c] == MODE_VIBRATO) vibrato(c);
        if (player.song.extended_mode != 0) update_instrument(c);
        hand_volume(c);
    }
}

}  // namespace zindle
