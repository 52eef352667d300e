// The C library over the engine: loading from the caller's bytes, renders
// of any length cut from the engine's 2048-frame buffers, exact seeks, the
// Z jump, the song's position and its information.
//
// Everything here is constant-initialised static data: no allocation, no
// global constructors, no exceptions, no platform header, so the same
// source builds for a freestanding WebAssembly target.
#include "zindle.h"

#include <atomic>

#include "library_version.h"
#include "mixer.h"
#include "pattern_cell.h"
#include "module_format.h"
#include "module_loader.h"
#include "pass_tracker.h"
#include "player_state.h"
#include "sequencer.h"
#include "tick_clock.h"

namespace zindle {

namespace {

static_assert(ZINDLE_SAMPLE_RATE == SAMPLE_RATE && ZINDLE_IMAGE_BYTES == IMAGE_BYTES &&
              ZINDLE_BLOCK_FRAMES == FRAMES_PER_BUFFER);

constexpr std::uint32_t REPORT_CAPACITY = 8192;  // the longest report is under 4 KiB
// Ticks start at least 1729 bytes (432 frames) apart, so one 2048-frame
// buffer holds at most five; the queue holds the ticks of the buffer being
// given out.
constexpr std::uint32_t TICK_QUEUE = 8;
constexpr std::uint32_t PERIOD_SCALE = 16;  // the engine keeps periods x 16

// The pan bits as zindle_channel gives them: 0 left, 255 right, 128 both.
std::uint8_t pan_of(std::uint32_t c) {
    const std::uint8_t bits = player.channels.pan[c];
    return bits == PAN_LEFT ? 0 : bits == PAN_RIGHT ? 255 : 128;
}

// The song at one tick: the row it belongs to, and which tick of it.
struct Moment {
    std::uint64_t row_frame;  // the frame in which its row tick ran
    std::uint32_t order;
    std::uint32_t pattern;
    std::uint32_t row;
    std::uint32_t speed;
    std::uint32_t bytes_per_tick;
    std::uint32_t passes;  // passes completed once the row started
    std::uint32_t tick;
};

// A channel as a tick left it, in the terms of zindle_channel.
struct Heard {
    std::uint8_t sample;
    std::uint8_t volume;
    std::uint16_t period;
    std::uint8_t pan;
};

// A tick as the engine ran it: the frame it runs in, and the song then
// (the row fields only for a row tick).
struct TickRecord {
    std::uint64_t frame;
    Moment moment;
    Heard channels[CHANNEL_SLOTS];
};

// The position at the last frame given out, for zindle_get_position from
// any thread: a sequence lock over relaxed atomics. The rendering thread
// makes the count odd, writes, makes it even; a reader keeps a copy only
// when the count was even and the same before and after it read. A render
// that hands over no tick leaves the song's moment as it was and only
// moves the frame on, with one release store: a reader that saw the count
// even after the moment was written sees that frame or a later one.
struct Published {
    std::atomic<std::uint32_t> sequence;
    std::atomic<std::uint64_t> frame;
    std::atomic<std::int32_t> fields[8];  // loaded, order, pattern, row, tick, speed, bytes_per_tick, passes
};
constinit Published published{};

struct Library {
    bool loaded;
    bool jumped;       // a Z jump since the load or the last seek
    bool in_callback;  // the row callback runs: nothing may move the song
    std::uint32_t report_length;
    char report[REPORT_CAPACITY + 1];
    char title[TITLE_BYTES + 1];
    char sample_names[SAMPLE_SLOTS][SAMPLE_NAME_BYTES + 1];
    std::uint64_t pass_frames;
    std::int32_t return_order;
    std::int32_t return_row;

    // Frames given out since the load, and as many once the made buffer
    // is all given; the engine's own output runs ahead by the frames
    // still waiting in it.
    std::uint64_t frames_given;
    std::uint64_t buffer_end;
    // The frame before which small renders may give frames on their own:
    // the next queued tick or the song's end, at most the buffer's end.
    // Set after every other call that moves the song; never below
    // frames_given when a render may start (they subtract).
    std::uint64_t quiet_end;
    // Where frame f of the made buffer lies: origin + f x 4 bytes.
    std::uintptr_t origin;
    std::uint32_t made_muted;  // the mutes the buffer was mixed with

    PassTracker passes;
    TickRecord queue[TICK_QUEUE];  // ticks the engine ran that are not given out yet
    std::uint32_t queue_head;
    std::uint32_t queue_count;
    TickRecord current;  // the last tick at or before the last frame given out

    // zindle_set_repeat's count + 1: the passes that play, 0 endless. Zero
    // by default so that all of this is zero-initialised (.bss, not .data).
    std::uint32_t passes_to_play;
    std::uint32_t muted;  // zindle_mute, bit c for channel c

    zindle_row_callback callback;
    void* callback_user;
};

constinit Library lib{};

std::uint32_t waiting() { return static_cast<std::uint32_t>(lib.buffer_end - lib.frames_given); }

// Seeks start from the nearest state kept on the way: every 512 buffers
// (about 24 s) of the song as loaded, for its first 25 minutes, the whole
// engine state as it stood before that buffer was made. Nothing else in
// the engine lives from one buffer to the next. The first is the song as
// the loader left it.
constexpr std::uint64_t CHECKPOINT_FRAMES = 512ull * FRAMES_PER_BUFFER;
constexpr std::uint32_t CHECKPOINTS = 64;

struct Checkpoint {
    PlayerState player;
    PassTracker passes;
    TickRecord current;
};

constinit Checkpoint checkpoints[CHECKPOINTS]{};
constinit bool checkpoint_kept[CHECKPOINTS]{};

void keep_checkpoint() {
    if (lib.jumped || lib.frames_given % CHECKPOINT_FRAMES != 0) return;
    const std::uint64_t k = lib.frames_given / CHECKPOINT_FRAMES;
    if (k >= CHECKPOINTS || checkpoint_kept[k]) return;
    checkpoints[k] = {player, lib.passes, lib.current};
    checkpoint_kept[k] = true;
}

// The state before the buffer at frame k x CHECKPOINT_FRAMES.
void restore_checkpoint(std::uint32_t k) {
    const Checkpoint& c = checkpoints[k];
    player = c.player;
    player.muted = lib.muted;
    lib.passes = c.passes;
    lib.current = c.current;
    lib.jumped = false;
    lib.frames_given = k * CHECKPOINT_FRAMES;
    lib.buffer_end = lib.frames_given;
    lib.queue_head = 0;
    lib.queue_count = 0;
}

// The last checkpoint kept at or before `frame`, 0 when there is none.
std::uint32_t checkpoint_before(std::uint64_t frame) {
    std::uint64_t k = frame / CHECKPOINT_FRAMES;
    if (k >= CHECKPOINTS) k = CHECKPOINTS - 1;
    while (k > 0 && !checkpoint_kept[k]) --k;
    return static_cast<std::uint32_t>(k);
}

void copy_text(char* to, const std::uint8_t* from, std::uint32_t count) {
    std::uint32_t i = 0;
    for (; i < count && from[i] != 0; ++i) to[i] = static_cast<char>(from[i]);
    to[i] = 0;
}

// The engine's seams while a song is loaded: the loader's report is kept,
// each tick is queued until its frame is given out.
void keep_report(const char* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count && lib.report_length < REPORT_CAPACITY; ++i)
        lib.report[lib.report_length++] = bytes[i];
    lib.report[lib.report_length] = 0;
}

// Periods at or above each bound are that many semitones above C-0 (1712):
// the bounds lie halfway (geometrically) between two notes' periods.
constexpr std::uint16_t note_bounds[] = {
    1663, 1569, 1481, 1398, 1320, 1246, 1176, 1110, 1047, 988, 933, 881, 831, 784, 740, 699, 660, 623,
    588,  555,  523,  494,  466,  440,  415,  392,  370,  349, 330, 311, 294, 277, 261, 247, 233, 220,
    207,  196,  185,  174,  165,  155,  147,  138,  130,  123, 116, 110, 103, 98,  92,  87,  82,  77,
    73,   69,   65,   61,   58,   55,   51,   49,   46,   43,  41,  38,  36,  34,  32,  30,  29};

// The nearest note of a period field, -1 below the first note period.
int note_of(std::uint32_t period) {
    if (period < FIRST_NOTE_PERIOD) return -1;
    int note = 0;
    for (const std::uint16_t bound : note_bounds)
        if (period <= bound) ++note;
    return note;
}

// The channel as the tick left it: what the mixer makes of it from here.
Heard heard(std::uint32_t c) {
    const ChannelState& ch = player.channels;
    if (ch.mix_target[c] == 0 || ch.sample_num[c] == 0 || ch.play_state[c] < STATE_PLAYING) return {0, 0, 0, pan_of(c)};
    return {ch.sample_num[c], static_cast<std::uint8_t>((ch.mix_target[c] + 1) / 2),
            static_cast<std::uint16_t>(ch.period[c] / PERIOD_SCALE), pan_of(c)};
}

void tick_ran(const TickStart& start) {
    TickRecord& record = lib.queue[(lib.queue_head + lib.queue_count) % TICK_QUEUE];
    const Moment before = lib.queue_count > 0 ? lib.queue[(lib.queue_head + lib.queue_count - 1) % TICK_QUEUE].moment
                                              : lib.current.moment;
    record.frame = start.frame;
    record.moment = before;
    Moment& m = record.moment;
    m.tick = start.tick;
    if (start.order_entry != nullptr) {
        const SongState& song = player.song;
        m.row_frame = start.frame;
        m.order = static_cast<std::uint32_t>(start.order_entry - song.order_table);
        m.pattern = *start.order_entry;
        m.row = (start.row_offset % song.pattern_bytes) / (song.channel_count * CELL_BYTES);
        m.speed = song.speed;
        m.bytes_per_tick = song.bytes_per_tick;
        lib.passes.row(m.order, start.row_offset, *start.order_entry);
        m.passes = lib.passes.completed;
    }
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c) record.channels[c] = heard(c);
    if (lib.queue_count < TICK_QUEUE) ++lib.queue_count;
}

void publish() {
    const Moment& m = lib.current.moment;
    const std::int32_t values[8] = {lib.loaded ? 1 : 0,
                                    static_cast<std::int32_t>(m.order),
                                    static_cast<std::int32_t>(m.pattern),
                                    static_cast<std::int32_t>(m.row),
                                    static_cast<std::int32_t>(m.tick),
                                    static_cast<std::int32_t>(m.speed),
                                    static_cast<std::int32_t>(m.bytes_per_tick),
                                    static_cast<std::int32_t>(m.passes)};
    const std::uint32_t sequence = published.sequence.load(std::memory_order_relaxed);
    // Each store releases the odd sequence before it: a reader that sees any
    // new value then sees the sequence moved, and reads again. No fences,
    // which ThreadSanitizer cannot follow.
    published.sequence.store(sequence + 1, std::memory_order_relaxed);
    published.frame.store(lib.loaded ? lib.frames_given : 0, std::memory_order_release);
    for (std::uint32_t i = 0; i < 8; ++i) published.fields[i].store(values[i], std::memory_order_release);
    published.sequence.store(sequence + 2, std::memory_order_release);
}

// Frames that may still be given out before the song's end under
// zindle_set_repeat: the end is the start of the row that completes pass
// repeat + 1, or that many pass limits for a song whose passes do not end.
std::uint64_t frames_left() {
    if (lib.passes_to_play == 0) return ~std::uint64_t{0};
    const std::uint32_t target = lib.passes_to_play;
    if (lib.current.moment.passes >= target) return 0;
    const std::uint64_t limit = std::uint64_t{target} * ZINDLE_PASS_LIMIT_FRAMES;
    std::uint64_t end = limit;
    for (std::uint32_t i = 0; i < lib.queue_count; ++i) {
        const TickRecord& t = lib.queue[(lib.queue_head + i) % TICK_QUEUE];
        if (t.moment.passes >= target) {
            end = t.frame < end ? t.frame : end;
            break;
        }
    }
    const std::uint64_t given = lib.frames_given;
    return end > given ? end - given : 0;
}

// The song as zindle_load left it.
void restart() { restore_checkpoint(0); }

// The first pass, found by running the ticks alone: which rows play, and
// when, does not depend on the mixing.
void find_first_pass() {
    lib.pass_frames = ZINDLE_PASS_LIMIT_FRAMES;
    lib.return_order = -1;
    lib.return_row = -1;
    while (lib.return_order < 0 && next_tick_frame() < std::uint64_t{ZINDLE_PASS_LIMIT_FRAMES}) {
        run_next_tick_unmixed();
        for (; lib.queue_count > 0; --lib.queue_count, lib.queue_head = (lib.queue_head + 1) % TICK_QUEUE) {
            const TickRecord& t = lib.queue[lib.queue_head];
            if (t.moment.tick != 0 || t.moment.passes != 1 || lib.return_order >= 0) continue;
            lib.pass_frames = t.frame;
            lib.return_order = static_cast<std::int32_t>(t.moment.order);
            lib.return_row = static_cast<std::int32_t>(t.moment.row);
        }
    }
}

#if defined(__wasm__)
// WebAssembly: the memory below __heap_base is the library's own (its
// state, the module image, the stack), except the caller's scratch area;
// everything above it is the caller's. Output that would land on the
// library's own memory is refused.
extern "C" unsigned char __heap_base;
bool output_allowed(const std::int16_t* out, std::uint64_t frames) {
    const auto begin = reinterpret_cast<std::uintptr_t>(out);
    const std::uint64_t end = begin + frames * BYTES_PER_FRAME;
    const auto scratch = reinterpret_cast<std::uintptr_t>(zindle_scratch(0));
    if (begin >= reinterpret_cast<std::uintptr_t>(&__heap_base)) return true;
    return scratch != 0 && begin >= scratch && end <= scratch + std::uint64_t{ZINDLE_IMAGE_BYTES};
}
#else
bool output_allowed(const std::int16_t*, std::uint64_t) { return true; }
#endif

// The ticks that run before frame `end` become the song's moment, and each
// row that starts is announced to the callback unless the frames are
// passed over.
void hand_over_ticks(std::uint64_t end, bool announce) {
    while (lib.queue_count > 0 && lib.queue[lib.queue_head].frame < end) {
        lib.current = lib.queue[lib.queue_head];
        lib.queue_head = (lib.queue_head + 1) % TICK_QUEUE;
        --lib.queue_count;
        const Moment& m = lib.current.moment;
        if (m.tick == 0 && announce && lib.callback != nullptr) {
            // No frame may be given from inside: small renders see none
            // (the render that called sets `quiet_end` again on return).
            lib.quiet_end = lib.frames_given;
            lib.in_callback = true;
            lib.callback(lib.callback_user, m.row_frame, static_cast<int>(m.order), static_cast<int>(m.pattern),
                         static_cast<int>(m.row));
            lib.in_callback = false;
        }
    }
}

// `take` frames of the buffer are given out.
void hand_over(std::uint32_t take, bool announce) {
    hand_over_ticks(lib.frames_given + take, announce);
    lib.frames_given += take;
}

// Frames from `from` to the caller: 16-bit samples as they are, or floats.
[[gnu::always_inline]] inline void copy_frames(std::int16_t* to, const std::int16_t* from, std::size_t frames) {
    // One frame is one 32-bit move, not a call.
    if (frames == 1)
        __builtin_memcpy(to, from, BYTES_PER_FRAME);
    else
        __builtin_memcpy(to, from, frames * BYTES_PER_FRAME);
}

// Out of line: one copy of the loop for both paths.
[[gnu::noinline]] void copy_frames(float* to, const std::int16_t* from, std::size_t frames) {
    for (std::size_t i = 0; i < 2 * frames; ++i) to[i] = static_cast<float>(from[i]) / 32768.0f;
}

// Where given frames go: 16-bit samples, floats, or nowhere.
struct Sink {
    std::int16_t* samples;
    float* floats;
};

// Frame `frame` of the made buffer.
[[gnu::always_inline]] inline const std::int16_t* source(std::uint64_t frame) {
    return reinterpret_cast<const std::int16_t*>(lib.origin + static_cast<std::uintptr_t>(frame * BYTES_PER_FRAME));
}

// Gives out up to `frames` frames, to the sink; a render (`ends`) stops at
// the song's end. The frames given.
std::uint64_t give_frames(Sink to, std::uint64_t frames, bool announce, bool ends) {
    std::uint64_t given = 0;
    while (given < frames) {
        if (lib.frames_given == lib.buffer_end) {
            keep_checkpoint();
            fill_buffer();
            lib.made_muted = player.muted;
            lib.origin = reinterpret_cast<std::uintptr_t>(output_buffers[next_buffer]) -
                         static_cast<std::uintptr_t>(lib.buffer_end * BYTES_PER_FRAME);
            lib.buffer_end += FRAMES_PER_BUFFER;
        }
        std::uint64_t want = frames - given;
        if (ends) {
            const std::uint64_t left = frames_left();
            if (left == 0) break;
            want = want < left ? want : left;
        }
        const std::uint32_t waits = waiting();
        const std::uint32_t take = want < waits ? static_cast<std::uint32_t>(want) : waits;
        const std::int16_t* from = source(lib.frames_given);
        if (to.samples != nullptr) {
            copy_frames(to.samples, from, take);
            to.samples += 2 * take;
        } else if (to.floats != nullptr) {
            copy_frames(to.floats, from, take);
            to.floats += 2 * take;
        }
        hand_over(take, announce);
        given += take;
    }
    return given;
}

// After every call that moves the song (a render past the quiet frames, a
// seek, a load) or its end (zindle_set_repeat): how many of the waiting
// frames small renders may give out alone, before the next queued tick
// and the song's end. Out of line: four callers, none of them hot.
[[gnu::noinline]] void open_quiet_frames() {
    std::uint64_t quiet = lib.loaded ? waiting() : 0;
    if (lib.queue_count > 0) {
        const std::uint64_t tick = lib.queue[lib.queue_head].frame;
        const std::uint64_t given = lib.frames_given;
        const std::uint64_t before_tick = tick > given ? tick - given : 0;
        quiet = before_tick < quiet ? before_tick : quiet;
    }
    const std::uint64_t left = frames_left();
    quiet = left < quiet ? left : quiet;
    lib.quiet_end = lib.frames_given + quiet;
}

// zindle_render and zindle_render_float past the quiet frames: buffers
// made, ticks handed over, the song's end. `extent` is the output's length
// in 16-bit frames.
[[gnu::noinline]] std::size_t render(Sink to, std::size_t frames, std::uint64_t extent) {
    if (!lib.loaded || lib.in_callback || (to.samples == nullptr && to.floats == nullptr)) return 0;
    const auto* out = to.samples != nullptr ? to.samples : reinterpret_cast<std::int16_t*>(to.floats);
    if (!output_allowed(out, extent)) return 0;
    const auto given = static_cast<std::size_t>(give_frames(to, frames, true, true));
    publish();
    open_quiet_frames();
    return given;
}

// Small renders: frames the made buffer holds before its next tick and
// the song's end are handed out with the count of frames given moved and
// published; the song's moment stays as it was published. Whether the
// call may take them (else it needs the whole path, or is refused there).
[[gnu::always_inline]] inline bool quiet(const void* out, std::size_t frames, std::uint64_t given, std::uint64_t extent) {
    return frames <= lib.quiet_end - given && out != nullptr && output_allowed(static_cast<const std::int16_t*>(out), extent);
}

// Where the frames lie.
[[gnu::always_inline]] inline const std::int16_t* take_quiet(std::size_t frames, std::uint64_t given) {
    lib.frames_given = given + frames;
    // A reader that saw the sequence even after the moment was written
    // sees this frame or a later one.
    published.frame.store(given + frames, std::memory_order_release);
    return source(given);
}

// Out of line, so that a 1-frame render needs no stack frame. No frames
// may come from before the first block is made (no buffer yet).
[[gnu::noinline]] std::size_t copy_samples(std::int16_t* out, const std::int16_t* from, std::size_t frames) {
    if (frames != 0) __builtin_memcpy(out, from, frames * BYTES_PER_FRAME);
    return frames;
}

}  // namespace

}  // namespace zindle

using namespace zindle;

extern "C" {

int zindle_load(const void* data, size_t size) {
    if (lib.in_callback) return ZINDLE_ERROR_IN_CALLBACK;
    lib.loaded = false;
    // Nothing is given out until a song is loaded.
    lib.frames_given = 0;
    lib.buffer_end = 0;
    lib.quiet_end = 0;
    lib.report_length = 0;
    lib.report[0] = 0;
    lib.title[0] = 0;
    for (auto& name : lib.sample_names) name[0] = 0;
    lib.pass_frames = 0;
    lib.return_order = -1;
    lib.return_row = -1;
    if (data == nullptr && size != 0) {
        publish();
        return ZINDLE_ERROR_NULL_DATA;
    }

    const std::size_t used = size < IMAGE_BYTES ? size : IMAGE_BYTES;
    __builtin_memset(module_image, 0, sizeof module_image);
    if (used != 0) __builtin_memcpy(module_image, data, used);

    reset_engine();
    engine_hooks = EngineHooks{};
    engine_hooks.console = keep_report;
    engine_hooks.tick = tick_ran;
    if (!load_module()) {
        reset_engine();
        publish();
        return ZINDLE_ERROR_EMPTY_SONG;
    }

    copy_text(lib.title, module_image, TITLE_BYTES);
    for (std::uint32_t s = 1; s < player.song.sample_slots; ++s)
        copy_text(lib.sample_names[s], module_image + sample_header_at(s), SAMPLE_NAME_BYTES);
    lib.passes.reset();
    lib.current = TickRecord{};
    lib.current.moment.pattern = player.song.order_table[0];
    lib.current.moment.speed = player.song.speed;
    lib.current.moment.bytes_per_tick = player.song.bytes_per_tick;
    for (std::uint32_t c = 0; c < player.song.channel_count; ++c) lib.current.channels[c] = heard(c);
    lib.muted = 0;
    player.muted = 0;
    lib.jumped = false;
    lib.queue_head = 0;
    lib.queue_count = 0;
    for (bool& kept : checkpoint_kept) kept = false;
    keep_checkpoint();
    find_first_pass();
    restart();
    lib.loaded = true;
    publish();
    open_quiet_frames();
    return 0;
}

const char* zindle_report(void) { return lib.report; }

size_t zindle_render(int16_t* out, size_t frames) {
    const std::uint64_t given = lib.frames_given;
    if (!quiet(out, frames, given, frames)) [[unlikely]]
        return render({out, nullptr}, frames, frames);
    const std::int16_t* from = take_quiet(frames, given);
    if (frames != 1) return copy_samples(out, from, frames);
    // One frame is one 32-bit move, not a call.
    __builtin_memcpy(out, from, BYTES_PER_FRAME);
    return 1;
}

size_t zindle_render_float(float* out, size_t frames) {
    // Floats take twice the bytes of 16-bit frames.
    const std::uint64_t extent = 2 * static_cast<std::uint64_t>(frames);
    const std::uint64_t given = lib.frames_given;
    if (!quiet(out, frames, given, extent)) [[unlikely]]
        return render({nullptr, out}, frames, extent);
    const std::int16_t* from = take_quiet(frames, given);
    copy_frames(out, from, frames);
    return frames;
}

int zindle_seek(uint64_t frame) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    if (lib.in_callback) return ZINDLE_ERROR_IN_CALLBACK;
    if (frame > ZINDLE_SEEK_MAX_FRAMES) return ZINDLE_ERROR_ARGUMENT;
    const std::uint32_t k = checkpoint_before(frame);
    const std::uint64_t at = k * CHECKPOINT_FRAMES;
    // Frames of the made buffer mixed before a mute change since must be
    // mixed again: mutes hold from the seek's frame.
    const bool stale = waiting() > 0 && lib.made_muted != lib.muted && frame < lib.buffer_end;
    if (lib.jumped || stale || frame < lib.frames_given || at > lib.frames_given) restore_checkpoint(k);
    give_frames({nullptr, nullptr}, frame - lib.frames_given, false, false);
    publish();
    open_quiet_frames();
    return 0;
}

const char* zindle_version(void) { return ZINDLE_LIBRARY_VERSION; }

const char* zindle_strerror(int error) {
    switch (error) {
    case 0: return "no error";
    case ZINDLE_ERROR_NULL_DATA: return "no data for a non-zero size";
    case ZINDLE_ERROR_EMPTY_SONG: return "the song length is 0: nothing to play";
    case ZINDLE_ERROR_NOT_LOADED: return "no song is loaded";
    case ZINDLE_ERROR_ARGUMENT: return "argument out of range";
    case ZINDLE_ERROR_IN_CALLBACK: return "not allowed inside the row callback";
    default: return "unknown error";
    }
}

int zindle_jump(void) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    if (lib.in_callback) return ZINDLE_ERROR_IN_CALLBACK;
    lib.jumped = true;
    return jump_to_next_order();
}

uint64_t zindle_frame(void) {
    if (!lib.loaded) return 0;
    return lib.in_callback ? lib.current.moment.row_frame : lib.frames_given;
}

int zindle_order(void) { return lib.loaded ? static_cast<int>(lib.current.moment.order) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_pattern(void) { return lib.loaded ? static_cast<int>(lib.current.moment.pattern) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_row(void) { return lib.loaded ? static_cast<int>(lib.current.moment.row) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_tick(void) { return lib.loaded ? static_cast<int>(lib.current.moment.tick) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_speed(void) { return lib.loaded ? static_cast<int>(lib.current.moment.speed) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_bytes_per_tick(void) {
    return lib.loaded ? static_cast<int>(lib.current.moment.bytes_per_tick) : ZINDLE_ERROR_NOT_LOADED;
}

int zindle_passes(void) { return lib.loaded ? static_cast<int>(lib.current.moment.passes) : ZINDLE_ERROR_NOT_LOADED; }

const char* zindle_title(void) { return lib.title; }

const char* zindle_sample_name(int sample) {
    if (!lib.loaded || sample < 1 || sample >= player.song.sample_slots) return nullptr;
    return lib.sample_names[sample];
}

int zindle_channel_count(void) { return lib.loaded ? player.song.channel_count : ZINDLE_ERROR_NOT_LOADED; }

int zindle_sample_count(void) { return lib.loaded ? player.song.sample_slots - 1 : ZINDLE_ERROR_NOT_LOADED; }

int zindle_extended_mode(void) { return lib.loaded ? player.song.extended_mode : ZINDLE_ERROR_NOT_LOADED; }

int zindle_song_length(void) {
    return lib.loaded ? static_cast<int>(player.song.song_length) : ZINDLE_ERROR_NOT_LOADED;
}

uint64_t zindle_pass_frames(void) { return lib.loaded ? lib.pass_frames : 0; }

int zindle_return_order(void) { return lib.loaded ? lib.return_order : ZINDLE_ERROR_NOT_LOADED; }

int zindle_return_row(void) { return lib.loaded ? lib.return_row : ZINDLE_ERROR_NOT_LOADED; }

int zindle_set_repeat(int count) {
    if (count < -1) return ZINDLE_ERROR_ARGUMENT;
    lib.passes_to_play = static_cast<std::uint32_t>(count) + 1u;
    // Inside the row callback the render that called sets it on return.
    if (!lib.in_callback) open_quiet_frames();
    return 0;
}

int zindle_jump_to(int order, int row) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    if (lib.in_callback) return ZINDLE_ERROR_IN_CALLBACK;
    if (order < 0 || order >= static_cast<int>(player.song.song_length) || row < 0 || row >= static_cast<int>(ROWS))
        return ZINDLE_ERROR_ARGUMENT;
    lib.jumped = true;
    return jump_to_entry(static_cast<std::uint32_t>(order), static_cast<std::uint32_t>(row));
}

int zindle_mute(int channel, int muted) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    if (channel < 0 || channel >= player.song.channel_count) return ZINDLE_ERROR_ARGUMENT;
    const std::uint32_t bit = std::uint32_t{1} << channel;
    const int before = (lib.muted & bit) != 0 ? 1 : 0;
    lib.muted = muted != 0 ? lib.muted | bit : lib.muted & ~bit;
    player.muted = lib.muted;
    return before;
}

int zindle_order_entry(int order) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    // A song length past 128 plays the bytes behind the list as entries.
    const SongState& song = player.song;
    const int entries = static_cast<int>(song.song_length > ORDER_ENTRIES ? song.song_length : ORDER_ENTRIES);
    if (order < 0 || order >= entries) return ZINDLE_ERROR_ARGUMENT;
    return image_byte(image_offset(song.order_table) + static_cast<std::uint32_t>(order));
}

int zindle_pattern_count(void) {
    return lib.loaded ? static_cast<int>(player.song.pattern_count) : ZINDLE_ERROR_NOT_LOADED;
}

int zindle_cell(int pattern, int row, int channel, struct zindle_cell* cell) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    const SongState& song = player.song;
    if (pattern < 0 || pattern >= static_cast<int>(song.pattern_count) || row < 0 || row >= static_cast<int>(ROWS) ||
        channel < 0 || channel >= song.channel_count || cell == nullptr)
        return ZINDLE_ERROR_ARGUMENT;
    const PatternCell c = read_cell(
        image_offset(song.pattern_base) + static_cast<std::uint32_t>(pattern) * song.pattern_bytes +
        (static_cast<std::uint32_t>(row) * song.channel_count + static_cast<std::uint32_t>(channel)) * CELL_BYTES);
    cell->period = static_cast<int>(c.period_field);
    cell->note = note_of(c.period_field);
    cell->sample = c.sample;
    cell->effect = c.effect;
    cell->param = c.param;
    cell->pan = c.pan_bits;
    return 0;
}

int zindle_channel(int channel, struct zindle_channel* state) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    if (channel < 0 || channel >= player.song.channel_count || state == nullptr) return ZINDLE_ERROR_ARGUMENT;
    const Heard& h = lib.current.channels[channel];
    state->sample = h.sample;
    state->volume = h.volume;
    state->period = h.period;
    state->pan = h.pan;
    state->muted = (lib.muted >> channel & 1) != 0 ? 1 : 0;
    return 0;
}

int zindle_get_position(struct zindle_position* position) {
    std::uint64_t frame;
    std::int32_t v[8];
    for (;;) {
        const std::uint32_t before = published.sequence.load(std::memory_order_acquire);
        // Acquire loads keep the second read of the sequence after them.
        for (std::uint32_t i = 0; i < 8; ++i) v[i] = published.fields[i].load(std::memory_order_acquire);
        frame = published.frame.load(std::memory_order_acquire);
        if ((before & 1) == 0 && published.sequence.load(std::memory_order_relaxed) == before) break;
    }
    if (v[0] == 0) return ZINDLE_ERROR_NOT_LOADED;
    if (position == nullptr) return ZINDLE_ERROR_ARGUMENT;
    *position = {frame, v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
    return 0;
}

void zindle_set_row_callback(zindle_row_callback callback, void* user) {
    lib.callback = callback;
    lib.callback_user = user;
}

}  // extern "C"
