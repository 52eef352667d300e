// Writes the two demo songs, demo.mod and demo-extended.mod, into the folder
// given on the command line (default: the current one).
//
// Everything is made here: the samples are generated with integer
// arithmetic only, so the files come out byte for byte the same on every
// machine, and the committed copies can be checked against a fresh run.
//
// The piece: A minor, Am F C G, 125 BPM, six channels: bass, kick and
// snare, hats, lead, plucked arpeggio, pad. Intro, two verses, a break
// whose first bar repeats through a pattern loop, the first verse again,
// an outro that slows down and fades. The extended file plays the same
// notes with envelopes, key-off fades and automatic vibrato instead of
// volume slides.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "module_builder.h"

namespace {

using zindle::test::amiga_period;
using zindle::test::Cell;
using zindle::test::ModuleBuilder;
using zindle::test::Sample;

// ---------------------------------------------------------------- samples

// Sine of phase/65536 of a turn, in -32767..32767 (Bhaskara's rational
// approximation, good to about 0.2 %), integers only.
std::int64_t isin(std::uint64_t phase) {
    const std::int64_t h = 0x8000;
    const bool negative = (phase & 0x8000) != 0;
    const std::int64_t x = static_cast<std::int64_t>(phase & 0x7FFF);
    const std::int64_t a = x * (h - x);
    const std::int64_t v = 16 * a * 32767 / (5 * h * h - 4 * a);
    return negative ? -v : v;
}

struct Partial {
    std::uint64_t cycles;  // whole cycles over the sample, so it loops cleanly
    std::int64_t weight;
};

// A sum of sines scaled so that its largest value is `peak`.
std::vector<std::int8_t> additive(std::size_t length, const std::vector<Partial>& partials, std::int64_t peak) {
    std::vector<std::int64_t> sum(length, 0);
    std::int64_t largest = 1;
    for (std::size_t i = 0; i < length; ++i) {
        for (const Partial& p : partials) sum[i] += p.weight * isin(p.cycles * i * 65536 / length);
        largest = std::max(largest, sum[i] < 0 ? -sum[i] : sum[i]);
    }
    std::vector<std::int8_t> out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::int8_t>(sum[i] * peak / largest);
    return out;
}

// Band-limited sawtooth partials: harmonic k at weight w/k.
void saw(std::vector<Partial>& partials, std::uint64_t cycles, int harmonics, std::int64_t weight) {
    for (int k = 1; k <= harmonics; ++k) partials.push_back({cycles * static_cast<std::uint64_t>(k), weight / k});
}

// 16-bit Galois noise, one byte of it per call.
struct Noise {
    std::uint16_t state = 0xACE1;
    std::int64_t next() {
        const bool low = (state & 1) != 0;
        state = static_cast<std::uint16_t>(state >> 1);
        if (low) state ^= 0xB400;
        return static_cast<std::int64_t>(state & 0xFF) - 128;
    }
};

std::int8_t clip8(std::int64_t v) { return static_cast<std::int8_t>(v > 127 ? 127 : v < -127 ? -127 : v); }

// The playback rate at C-2 is about 8363 samples per second; the kick is
// a sine falling from about 160 Hz to 45 Hz with a short decay.
std::vector<std::int8_t> kick() {
    constexpr std::size_t length = 2400;
    std::vector<std::int8_t> out(length);
    std::int64_t excess = 115 * 256;  // Hz x 256 above the resting pitch
    std::int64_t amp = 32767;
    std::uint64_t phase = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::int64_t hz256 = 45 * 256 + excess;
        excess = excess * 1021 / 1024;
        if (i >= 40) amp = amp * 1023 / 1024;
        std::int64_t v = isin(phase) * amp / 32767 * 124 / 32767;
        if (i + 200 > length) v = v * static_cast<std::int64_t>(length - i) / 200;
        out[i] = clip8(v);
        phase += static_cast<std::uint64_t>(hz256) * 256 / 8363;
    }
    return out;
}

std::vector<std::int8_t> snare() {
    constexpr std::size_t length = 3000;
    std::vector<std::int8_t> out(length);
    Noise noise;
    std::int64_t previous = 0;
    std::int64_t amp = 32767;
    std::uint64_t phase = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::int64_t n = noise.next();
        const std::int64_t soft = (n + previous) / 2;
        previous = n;
        const std::int64_t tone = isin(phase) * 60 / 32767;
        phase += 185 * 65536 / 8363;
        amp = amp * 1022 / 1024;
        std::int64_t v = (soft * 7 / 5 + tone) * amp / 32767;
        if (i + 100 > length) v = v * static_cast<std::int64_t>(length - i) / 100;
        out[i] = clip8(v);
    }
    return out;
}

std::vector<std::int8_t> hat() {
    constexpr std::size_t length = 1600;
    std::vector<std::int8_t> out(length);
    Noise noise;
    noise.state = 0x1D2B;
    std::int64_t previous = 0;
    std::int64_t amp = 32767;
    for (std::size_t i = 0; i < length; ++i) {
        const std::int64_t n = noise.next();
        const std::int64_t bright = n - previous;  // keep the top end
        previous = n;
        amp = amp * 1021 / 1024;
        std::int64_t v = bright * 3 / 4 * amp / 32767;
        if (i + 100 > length) v = v * static_cast<std::int64_t>(length - i) / 100;
        out[i] = clip8(v);
    }
    return out;
}

enum SampleNumber : std::uint8_t { BASS = 1, LEAD = 2, PAD = 3, KICK = 4, SNARE = 5, HAT = 6, PLUCK = 7 };

// The extended mode plays centred channels at half level; the centred
// instruments (bass, lead, kick, snare) get louder defaults there.
void add_samples(ModuleBuilder& b, bool extended) {
    auto centred = [&](std::uint8_t normal, std::uint8_t louder) { return extended ? louder : normal; };
    std::vector<Partial> bass;
    saw(bass, 1, 8, 840);
    b.sample(
        BASS,
        {.data = additive(64, bass, 110), .volume = centred(44, 64), .loop_start_words = 0, .loop_length_words = 32});

    // A soft square: odd harmonics only.
    const std::vector<Partial> lead = {{1, 105}, {3, 35}, {5, 21}, {7, 15}};
    b.sample(
        LEAD,
        {.data = additive(32, lead, 100), .volume = centred(40, 60), .loop_start_words = 0, .loop_length_words = 16});

    // Two saws a few cents apart and a fifth above them: a chorused pad
    // that fits both the minor and the major chords.
    std::vector<Partial> pad;
    saw(pad, 64, 6, 600);
    saw(pad, 65, 6, 600);
    saw(pad, 96, 4, 400);
    b.sample(PAD, {.data = additive(4096, pad, 90), .volume = 40, .loop_start_words = 0, .loop_length_words = 2048});

    b.sample(KICK, {.data = kick(), .volume = centred(60, 64)});
    b.sample(SNARE, {.data = snare(), .volume = centred(44, 64)});
    b.sample(HAT, {.data = hat(), .volume = 28});

    // Triangle: odd harmonics at 1/k^2, alternating.
    const std::vector<Partial> pluck = {{1, 225}, {3, -25}, {5, 9}};
    b.sample(PLUCK, {.data = additive(32, pluck, 100), .volume = 26, .loop_start_words = 0, .loop_length_words = 16});
}

// ---------------------------------------------------------------- notes

enum Semitone { C = 0, D = 2, E = 4, F = 5, G = 7, A = 9, B = 11 };

std::uint16_t note(int octave, int semitone) { return amiga_period(octave, semitone); }

const std::uint16_t G4 = note(2, G), A4 = note(2, A), B4 = note(2, B);
const std::uint16_t C5 = note(3, C), D5 = note(3, D), E5 = note(3, E), F5 = note(3, F);
const std::uint16_t G5 = note(3, G), A5 = note(3, A);

constexpr std::uint16_t KEY_OFF = 1;
constexpr std::uint16_t VIBRATO_ON = 2;

enum Channel { CH_BASS, CH_DRUMS, CH_HATS, CH_LEAD, CH_ARP, CH_PAD };

constexpr std::uint8_t LEFT = 0x40, RIGHT = 0x80, CENTRE = 0xC0;

struct Chord {
    std::uint16_t bass;   // root in octave 1 or 2
    std::uint16_t upper;  // root an octave up, for the arpeggio and pad
    std::uint16_t fifth;  // for the bass line
    std::uint8_t arpeggio;
};

const Chord Am = {note(1, A), note(2, A), note(2, E), 0x37};
const Chord Fmaj = {note(1, F), note(2, F), note(2, C), 0x47};
const Chord Cmaj = {note(2, C), note(3, C), note(2, G), 0x47};
const Chord Gmaj = {note(1, G), note(2, G), note(2, D), 0x47};

// Writes cells; in the extended file every pattern moves up one (pattern 0
// holds the instrument records) and notes are written an octave lower,
// since that mode plays every finetune an octave up.
struct Song {
    ModuleBuilder& b;
    bool extended;

    void put(int pattern, int row, int channel, std::uint16_t period, std::uint8_t sample = 0, std::uint8_t effect = 0,
             std::uint8_t param = 0, std::uint8_t pan = 0) {
        const auto field = static_cast<std::uint16_t>(extended && period >= 29 ? period * 2 : period);
        b.cell(pattern + (extended ? 1 : 0), row, channel,
               {.period = field, .sample = sample, .effect = effect, .param = param, .pan_bits = pan});
    }
    void fx(int pattern, int row, int channel, std::uint8_t effect, std::uint8_t param) {
        put(pattern, row, channel, 0, 0, effect, param);
    }
};

struct Parts {
    bool bass = false, kick = false, snare = false, hats = false, arp = false, pad = false;
};

void bass_bar(Song& s, int p, int bar, const Chord& c, bool last_slides) {
    const int r = bar * 16;
    const int rows[] = {0, 3, 6, 8, 11, 14};
    const std::uint16_t notes[] = {c.bass, c.bass,  static_cast<std::uint16_t>(c.bass / 2),
                                   c.bass, c.fifth, static_cast<std::uint16_t>(c.bass / 2)};
    for (int i = 0; i < 6; ++i) {
        // The break's riff glides onto its last note.
        if (last_slides && i == 5)
            s.put(p, r + rows[i], CH_BASS, notes[i], 0, 0x3, 0x20);
        else
            s.put(p, r + rows[i], CH_BASS, notes[i], BASS, 0, 0, i == 0 ? CENTRE : 0);
    }
}

void backing_bar(Song& s, int p, int bar, const Chord& c, Parts parts) {
    const int r = bar * 16;
    if (parts.bass) bass_bar(s, p, bar, c, false);
    if (parts.kick) {
        s.put(p, r + 0, CH_DRUMS, note(2, C), KICK, 0, 0, CENTRE);
        s.put(p, r + 8, CH_DRUMS, note(2, C), KICK);
        if (bar == 3) s.put(p, r + 10, CH_DRUMS, note(2, C), KICK);
    }
    if (parts.snare) {
        s.put(p, r + 4, CH_DRUMS, note(2, C), SNARE);
        s.put(p, r + 12, CH_DRUMS, note(2, C), SNARE);
        // A ghost note pushed late by a note delay.
        if (bar % 2 == 1) s.put(p, r + 14, CH_DRUMS, note(2, C), SNARE, 0xE, 0xD3);
    }
    if (parts.hats) {
        for (int i = 0; i < 16; i += 2)
            s.put(p, r + i, CH_HATS, note(3, C), HAT, 0xC, i % 4 == 0 ? 0x20 : 0x12, i == 0 ? RIGHT : 0);
    }
    if (parts.arp) {
        for (int i = 0; i < 16; ++i) {
            if (i % 4 == 0)
                s.put(p, r + i, CH_ARP, c.upper, PLUCK, 0x0, c.arpeggio, i == 0 ? LEFT : 0);
            else
                s.fx(p, r + i, CH_ARP, 0x0, c.arpeggio);
        }
    }
    if (parts.pad) {
        if (s.extended) {
            // The envelope swells; key-off lets it breathe before the next chord.
            s.put(p, r, CH_PAD, c.upper, PAD, 0, 0, RIGHT);
            s.put(p, r + 12, CH_PAD, KEY_OFF);
        } else {
            s.put(p, r, CH_PAD, c.upper, PAD, 0xC, 0x10, RIGHT);
            s.fx(p, r + 1, CH_PAD, 0xA, 0x20);
            s.fx(p, r + 2, CH_PAD, 0xA, 0x20);
            s.fx(p, r + 3, CH_PAD, 0xA, 0x10);
            s.fx(p, r + 12, CH_PAD, 0xA, 0x02);
            s.fx(p, r + 13, CH_PAD, 0xA, 0x02);
            s.fx(p, r + 14, CH_PAD, 0xA, 0x01);
            s.fx(p, r + 15, CH_PAD, 0xA, 0x01);
        }
    }
}

// One melody event: a note (or KEY_OFF / VIBRATO_ON / 0) with an effect.
struct Event {
    int row;
    std::uint16_t period;
    std::uint8_t effect = 0;
    std::uint8_t param = 0;
    bool extended_only = false;  // key-offs the normal file leaves out
};

void melody(Song& s, int p, const std::vector<Event>& events) {
    bool first = true;
    for (const Event& e : events) {
        if (e.extended_only && !s.extended) continue;
        const bool is_note = e.period >= 29;
        // Tone portamento takes the note as its target, without a sample.
        const std::uint8_t sample = is_note && e.effect != 0x3 ? LEAD : 0;
        s.put(p, e.row, CH_LEAD, e.period, sample, e.effect, e.param, first ? CENTRE : 0);
        first = false;
    }
}

std::vector<Event> vibrato_run(int from, int to) {
    std::vector<Event> run;
    for (int r = from; r <= to; ++r) run.push_back({r, VIBRATO_ON});
    return run;
}

std::vector<Event> join(std::vector<std::vector<Event>> parts) {
    std::vector<Event> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

void compose(Song& s) {
    const Chord verse[] = {Am, Fmaj, Cmaj, Gmaj};

    // 0: intro. Pad and arpeggio, then the bass, then a first beat.
    for (int bar = 0; bar < 4; ++bar) {
        Parts parts{.arp = true, .pad = true};
        parts.bass = bar >= 2;
        parts.kick = parts.hats = bar == 3;
        backing_bar(s, 0, bar, verse[bar], parts);
    }

    // 1: first verse.
    const Parts full{.bass = true, .kick = true, .snare = true, .hats = true, .arp = true, .pad = true};
    for (int bar = 0; bar < 4; ++bar) backing_bar(s, 1, bar, verse[bar], full);
    melody(s, 1,
           join({
               {{0, E5}, {6, D5}, {8, C5}, {12, B4}, {14, C5}},
               {{16, A4}, {20, 0, 0x4, 0x46}},
               vibrato_run(21, 27),
               {{28, C5}, {30, B4}},
               {{32, G4}, {36, C5}, {40, E5, 0x3, 0x08}, {41, 0, 0x3, 0x00}, {44, D5}, {46, C5}},
               {{48, D5}, {50, 0, 0x4, 0x35}},
               vibrato_run(51, 57),
               {{58, KEY_OFF, 0, 0, true}, {60, B4}, {62, G4}},
           }));

    // 2: second verse, higher, with glides and bends.
    for (int bar = 0; bar < 4; ++bar) backing_bar(s, 2, bar, verse[bar], full);
    melody(s, 2,
           join({
               {{0, A5}, {2, G5}, {4, E5}, {8, C5}, {10, D5}, {12, E5}, {13, 0, 0x4, 0x44}},
               vibrato_run(14, 15),
               {{16, F5},
                {20, E5},
                {22, C5},
                {24, A4, 0x3, 0x10},
                {25, 0, 0x3, 0x00},
                {28, C5},
                {30, F5, 0x3, 0x0C},
                {31, 0, 0x3, 0x00}},
               {{32, E5}, {35, D5}, {36, C5}, {38, D5}, {40, E5}, {42, G5}, {44, E5}, {46, C5}},
               {{48, D5}, {49, 0, 0x4, 0x56}},
               vibrato_run(50, 54),
               {{55, 0},
                {56, B4},
                {58, 0, 0x1, 0x02},
                {59, 0, 0x1, 0x02},
                {60, D5},
                {62, 0, 0x2, 0x03},
                {63, KEY_OFF, 0, 0, true}},
           }));

    // 3: the break. Its first bar, bass and drums alone, plays twice
    // through a pattern loop; then the band comes back with snare rolls.
    bass_bar(s, 3, 0, Am, true);
    s.put(3, 0, CH_DRUMS, note(2, C), KICK, 0, 0, CENTRE);
    s.put(3, 4, CH_DRUMS, note(2, C), SNARE);
    s.put(3, 8, CH_DRUMS, note(2, C), KICK);
    s.put(3, 10, CH_DRUMS, note(2, C), KICK);
    s.put(3, 12, CH_DRUMS, note(2, C), SNARE);
    s.fx(3, 0, CH_LEAD, 0xE, 0x60);
    s.fx(3, 15, CH_LEAD, 0xE, 0x61);
    backing_bar(s, 3, 1, Fmaj, {.bass = true, .kick = true, .snare = true, .hats = true, .pad = true});
    backing_bar(s, 3, 2, Cmaj, full);
    s.put(3, 44, CH_DRUMS, note(2, C), SNARE, 0xE, 0x93);  // roll: every 3 ticks
    s.put(3, 46, CH_DRUMS, note(2, C), SNARE, 0xE, 0x92);
    backing_bar(s, 3, 3, Gmaj, {.bass = true, .kick = true, .hats = true, .arp = true, .pad = true});
    s.put(3, 52, CH_DRUMS, note(2, C), SNARE);
    s.put(3, 56, CH_DRUMS, note(2, C), SNARE, 0xE, 0x93);
    s.put(3, 60, CH_DRUMS, note(2, C), SNARE, 0xE, 0x92);
    s.put(3, 62, CH_DRUMS, note(2, C), SNARE, 0xE, 0x91);
    melody(s, 3,
           join({
               {{48, D5, 0x4, 0x46}},
               vibrato_run(49, 55),
               {{56, B4}, {60, D5, 0x3, 0x06}, {61, 0, 0x3, 0x00}, {62, 0, 0x3, 0x00}},
           }));

    // 4: outro. Am F G, then a last Am that slows down and fades away.
    const Chord outro[] = {Am, Fmaj, Gmaj};
    for (int bar = 0; bar < 3; ++bar) backing_bar(s, 4, bar, outro[bar], full);
    melody(s, 4,
           join({
               {{0, C5}, {4, B4}, {6, A4}, {8, E5}, {12, D5}, {14, C5}},
               {{16, A4}, {20, C5}, {24, F5}, {28, E5}, {30, D5}},
               {{32, D5}, {36, B4}, {40, G4}, {42, B4}, {44, D5}, {46, G5, 0x3, 0x04}, {47, 0, 0x3, 0x00}},
               {{48, A5}, {50, 0, 0x4, 0x34}, {51, VIBRATO_ON}},
           }));
    for (int r = 52; r < 64; ++r) s.fx(4, r, CH_LEAD, 0x6, 0x02);  // vibrato on, fading
    if (s.extended) s.put(4, 56, CH_LEAD, KEY_OFF, 0, 0x6, 0x02);
    s.put(4, 48, CH_BASS, Am.bass, BASS);
    for (int r = 50; r < 64; ++r) s.fx(4, r, CH_BASS, 0xA, 0x01);
    s.put(4, 48, CH_PAD, Am.upper, PAD, s.extended ? 0 : 0xC, s.extended ? 0 : 0x28);
    for (int r = 52; r < 64; ++r) s.fx(4, r, CH_PAD, 0xA, 0x01);
    if (s.extended) s.put(4, 60, CH_PAD, KEY_OFF);
    s.put(4, 48, CH_DRUMS, note(2, C), KICK, 0, 0);
    s.fx(4, 52, CH_DRUMS, 0xF, 112);  // slowing down
    s.fx(4, 56, CH_DRUMS, 0xF, 100);
    s.fx(4, 60, CH_DRUMS, 0xF, 88);
    // Back to the normal speed and tempo before the song starts again.
    s.fx(0, 0, CH_DRUMS, 0xF, 125);
}

// ---------------------------------------------------------------- records

using Record = std::array<std::uint8_t, 32>;

Record record(std::vector<std::pair<int, int>> envelope, std::uint16_t fade_speed, std::uint8_t env_loop = 0,
              std::int8_t autovib_depth = 0, std::uint8_t autovib_speed = 0) {
    Record r{};
    for (std::size_t k = 0; k < envelope.size() && k < 12; ++k) {
        r[2 * k] = static_cast<std::uint8_t>(envelope[k].first);
        r[2 * k + 1] = static_cast<std::uint8_t>(envelope[k].second);
    }
    r[24] = static_cast<std::uint8_t>(fade_speed >> 8);
    r[25] = static_cast<std::uint8_t>(fade_speed);
    r[26] = env_loop;
    r[27] = static_cast<std::uint8_t>(autovib_depth);
    r[28] = autovib_speed;
    return r;
}

void add_records(ModuleBuilder& b) {
    // Plucked bass: a quick drop, then a slow one, held at its end.
    b.instrument(BASS, record({{1, 127}, {24, -2}, {40, -1}}, 0x0800));
    // Lead: a gentle swell that loops through the marker for as long as
    // the note lasts, a slow fade after key-off, and automatic vibrato.
    b.instrument(LEAD, record({{2, 60}, {6, -2}, {6, 2}, {0x80, 120}}, 0x0300, 0, 5, 16));
    // Pad: slow attack to a sustain point, a release after key-off.
    b.instrument(PAD, record({{1, 16}, {28, 4}, {0, 0}, {30, -3}}, 0x0200, 0, 3, 8));
    // The drums have no envelope: full level, silenced by a key-off.
    // The pluck decays by itself; no automatic vibrato, so the arpeggio
    // is heard.
    b.instrument(PLUCK, record({{1, 127}, {30, -3}, {30, -1}}, 0x1000));
}

void name(std::vector<std::uint8_t>& file, std::size_t at, std::size_t size, const char* text) {
    std::memset(file.data() + at, 0, size);
    std::memcpy(file.data() + at, text, std::min(size, std::strlen(text)));
}

std::vector<std::uint8_t> build(bool extended) {
    ModuleBuilder b(6);
    add_samples(b, extended);
    Song song{b, extended};
    compose(song);
    if (extended) {
        b.orders({1, 2, 3, 4, 2, 5});
        add_records(b);
        b.extended(6, 125);
    } else {
        b.orders({0, 1, 2, 3, 1, 4});
    }
    std::vector<std::uint8_t> file = b.build();
    name(file, 0, 20, extended ? "zindle demo extended" : "zindle demo");
    const char* names[] = {"bass", "lead", "pad", "kick", "snare", "hat", "pluck"};
    for (std::size_t s = 0; s < 7; ++s) name(file, 20 + 30 * s, 22, names[s]);
    return file;
}

bool write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fputs("usage: zindle-make-demo [FOLDER]\n", stderr);
        return 2;
    }
    const std::string folder = argc == 2 ? argv[1] : ".";
    for (bool extended : {false, true}) {
        const std::string path = folder + (extended ? "/demo-extended.mod" : "/demo.mod");
        if (!write(path, build(extended))) {
            std::fprintf(stderr, "zindle-make-demo: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
