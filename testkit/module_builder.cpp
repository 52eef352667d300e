#include "module_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

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

}  // namespace zindle::test
