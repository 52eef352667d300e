// Busy generated modules: every channel plays notes with loops (down to
// 2-byte ones), slides, vibrato, arpeggio and the rarer commands, so every
// event the mixer knows about happens often. Shared by the benchmark, the
// mixer identity test and the golden digests, so the speed measured is that
// of modules whose output is checked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "module_builder.h"

namespace zindle::test {

// Small deterministic generator; the same seed gives the same module.
class Lcg {
public:
    explicit Lcg(std::uint32_t seed) : state_(seed * 2654435761u + 1u) {}
    std::uint32_t next(std::uint32_t bound) {
        state_ = state_ * 1664525u + 1013904223u;
        return (state_ >> 8) % bound;
    }

private:
    std::uint32_t state_;
};

struct BusyOptions {
    int channels = 4;
    int patterns = 4;
    std::uint32_t seed = 1;
    bool extended = false;      // the "qorv" mode with envelopes and key-offs
    bool rare_commands = true;  // 9xx past the end, cuts, retriggers, delays
};

inline std::vector<std::uint8_t> busy_module(const BusyOptions& o) {
    using test::Cell;
    using test::Sample;
    Lcg rng(o.seed);
    test::ModuleBuilder b(o.channels);
    // Samples 1..12: looping and one-shot, long and very short loops.
    for (int s = 1; s <= 12; ++s) {
        Sample smp;
        const std::uint32_t words = s % 4 == 0 ? 2 + rng.next(8) : 64 + rng.next(1500);
        smp.data.resize(words * 2);
        std::int32_t v = 0;
        for (auto& d : smp.data) {
            v += static_cast<std::int32_t>(rng.next(61)) - 30;
            if (v > 127 || v < -128) v = static_cast<std::int32_t>(rng.next(256)) - 128;
            d = static_cast<std::int8_t>(v);
        }
        smp.volume = static_cast<std::uint8_t>(32 + rng.next(33));
        smp.finetune = static_cast<std::uint8_t>(rng.next(16));
        if (s % 3 != 0) {
            smp.loop_start_words = static_cast<std::uint16_t>(rng.next(words));
            const std::uint32_t room = words - smp.loop_start_words;
            smp.loop_length_words = static_cast<std::uint16_t>(s % 5 == 0 ? 1 + (room > 1) : 1 + rng.next(room));
            if (smp.loop_length_words < 2 && room >= 2) smp.loop_length_words = 2;
        }
        b.sample(s, smp);
    }
    if (o.extended) {
        // One draw per statement: the order in which a call's arguments are
        // worked out differs between compilers and processors, and the song
        // must be the same everywhere (these are the draws in the order the
        // x86-64 builds made them).
        const auto tempo = static_cast<std::uint8_t>(100 + rng.next(100));
        const auto speed = static_cast<std::uint8_t>(3 + rng.next(4));
        b.extended(speed, tempo);
        for (int s = 1; s <= 12; ++s) {
            std::array<std::uint8_t, 32> r{};
            const std::size_t pairs = 1 + rng.next(5);
            for (std::size_t k = 0; k < pairs; ++k) {
                r[2 * k] = static_cast<std::uint8_t>(1 + rng.next(20));
                r[2 * k + 1] = static_cast<std::uint8_t>(static_cast<std::int32_t>(rng.next(41)) - 20);
            }
            if (s % 3 == 0) r[2 * pairs] = 0, r[2 * pairs + 1] = 0;                  // sustain
            if (s % 4 == 1) r[2 * pairs] = 0x80, r[2 * pairs + 1] = 200, r[26] = 0;  // marker loop, above 128
            r[24] = static_cast<std::uint8_t>(rng.next(8));
            r[25] = static_cast<std::uint8_t>(rng.next(256));
            r[27] = static_cast<std::uint8_t>(rng.next(9));
            r[28] = static_cast<std::uint8_t>(rng.next(16));
            b.instrument(s, r);
        }
    }
    std::vector<std::uint8_t> orders;
    for (int p = 0; p < o.patterns; ++p) orders.push_back(static_cast<std::uint8_t>(p));
    b.orders(orders);
    constexpr std::uint8_t pans[4] = {0x40, 0x80, 0xC0, 0x00};
    for (int p = 0; p < o.patterns; ++p)
        for (int row = 0; row < 64; ++row)
            for (int c = 0; c < o.channels; ++c) {
                Cell cell;
                const std::uint32_t kind = rng.next(16);
                if (kind < 10 || row == 0) {
                    const int semitone = static_cast<int>(rng.next(12));  // drawn first, as above
                    cell.period = test::amiga_period(1 + static_cast<int>(rng.next(3)), semitone);
                    cell.sample = static_cast<std::uint8_t>(1 + rng.next(12));
                } else if (kind == 10 && o.extended) {
                    cell.period = 1;  // key-off
                } else if (kind == 11) {
                    cell.period = 2;  // vibrato goes on
                } else if (kind == 12) {
                    cell.period = static_cast<std::uint16_t>(29 + rng.next(80));  // very high notes
                    cell.sample = static_cast<std::uint8_t>(1 + rng.next(12));
                }
                switch (rng.next(o.rare_commands ? 14 : 8)) {
                case 0: cell.effect = 0, cell.param = static_cast<std::uint8_t>(rng.next(256)); break;
                case 1: cell.effect = 1, cell.param = static_cast<std::uint8_t>(rng.next(16)); break;
                case 2: cell.effect = 2, cell.param = static_cast<std::uint8_t>(rng.next(16)); break;
                case 3: cell.effect = 4, cell.param = static_cast<std::uint8_t>(rng.next(256)); break;
                case 4: cell.effect = 0xA, cell.param = static_cast<std::uint8_t>(rng.next(256)); break;
                case 5: cell.effect = 3, cell.param = static_cast<std::uint8_t>(rng.next(64)); break;
                case 6: cell.effect = 0xC, cell.param = static_cast<std::uint8_t>(rng.next(65)); break;
                case 7: cell.effect = 7, cell.param = static_cast<std::uint8_t>(rng.next(256)); break;
                case 8:
                    cell.effect = 9, cell.param = static_cast<std::uint8_t>(rng.next(256));
                    break;  // often past the end
                case 9: cell.effect = 0xE, cell.param = static_cast<std::uint8_t>(0xC0 + rng.next(16)); break;
                case 10: cell.effect = 0xE, cell.param = static_cast<std::uint8_t>(0x90 + rng.next(16)); break;
                case 11: cell.effect = 0xE, cell.param = static_cast<std::uint8_t>(0xE0 + rng.next(3)); break;
                case 12:
                    cell.effect = 0xF,
                    cell.param = static_cast<std::uint8_t>(rng.next(2) ? 1 + rng.next(8) : 32 + rng.next(200));
                    break;
                default: break;
                }
                if (rng.next(8) == 0) cell.pan_bits = pans[rng.next(4)];
                b.cell(p, row, c, cell);
            }
    return b.build();
}

}  // namespace zindle::test
