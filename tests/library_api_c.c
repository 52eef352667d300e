/* The API tests' C half: the header compiles as C, and the helpers that
   drive the library are written against it in C, as a C caller would. */
#include "library_api_c.h"

#include <zindle.h>

size_t render_in_chunks(int16_t* out, size_t frames, size_t chunk) {
    size_t done = 0;
    while (done < frames) {
        size_t want = frames - done < chunk ? frames - done : chunk;
        size_t got = zindle_render(out + 2 * done, want);
        if (got != want) return done + got;
        done += got;
    }
    return done;
}

int seek_and_render(uint64_t frame, int16_t* out, size_t frames) {
    int result = zindle_seek(frame);
    if (result != 0) return result;
    return zindle_render(out, frames) == frames ? 0 : -100;
}

/* The calls of every declaration, so that a C compiler checks each one. */
int touch_every_function(void) {
    int16_t frame[2];
    int sum = 0;
    sum += zindle_load(NULL, 0) < 0;
    sum += zindle_report() != NULL;
    sum += zindle_render(frame, 1) == 0;
    sum += zindle_seek(0) < 0;
    sum += zindle_version() != NULL;
    sum += zindle_strerror(ZINDLE_ERROR_NOT_LOADED) != NULL;
    sum += zindle_jump() < 0;
    sum += zindle_frame() == 0;
    sum += zindle_order() < 0;
    sum += zindle_pattern() < 0;
    sum += zindle_row() < 0;
    sum += zindle_tick() < 0;
    sum += zindle_speed() < 0;
    sum += zindle_bytes_per_tick() < 0;
    sum += zindle_passes() < 0;
    sum += zindle_title() != NULL;
    sum += zindle_sample_name(1) == NULL;
    sum += zindle_channel_count() < 0;
    sum += zindle_sample_count() < 0;
    sum += zindle_extended_mode() < 0;
    sum += zindle_song_length() < 0;
    sum += zindle_pass_frames() == 0;
    sum += zindle_return_order() < 0;
    sum += zindle_return_row() < 0;
    zindle_set_row_callback(NULL, NULL);
    {
        float floats[2];
        struct zindle_cell cell;
        struct zindle_channel channel;
        struct zindle_position position;
        sum += zindle_render_float(floats, 1) == 0;
        sum += zindle_set_repeat(-1) == 0;
        sum += zindle_jump_to(0, 0) == ZINDLE_ERROR_NOT_LOADED;
        sum += zindle_mute(0, 1) == ZINDLE_ERROR_NOT_LOADED;
        sum += zindle_probe(frame, sizeof frame) == 0;
        sum += zindle_order_entry(0) == ZINDLE_ERROR_NOT_LOADED;
        sum += zindle_pattern_count() == ZINDLE_ERROR_NOT_LOADED;
        sum += zindle_cell(0, 0, 0, &cell) == ZINDLE_ERROR_NOT_LOADED;
        sum += zindle_channel(0, &channel) == ZINDLE_ERROR_NOT_LOADED;
        sum += zindle_get_position(&position) == ZINDLE_ERROR_NOT_LOADED;
    }
    return sum;
}
