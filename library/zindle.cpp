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

// A tick as the engine ran it: the frame it runs in, and the song then
// (the row fields only for a row tick).
struct TickRecord {
    std::uint64_t frame;
    Moment moment;
};

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

    // Frames given out since the load; the engine's own output runs ahead
    // of it by the frames still waiting in its buffer.
    std::uint64_t frames_given;
    std::uint32_t waiting_at;  // first frame of the buffer not yet given out
    std::uint32_t waiting;     // frames of the buffer not yet given out

    PassTracker passes;
    TickRecord queue[TICK_QUEUE];  // ticks the engine ran that are not given out yet
    std::uint32_t queue_head;
    std::uint32_t queue_count;
    Moment current;  // at the last frame given out

    zindle_row_callback callback;
    void* callback_user;
};

constinit Library lib{};

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
    Moment current;
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
    lib.passes = c.passes;
    lib.current = c.current;
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

// The engine's seams while a song is loaded: the loader's report is kept,
// each tick is queued until its frame is given out.
void keep_report(const char* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count && lib.report_length < REPORT_CAPACITY; ++i)
        lib.report[lib.report_length++] = bytes[i];
    lib.report[lib.report_length] = 0;
}

void tick_ran(const TickStart& start) {
    TickRecord record{start.frame, lib.current};
    if (lib.queue_count > 0) record.moment = lib.queue[(lib.queue_head + lib.queue_count - 1) % TICK_QUEUE].moment;
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
    lib.queue[(lib.queue_head + lib.queue_count) % TICK_QUEUE] = record;
    if (lib.queue_count < TICK_QUEUE) ++lib.queue_count;
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

// `take` frames of the buffer are given out: the ticks that run in them
// become the song's moment, and each row that starts is announced to the
// callback unless the frames are passed over.
void hand_over(std::uint32_t take, bool announce) {
    const std::uint64_t end = lib.frames_given + take;
    while (lib.queue_count > 0 && lib.queue[lib.queue_head].frame < end) {
        lib.current = lib.queue[lib.queue_head].moment;
        lib.queue_head = (lib.queue_head + 1) % TICK_QUEUE;
        --lib.queue_count;
        if (lib.current.tick == 0 && announce && lib.callback != nullptr) {
            lib.in_callback = true;
            lib.callback(lib.callback_user, lib.current.row_frame, static_cast<int>(lib.current.order),
                         static_cast<int>(lib.current.pattern), static_cast<int>(lib.current.row));
            lib.in_callback = false;
        }
    }
    lib.frames_given = end;
    lib.waiting_at += take;
    lib.waiting -= take;
}

// Gives out `frames` frames, to `out` or nowhere.
void give_frames(std::int16_t* out, std::uint64_t frames, bool announce) {
    while (frames > 0) {
        if (lib.waiting == 0) {
            keep_checkpoint();
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
        hand_over(take, announce);
        frames -= take;
    }
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
    engine_hooks = EngineHooks{};
    engine_hooks.console = keep_report;
    engine_hooks.tick = tick_ran;
    if (!load_module()) {
        reset_engine();
        return ZINDLE_ERROR_EMPTY_SONG;
    }

    copy_text(lib.title, module_image, TITLE_BYTES);
    for (std::uint32_t s = 1; s < player.song.sample_slots; ++s)
        copy_text(lib.sample_names[s], module_image + sample_header_at(s), SAMPLE_NAME_BYTES);
    lib.passes.reset();
    lib.current = Moment{};
    lib.current.pattern = player.song.order_table[0];
    lib.current.speed = player.song.speed;
    lib.current.bytes_per_tick = player.song.bytes_per_tick;
    lib.frames_given = 0;
    lib.jumped = false;
    lib.waiting = 0;
    lib.waiting_at = 0;
    lib.queue_head = 0;
    lib.queue_count = 0;
    for (bool& kept : checkpoint_kept) kept = false;
    keep_checkpoint();
    find_first_pass();
    restart();
    lib.loaded = true;
    return 0;
}

const char* zindle_report(void) { return lib.report; }

size_t zindle_render(int16_t* out, size_t frames) {
    if (!lib.loaded || out == nullptr || lib.in_callback || !output_allowed(out, frames)) return 0;
    // Small calls inside the buffer are the common case of callers that ask
    // for a few frames at a time.
    if (frames <= lib.waiting) {
        __builtin_memcpy(out, output_buffers[next_buffer] + 2 * lib.waiting_at, frames * BYTES_PER_FRAME);
        hand_over(static_cast<std::uint32_t>(frames), true);
        return frames;
    }
    give_frames(out, frames, true);
    return frames;
}

int zindle_seek(uint64_t frame) {
    if (!lib.loaded) return ZINDLE_ERROR_NOT_LOADED;
    if (lib.in_callback) return ZINDLE_ERROR_IN_CALLBACK;
    if (frame > ZINDLE_SEEK_MAX_FRAMES) return ZINDLE_ERROR_ARGUMENT;
    const std::uint32_t k = checkpoint_before(frame);
    const std::uint64_t at = k * CHECKPOINT_FRAMES;
    if (lib.jumped || frame < lib.frames_given || at > lib.frames_given) restore_checkpoint(k);
    give_frames(nullptr, frame - lib.frames_given, false);
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
    return lib.in_callback ? lib.current.row_frame : lib.frames_given;
}

int zindle_order(void) { return lib.loaded ? static_cast<int>(lib.current.order) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_pattern(void) { return lib.loaded ? static_cast<int>(lib.current.pattern) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_row(void) { return lib.loaded ? static_cast<int>(lib.current.row) : ZINDLE_ERROR_NOT_LOADED; }

int zindle_tick(void) { return lib.loaded ? static_cast<int>(lib.current.tick) : ZINDLE_ERROR_NOT_LOADED; }

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
