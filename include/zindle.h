/*
 * zindle.h: the zindle module engine as a C library.
 *
 * zindle plays 4-channel "M.K." and 15-sample modules, 6 to 32 channel
 * modules and one instrument extension, as 44100 Hz 16-bit stereo PCM.
 * Every frame is defined exactly: the library gives the very bytes that
 * the zindle player plays and zindle-render writes, on every processor.
 *
 * One song at a time per process. The engine is a single static record,
 * so a second zindle_load replaces the song, for every caller in the
 * process. To play several songs at once, use separate processes, or in a
 * browser separate WebAssembly instances.
 *
 * One thread at a time. No function may be called while another call is
 * running in a different thread; callers that use several threads must
 * serialise the calls themselves. Nothing here blocks, allocates, throws,
 * reads a clock or touches a file.
 *
 * Frames are counted from the last zindle_load (or as set by zindle_seek):
 * frame n is the n-th stereo frame, 44100 frames a second.
 *
 * Functions that return int give a negative error code on failure; see
 * zindle_strerror. Texts returned are NUL-terminated, owned by the
 * library, and stay valid until the next zindle_load.
 *
 * Licensed under the MIT licence; see LICENSE.
 */
#ifndef ZINDLE_H
#define ZINDLE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZINDLE_BUILDING_LIBRARY) && defined(__GNUC__) && !defined(_WIN32)
#define ZINDLE_API __attribute__((visibility("default")))
#else
#define ZINDLE_API
#endif

/* Frames per second of everything zindle_render writes. */
#define ZINDLE_SAMPLE_RATE 44100
/* The most bytes of a module file that are looked at. */
#define ZINDLE_IMAGE_BYTES 0x180000
/* Frames the engine makes at a time. */
#define ZINDLE_BLOCK_FRAMES 2048
/*
 * The longest pass counted: 20 minutes of song rounded up to whole blocks,
 * 52,920,320 frames. A song whose first pass has not ended by then is
 * counted as passing there (zindle_pass_frames); zindle-render stops there.
 */
#define ZINDLE_PASS_LIMIT_FRAMES \
    ((20ull * 60 * ZINDLE_SAMPLE_RATE + ZINDLE_BLOCK_FRAMES - 1) / ZINDLE_BLOCK_FRAMES * ZINDLE_BLOCK_FRAMES)

/* Error codes: every one is negative. */
#define ZINDLE_ERROR_NULL_DATA (-1)   /* zindle_load: data is NULL, size is not 0 */
#define ZINDLE_ERROR_EMPTY_SONG (-2)  /* zindle_load: the song length is 0 */
#define ZINDLE_ERROR_NOT_LOADED (-3)  /* no song is loaded */
#define ZINDLE_ERROR_ARGUMENT (-4)    /* an argument is out of range */
#define ZINDLE_ERROR_IN_CALLBACK (-5) /* called from inside the row callback */

/*
 * The furthest frame zindle_seek goes to: 2^30 frames (6 h 45 min 49 s),
 * the span of the engine's 32-bit byte clock. A seek costs about what
 * rendering up to its frame costs, so this also bounds its time (a few
 * seconds for a 4-channel song). zindle-render's --start follows it.
 */
#define ZINDLE_SEEK_MAX_FRAMES 1073741824ull

/* ---- Loading, rendering, seeking ------------------------------------- */

/*
 * Copies the first 0x180000 bytes of data (all of it when size is smaller)
 * into the engine's zeroed image and loads the song. Returns 0 on success,
 * ZINDLE_ERROR_EMPTY_SONG when the song length is 0, ZINDLE_ERROR_NULL_DATA
 * when data is NULL and size is not 0. size 0 is an empty file (data may
 * then be NULL), which has a song length of 0. A later call replaces the
 * song; after a failed call no song is loaded. The caller's bytes are not
 * used after the call returns.
 */
ZINDLE_API int zindle_load(const void* data, size_t size);

/*
 * The loader's console bytes of the last zindle_load, exactly as the
 * player writes them ("channels: 00000004 \r\n..."), NUL-terminated. Also
 * after a failed load; "" before the first load and after a NULL data.
 */
ZINDLE_API const char* zindle_report(void);

/*
 * Writes `frames` stereo frames to out, left then right, signed 16-bit in
 * the machine's byte order, and returns `frames`. Returns 0 and writes
 * nothing when no song is loaded or out is NULL, and inside the row
 * callback. In the WebAssembly module, out must lie in the area that
 * zindle_scratch gives or above the library's own memory (memory the
 * caller has grown): a render that would write over the library's state
 * gives nothing and returns 0, and one that runs past the end of memory
 * traps. Any count works; the
 * frames are the same
 * however the song is cut into calls. The song never ends: it goes on
 * from where it comes back to, as the player does.
 */
ZINDLE_API size_t zindle_render(int16_t* out, size_t frames);

/*
 * Exact seek: afterwards zindle_render continues as if `frame` frames had
 * been rendered since the load, and every position field is what it would
 * then be. Z jumps made since the load are forgotten. Returns 0,
 * ZINDLE_ERROR_NOT_LOADED, ZINDLE_ERROR_ARGUMENT for a frame past
 * ZINDLE_SEEK_MAX_FRAMES (at once, nothing changed), or
 * ZINDLE_ERROR_IN_CALLBACK. A seek starts from the nearest state kept on
 * the way (one every 512 blocks of the song's first 25 minutes as loaded),
 * or, forward and with no Z jump made, from where the song is, and renders
 * from there to `frame` without giving out the frames: it costs about what
 * rendering those costs, a few milliseconds for most seeks on a current
 * PC. The row callback is not called for the rows passed over.
 */
ZINDLE_API int zindle_seek(uint64_t frame);

/* The library's version, "0.2.0" for instance. */
ZINDLE_API const char* zindle_version(void);

/* A short English text for an error code; "unknown error" for others. */
ZINDLE_API const char* zindle_strerror(int error);

/* ---- The Z key ------------------------------------------------------- */

/*
 * What the player's Z key does: the next entry of the order list (entry 0
 * after the last) plays from its first row at the next row, with no
 * pattern loop running. Returns that entry's pattern number (0 to 255),
 * ZINDLE_ERROR_NOT_LOADED or ZINDLE_ERROR_IN_CALLBACK. The engine renders blocks of 2048 frames,
 * so the frames of the current block not yet given out come first, as in
 * the player, whose queued buffers play out before the jump is heard.
 */
ZINDLE_API int zindle_jump(void);

/* ---- Where the song is ----------------------------------------------- */
/*
 * All of these describe the song at the last frame zindle_render gave out
 * (or the frame set by zindle_seek). Before the first row has started
 * (the first 881 frames at the usual tempo) they describe the first row.
 * With no song loaded the int functions return ZINDLE_ERROR_NOT_LOADED and
 * zindle_frame returns 0.
 */
ZINDLE_API uint64_t zindle_frame(void);     /* frames since the load */
ZINDLE_API int zindle_order(void);          /* order entry of the row playing, 0.. */
ZINDLE_API int zindle_pattern(void);        /* its pattern number */
ZINDLE_API int zindle_row(void);            /* row playing, 0 to 63 */
ZINDLE_API int zindle_tick(void);           /* tick within the row, 0 is the row's own */
ZINDLE_API int zindle_speed(void);          /* ticks per row */
ZINDLE_API int zindle_bytes_per_tick(void); /* tempo: output bytes (4 a frame) per tick */
/*
 * Passes completed: a pass ends when a row plays for the second time in
 * it, except rows that a pattern loop (E6y) repeats on purpose. A B or D
 * command that goes back, or the wrap after the last order entry, ends a
 * pass where it lands on a row already heard. This is zindle-render's rule.
 */
ZINDLE_API int zindle_passes(void);

/* ---- The song -------------------------------------------------------- */
/* With no song loaded the int functions return ZINDLE_ERROR_NOT_LOADED,
   the texts are "" and zindle_pass_frames returns 0. */
ZINDLE_API const char* zindle_title(void); /* up to 20 bytes, as stored */
/* The name of sample 1 to zindle_sample_count(), up to 22 bytes as stored;
   NULL for any other number. */
ZINDLE_API const char* zindle_sample_name(int sample);
ZINDLE_API int zindle_channel_count(void); /* 4 to 32 */
ZINDLE_API int zindle_sample_count(void);  /* 15 or 31 */
ZINDLE_API int zindle_extended_mode(void); /* 1 with the instrument extension */
ZINDLE_API int zindle_song_length(void);   /* order entries used, 1 to 255 */
/*
 * Frames in the first pass: the frame at which the first row heard for the
 * second time starts. When no row comes back within 20 minutes of song
 * rounded up to whole 2048-frame blocks (52,920,320 frames, where
 * zindle-render stops), that length, and zindle_return_order gives -1.
 */
ZINDLE_API uint64_t zindle_pass_frames(void);
/* Where the song comes back to at the end of the first pass: its order
   entry and row, or -1 for both when it does not within that length. */
ZINDLE_API int zindle_return_order(void);
ZINDLE_API int zindle_return_row(void);

/* ---- Following the rows ---------------------------------------------- */

/*
 * Called from inside zindle_render once for every row that starts in the
 * frames that call gives out, in order, with the number of the row's first
 * frame, its order entry, pattern and row. While it runs, every position
 * function describes that row as it starts: zindle_frame gives the row's
 * first frame (the callback's `frame`), zindle_tick 0. NULL (the default)
 * calls nothing. Nothing that would move the song works from inside the
 * callback: zindle_render gives 0 frames and writes nothing; zindle_load,
 * zindle_seek and zindle_jump return ZINDLE_ERROR_IN_CALLBACK and change
 * nothing. The render that called it goes on exactly. zindle_load keeps
 * the callback.
 */
typedef void (*zindle_row_callback)(void* user, uint64_t frame, int order, int pattern, int row);
ZINDLE_API void zindle_set_row_callback(zindle_row_callback callback, void* user);

#if defined(__wasm__)
/*
 * WebAssembly only: the caller's scratch area in the module's memory, for
 * a caller that owns no memory there (JavaScript): the module's bytes go
 * there before zindle_load, and frames may be rendered there. Its offset
 * for any size up to ZINDLE_IMAGE_BYTES, 0 for a larger one.
 */
void* zindle_scratch(size_t size);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZINDLE_H */
