// Stand-ins for libzindle 0.3's calls over the 0.2 library, so the binding
// builds before 0.3 lands. Controls that 0.2 lacks are refused.
#pragma once
#include "zindle.h"

#define ZINDLE_BLOCK_FRAMES 2048
#define ZINDLE_SEEK_MAX_FRAMES 1073741824ull

struct zindle_cell {
    int period, note, sample, effect, param, pan;
};
struct zindle_channel {
    int sample, volume, period, pan, muted;
};
struct zindle_position {
    uint64_t frame;
    int order, pattern, row, tick, speed, bytes_per_tick, passes;
};

static inline int zindle_get_position(struct zindle_position* p) {
    p->frame = zindle_frame();
    p->order = zindle_order();
    p->pattern = zindle_pattern();
    p->row = zindle_row();
    p->tick = zindle_tick();
    p->speed = zindle_speed();
    p->bytes_per_tick = zindle_bytes_per_tick();
    p->passes = zindle_passes();
    return 0;
}
static inline size_t zindle_render_float(float* out, size_t frames) {
    int16_t block[2 * 2048];
    size_t done = 0;
    while (done < frames) {
        const size_t want = frames - done < 2048 ? frames - done : 2048;
        const size_t got = zindle_render(block, want);
        for (size_t i = 0; i < 2 * got; ++i) out[2 * done + i] = block[i] / 32768.0f;
        done += got;
        if (got < want) break;
    }
    return done;
}
static inline int zindle_probe(const void*, size_t) { return 1; }
static inline int zindle_set_repeat(int count) { return count == -1 ? 0 : ZINDLE_ERROR_ARGUMENT; }
static inline int zindle_jump_to(int, int) { return ZINDLE_ERROR_ARGUMENT; }
static inline int zindle_mute(int, int) { return ZINDLE_ERROR_ARGUMENT; }
static inline int zindle_cell(int, int, int, struct zindle_cell*) { return ZINDLE_ERROR_ARGUMENT; }
static inline int zindle_channel(int, struct zindle_channel*) { return ZINDLE_ERROR_ARGUMENT; }
