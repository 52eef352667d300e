// The C library over the engine: loading from the caller's bytes, renders
// of any length cut from the engine's 2048-frame buffers, exact seeks, the
// Z jump, the song's position and its information.
//
// Everything here is constant-initialised static data: no allocation, no
// global constructors, no exceptions, no platform header, so the same
// source builds for a freestanding WebAssembly target.
#include "zindle.h"

#include "library_version.h"
#include "mixer.h"
#include "module_loader.h"
#include "pass_tracker.h"
#include "player_state.h"
#include "sequencer.h"

namespace zindle {

namespace {

constexpr std::uint32_t REPORT_CAPACITY = 8192;  // the longest report is under 4 KiB
constexpr std::uint32_t TITLE_BYTES = 20;
constexpr std::uint32_t SAMPLE_NAME_BYTES = 22;
constexpr std::uint32_t SAMPLE_HEADER_BYTES = 30;
constexpr std::uint32_t FIRST_SAMPLE_HEADER = 20;
constexpr std::uint32_t PRE_TICK_BYTES = 384;
// A pass that has not ended within 20 minutes, rounded up to whole blocks
// of 2048 frames, is counted as that long: zindle-render stops there.
constexpr std::uint64_t PASS_SCAN_FRAMES =
    (20ull * 60 * ZINDLE_SAMPLE_RATE + FRAMES_PER_BUFFER - 1) / FRAMES_PER_BUFFER * FRAMES_PER_BUFFER;
// Rows start at least 1729 bytes apart, so one 2048-frame buffer starts at
// most five; the queue holds the rows of the buffer being given out.
constexpr std::uint32_t ROW_QUEUE = 8;

// One row as it started: where, when, and what the tick schedule of the
// row is from there.
struct RowStart {
    std::uint64_t frame;  // the frame in which its row tick ran
    std::uint32_t order;
    std::uint32_t pattern;
    std::uint32_t row;
    std::uint32_t speed;
    std::uint32_t bytes_per_tick;
    std::int64_t window_after;  // the row's tick window (after a delay), from its tick
    std::uint32_t passes;       // passes completed once this row started
};

struct Library {
    bool loaded;
    bool jumped;          // a Z jump since the load or the last seek
    bool capture_report;  // console bytes go to the report
    bool quiet;           // seeking: no row callback
    bool scanning;        // finding the first pass: ticks only, no queue
    bool in_callback;     // the row callback runs: nothing may move the song
    std::uint32_t report_length;
    char report[REPORT_CAPACITY + 1];
    char title[TITLE_BYTES + 1];
    char sample_names[SAMPLE_SLOTS][SAMPLE_NAME_BYTES + 1];
    std::uint64_t pass_frames;
    std::int32_t return_order;
    std::int32_t return_row;

    // Frames given out since the load; the engine's own output runs ahead
    // of it by the frames still waiting in its buffer.
    std::uint64_t frames_given;
    std::uint64_t buffer_first_frame;  // engine frame of the buffer's first frame
    std::uint32_t buffer_first_clock;
    std::uint32_t waiting_at;  // first frame of the buffer not yet given out
    std::uint32_t waiting;     // frames of the buffer not yet given out

    PassTracker passes;
    RowStart queue[ROW_QUEUE];
    std::uint32_t queue_head;
    std::uint32_t queue_count;
    RowStart current;
    bool started;  // a row has started in the frames given out

    zindle_row_callback callback;
    void* callback_user;
};

constinit Library lib{};

// Seeks start from the nearest state kept on the way: every 512 buffers
// (about 24 s) of the song as loaded, for its first 25 minutes, the whole
// engine state as it stood before that buffer was made. Nothing else in
// the engine lives from one buffer to the next.
constexpr std::uint64_t CHECKPOINT_FRAMES = 512ull * FRAMES_PER_BUFFER;
constexpr std::uint32_t CHECKPOINTS = 64;

struct Checkpoint {
    PlayerState player;
    PassTracker passes;
    RowStart current;
    bool started;
};

constinit Checkpoint checkpoints[CHECKPOINTS]{};
constinit bool checkpoint_kept[CHECKPOINTS]{};

void keep_checkpoint() {
    if (lib.jumped || lib.frames_given % CHECKPOINT_FRAMES != 0) return;
    const std::uint64_t k = lib.frames_given / CHECKPOINT_FRAMES;
    if (k >= CHECKPOINTS || checkpoint_kept[k]) return;
    Checkpoint& c = checkpoints[k];
    c.player = player;
    c.passes = lib.passes;
    c.current = lib.current;
    c.started = lib.started;
    checkpoint_kept[k] = true;
}

// The state before the buffer at frame k x CHECKPOINT_FRAMES.
void restore_checkpoint(std::uint32_t k) {
    const Checkpoint& c = checkpoints[k];
    player = c.player;
    lib.passes = c.passes;
    lib.current = c.current;
    lib.started = c.started;
    lib.jumped = false;
    lib.frames_given = k * CHECKPOINT_FRAMES;
    lib.waiting = 0;
    lib.waiting_at = 0;
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

std::uint32_t first_pattern() { return player.song.order_table[0]; }

// Called by the engine right after each row tick's decode.
void row_started(const std::uint8_t* entry, std::uint32_t row_offset) {
    const SongState& song = player.song;
    RowStart start{};
    start.frame = lib.buffer_first_frame + (player.out_clock - lib.buffer_first_clock) / BYTES_PER_FRAME - 1;
    start.order = static_cast<std::uint32_t>(entry - song.order_table);
    start.pattern = *entry;
    start.row = (row_offset % song.pattern_bytes) / (song.channel_count * 4u);
    start.speed = song.speed;
    start.bytes_per_tick = song.bytes_per_tick;
    start.window_after = static_cast<std::int32_t>(song.tick_window_at - player.out_clock);
    lib.passes.row(start.order, row_offset, *entry);
    start.passes = lib.passes.completed;
    if (lib.scanning) {
        if (lib.passes.completed == 1 && lib.return_order < 0) {
            lib.pass_frames = start.frame;
            lib.return_order = static_cast<std::int32_t>(start.order);
            lib.return_row = static_cast<std::int32_t>(start.row);
        }
        return;
    }
    lib.queue[(lib.queue_head + lib.queue_count) % ROW_QUEUE] = start;
    if (lib.queue_count < ROW_QUEUE) ++lib.queue_count;
}

// The song from its start, as zindle_load left it, without a new report.
void restart() {
    reset_engine();
    engine_hooks.row_tick = row_started;
    load_module(module_image);
    lib.passes.reset();
    lib.jumped = false;
    lib.frames_given = 0;
    lib.buffer_first_frame = 0;
    lib.buffer_first_clock = 0;
    lib.waiting = 0;
    lib.waiting_at = 0;
    lib.queue_head = 0;
    lib.queue_count = 0;
    lib.started = false;
    const SongState& song = player.song;
    lib.current = RowStart{};
    lib.current.pattern = first_pattern();
    lib.current.speed = song.speed;
    lib.current.bytes_per_tick = song.bytes_per_tick;
}

// The first pass, found by running the ticks alone: which rows play, and
// when, does not depend on the mixing. The tick runs in the first frame
// whose clock is at least 384 bytes past the tick window.
void find_first_pass() {
    lib.pass_frames = PASS_SCAN_FRAMES;
    lib.return_order = -1;
    lib.return_row = -1;
    lib.scanning = true;
    restart();
    while (lib.return_order < 0) {
        const std::uint32_t due = player.song.tick_window_at + PRE_TICK_BYTES;
        const std::uint32_t at = (due + BYTES_PER_FRAME - 1) & ~(BYTES_PER_FRAME - 1);
        if (at / BYTES_PER_FRAME - 1 >= PASS_SCAN_FRAMES) break;
        player.out_clock = at;
        run_tick();
    }
    lib.scanning = false;
}

// Rows that start in the frames up to `end` become the current row.
void take_rows(std::uint64_t end) {
    while (lib.queue_count > 0 && lib.queue[lib.queue_head].frame < end) {
        lib.current = lib.queue[lib.queue_head];
        lib.started = true;
        lib.queue_head = (lib.queue_head + 1) % ROW_QUEUE;
        --lib.queue_count;
        if (lib.callback != nullptr && !lib.quiet) {
            lib.in_callback = true;
            lib.callback(lib.callback_user, lib.current.frame, static_cast<int>(lib.current.order),
                         static_cast<int>(lib.current.pattern), static_cast<int>(lib.current.row));
            lib.in_callback = false;
        }
    }
}

// Gives out `frames` frames, to `out` or nowhere.
void give_frames(std::int16_t* out, std::uint64_t frames) {
    while (frames > 0) {
        if (lib.waiting == 0) {
            keep_checkpoint();
            lib.buffer_first_frame = lib.frames_given;
            lib.buffer_first_clock = player.out_clock;
            fill_buffer();
            lib.waiting = FRAMES_PER_BUFFER;
            lib.waiting_at = 0;
        }
        const std::uint32_t take = frames < lib.waiting ? static_cast<std::uint32_t>(frames) : lib.waiting;
        if (out != nullptr) {
            __builtin_memcpy(out, output_buffers[next_buffer] + 2 * lib.waiting_at,
                             static_cast<std::size_t>(take) * BYTES_PER_FRAME);
            out += 2 * take;
        }
        take_rows(lib.frames_given + take);
        lib.frames_given += take;
        lib.waiting_at += take;
        lib.waiting -= take;
        frames -= take;
    }
}

// The tick of the current row at the last frame given out: tick k of a row
// runs at the first frame at least 384 bytes past the row's window plus k
// ticks (tempo and speed change only on a row's own tick).
std::uint32_t current_tick() {
    if (lib.in_callback) return 0;  // the row as it starts
    if (!lib.started || lib.frames_given == 0) return 0;
    const RowStart& r = lib.current;
    const std::uint64_t last = lib.frames_given - 1;
    const std::uint32_t speed = r.speed != 0 ? r.speed : 1;
    std::uint32_t tick = 0;
    for (std::uint32_t k = 1; k < speed; ++k) {
        const std::int64_t due = r.window_after + PRE_TICK_BYTES + static_cast<std::int64_t>(k) * r.bytes_per_tick;
        const std::uint64_t offset = static_cast<std::uint64_t>((due + BYTES_PER_FRAME - 1) / BYTES_PER_FRAME);
        if (r.frame + offset > last) break;
        tick = k;
    }
    return tick;
}

#if defined(__wasm__)
// WebAssembly: the memory below __heap_base is the library's own (its
// state, the module image, the stack), except the caller's scratch area;
// everything above it is the caller's. Output that would land on the
// library's own memory is refused.
extern "C" unsigned char __heap_base;
bool output_allowed(const std::int16_t* out, std::size_t frames) {
    const auto begin = reinterpret_cast<std::uintptr_t>(out);
    const std::uint64_t end = begin + std::uint64_t{frames} * BYTES_PER_FRAME;
    const auto scratch = reinterpret_cast<std::uintptr_t>(zindle_scratch(0));
    if (begin >= reinterpret_cast<std::uintptr_t>(&__heap_base)) return true;
    return scratch != 0 && begin >= scratch && end <= scratch + std::uint64_t{ZINDLE_IMAGE_BYTES};
}
#else
bool output_allowed(const std::int16_t*, std::size_t) { return true; }
#endif

}  // namespace

// The loader's report is kept while a load asks for it; the engine's
// buffers are given out by give_frames, so nothing happens on submission.
void console_write(const char* bytes, std::uint32_t count) {
    if (!lib.capture_report) return;
    for (std::uint32_t i = 0; i < count && lib.report_length < REPORT_CAPACITY; ++i)
        lib.report[lib.report_length++] = bytes[i];
    lib.report[lib.report_length] = 0;
}

void submit_buffer() {}

}  // namespace zindle

using namespace zindle;

extern "C" {

int zindle_load(const void* data, size_t size) {
    if (lib.in_callback) return ZINDLE_ERROR_IN_CALLBACK;
    lib.loaded = false;
    lib.report_length = 0;
    lib.report[0] = 0;
    lib.title[0] = 0;
    for (auto& name : lib.sample_names) name[0] = 0;
    lib.pass_frames = 0;
    lib.return_order = -1;
    lib.return_row = -1;
    if (data == nullptr && size != 0) return ZINDLE_ERROR_NULL_DATA;

    const std::size_t used = size < IMAGE_BYTES ? size : IMAGE_BYTES;
    __builtin_memset(module_image, 0, sizeof module_image);
    if (used != 0) __builtin_memcpy(module_image, data, used);

    reset_engine();
    lib.capture_report = true;
    const bool playable = load_module(module_image);
    lib.capture_report = false;
    if (!playable) {
        reset_engine();
        return ZINDLE_ERROR_EMPTY_SONG;
    }

    copy_text(lib.title, module_image, TITLE_BYTES);
    for (std::uint32_t s = 1; s < player.song.sample_slots; ++s)
        copy_text(lib.sample_names[s], module_image + FIRST_SAMPLE_HEADER + SAMPLE_HEADER_BYTES * (s - 1),
                  SAMPLE_NAME_BYTES);
    find_first_pass();
    for (bool& kept : checkpoint_kept) kept = false;
    restart();
    lib.loaded = true;
    return 0;
}

const char* zindle_report(void) { return lib.report; }

size_t zindle_render(int16_t* out, size_t frames) {
    if (!lib.loaded || out == nullptr || lib.in_callback || !output_allowed(out, frames)) return 0;
    // Small calls inside the buffer, with no row starting in them, are the
    // common case of callers that ask for a few frames at a time.
    if (frames <= lib.waiting &&
        (lib.queue_count == 0 || lib.queue[lib.queue_head].frame >= lib.frames_given + frames)) {
        const std::int16_t* from = output_buffers[next_buffer] + 2 * lib.waiting_at;
        for (std::size_t i = 0; i < 2 * frames; ++i) out[i] = from[i];
        const auto taken = static_cast<std::uint32_t>(frames);
        lib.frames_given += taken;
        lib.waiting_at += taken;
        lib.waiting -= taken;
        return frames;
    }
    give_frames(out, frames);
    return frames;
}

int zindle_seek(uint64_t frame) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    if (lib.in_callback) return ZINDLE_ERROR_IN_CALLBACK;
    if (frame > ZINDLE_SEEK_MAX_FRAMES) return ZINDLE_ERROR_ARGUMENT;
    const std::uint32_t k = checkpoint_before(frame);
    const std::uint64_t at = k * CHECKPOINT_FRAMES;
    if (lib.jumped || frame < lib.frames_given || at > lib.frames_given) {
        if (k > 0)
            restore_checkpoint(k);
        else
            restart();
    }
    lib.quiet = true;
    give_frames(nullptr, frame - lib.frames_given);
    lib.quiet = false;
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
    return lib.in_callback ? lib.current.frame : lib.frames_given;
}

int zindle_order(void) { return lib.loaded ? static_cast<int>(lib.current.order) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_pattern(void) { return lib.loaded ? static_cast<int>(lib.current.pattern) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_row(void) { return lib.loaded ? static_cast<int>(lib.current.row) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_tick(void) { return lib.loaded ? static_cast<int>(current_tick()) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_speed(void) { return lib.loaded ? static_cast<int>(lib.current.speed) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_bytes_per_tick(void) {
    return lib.loaded ? static_cast<int>(lib.current.bytes_per_tick) : ZINDLE_ERROR_NOT_LOADED;
}

int zindle_passes(void) { return lib.loaded ? static_cast<int>(lib.current.passes) : ZINDLE_ERROR_NOT_LOADED; }

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

void zindle_set_row_callback(zindle_row_callback callback, void* user) {
    lib.callback = callback;
    lib.callback_user = user;
}

}  // extern "C"
