// The API tests' helpers written in C (library_api_c.c).
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// zindle_render in calls of `chunk` frames; returns the frames written.
size_t render_in_chunks(int16_t* out, size_t frames, size_t chunk);
// zindle_seek, then `frames` frames; 0 when both succeeded.
int seek_and_render(uint64_t frame, int16_t* out, size_t frames);
// Calls every function of the API with no song loaded; returns how many
// gave the answer for that case (all 34 should).
int touch_every_function(void);

#ifdef __cplusplus
}
#endif
