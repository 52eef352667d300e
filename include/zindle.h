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
 * serialise the calls themselves. The one exception is
 * zindle_get_position, which any thread may call at any time, also while
 * another thread is inside zindle_render: it takes no lock and never
 * blocks on that thread (a read that overlaps the few stores of an update
 * is simply read again), and always gives one consistent snapshot of the
 * position at the last frame given out. Nothing here blocks, allocates, throws, reads a clock
 * or touches a file.
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

/* zindle_cell and zindle_channel name a struct and a function, as C
   allows; C++ compilers that warn of the function hiding the struct's
   constructor are told that it is meant. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#endif

/*
 * On Windows the functions come from zindle.dll and are declared
 * __declspec(dllimport). A program that links the static library
 * (libzindle.a) instead defines ZINDLE_STATIC before including this header
 * (-DZINDLE_STATIC; the CMake target zindle::zindle_static does it).
 */
#if defined(_WIN32) && defined(ZINDLE_BUILDING_DLL)
#define ZINDLE_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(ZINDLE_STATIC) && !defined(ZINDLE_BUILDING_LIBRARY)
#define ZINDLE_API __declspec(dllimport)
#elif defined(ZINDLE_BUILDING_LIBRARY) && defined(__GNUC__) && !defined(_WIN32)
#define ZINDLE_API __attribute__((visibility("default")))
#else
#define ZINDLE_API
#endif

#define ZINDLE_VERSION_MAJOR 0
#define ZINDLE_VERSION_MINOR 3
#define ZINDLE_VERSION_PATCH 0

/* Frames per second of everything zindle_render writes. */
#define ZINDLE_SAMPLE_RATE 44100
/* The most bytes of a module file that are looked at. */
#define ZINDLE_IMAGE_BYTES 0x180000
#define ZINDLE_BLOCK_FRAMES 2048 /* frames the engine makes at a time */
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
 * when data is NULL and size is not 0, ZINDLE_ERROR_IN_CALLBACK from inside
 * the row callback (nothing changed). size 0 is an empty file (data may
 * then be NULL), which has a song length of 0. A later call replaces the
 * song; after a failed call (but one from the callback) no song is loaded. The caller's bytes are not
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
 * or, forward with no Z jump made and no mute changed since the block the
 * seek lands in was made, from where the song is, and renders
 * from there to `frame` without giving out the frames: it costs about what
 * rendering those costs, a few milliseconds for most seeks on a current
 * PC. The row callback is not called for the rows passed over.
 */
ZINDLE_API int zindle_seek(uint64_t frame);

/*
 * Like zindle_render, each sample as value / 32768.0f: exactly the frames
 * zindle_render would give, in [-0.9375, 0.9375). The two may be mixed in
 * one song; both follow zindle_set_repeat's end.
 */
ZINDLE_API size_t zindle_render_float(float* out, size_t frames);

/*
 * How long the song plays. -1 (the default, what the player does): it
 * never ends. 0: once; zindle_render gives frames up to the end of the
 * first pass (zindle_pass_frames() frames after a load), returns fewer
 * than asked there and 0 from then on. n > 0: n more passes, each ending
 * by zindle_passes' rule (a song whose pass does not end within
 * ZINDLE_PASS_LIMIT_FRAMES counts that many frames a pass). Returns 0, or
 * ZINDLE_ERROR_ARGUMENT below -1. It holds across loads and seeks, and
 * works without a song; a seek to or past the end leaves nothing to
 * render.
 */
ZINDLE_API int zindle_set_repeat(int count);

/* The library's version, "0.3.0" for instance. */
ZINDLE_API const char* zindle_version(void);

/* A short English text for an error code; "unknown error" for others. */
ZINDLE_API const char* zindle_strerror(int error);

/* ---- The Z key ------------------------------------------------------- */

/*
 * What the player's Z key does: the next entry of the order list (entry 0
 * after the last) plays from its first row at the next row, with no
 * pattern loop running. Returns that entry's pattern number (0 to 255),
 * ZINDLE_ERROR_NOT_LOADED or ZINDLE_ERROR_IN_CALLBACK. The engine renders
 * blocks of 2048 frames, so the frames of the current block not yet given
 * out come first, as in the player, whose queued buffers play out before
 * the jump is heard.
 */
ZINDLE_API int zindle_jump(void);

/*
 * Like zindle_jump, to order entry `order` (0 to zindle_song_length() - 1)
 * from its row `row` (0 to 63). Returns that entry's pattern number,
 * ZINDLE_ERROR_ARGUMENT for an order or row out of range,
 * ZINDLE_ERROR_NOT_LOADED or ZINDLE_ERROR_IN_CALLBACK.
 */
ZINDLE_API int zindle_jump_to(int order, int row);

/* ---- Channels ---------------------------------------------------------- */

/*
 * Mutes (muted != 0) or unmutes channel 0 to zindle_channel_count() - 1.
 * A muted channel goes on playing (effects, envelopes, everything the
 * song does) but adds nothing to the output. Mutes apply to the frames the
 * engine has not made yet (up to 2047 frames of the current block are
 * already made; after a seek, from the seek's frame on), hold across seeks
 * and are cleared by zindle_load. With nothing muted the frames are those
 * of 0.2. Returns the channel's previous state, 0 or 1,
 * ZINDLE_ERROR_ARGUMENT or ZINDLE_ERROR_NOT_LOADED.
 *
 * Stems: each channel adds (v >> 1) to each side it is panned to, where v
 * is its own smoothed value, and a sample of the mix is that sum clipped to
 * -30720..30719. A stem (every channel muted but one) is one channel's
 * term, which never clips. So on every sample where the mix is not at a
 * clip bound, the stems' samples sum exactly to the mix's sample; where it
 * is, their sum lies at or beyond that bound.
 */
ZINDLE_API int zindle_mute(int channel, int muted);

struct zindle_channel {
    int sample; /* the sample playing, 1 to 31, 0 none or silent */
    int volume; /* the volume it is heard at, 0 to 64 */
    int period; /* its current period in the cell's units, 0 when silent */
    int pan;    /* 0 (left) to 255 (right): 0, 128 (both sides) or 255 */
    int muted;  /* 1 after zindle_mute */
};
/*
 * The channel as heard at the last frame given out (the engine runs up to
 * 2047 frames ahead; this follows the frames given), as its last tick set
 * it. 0, or ZINDLE_ERROR_ARGUMENT for a channel out of range or a NULL
 * state, or ZINDLE_ERROR_NOT_LOADED.
 */
ZINDLE_API int zindle_channel(int channel, struct zindle_channel* state);

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

struct zindle_position {
    uint64_t frame;
    int order, pattern, row, tick, speed, bytes_per_tick, passes;
};
/*
 * All of the above of one moment, the last frame given out: callable from
 * any thread at any time (see the thread rule at the top). 0, or
 * ZINDLE_ERROR_NOT_LOADED (nothing written), or ZINDLE_ERROR_ARGUMENT for a
 * NULL position.
 */
ZINDLE_API int zindle_get_position(struct zindle_position* position);

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

/* ---- The patterns ---------------------------------------------------- */

/* The pattern number of an entry of the order list, 0 to 127 (entries past
   the song length as stored), or up to zindle_song_length() - 1 for a song
   length past 128 (the bytes behind the list, as the song plays them);
   ZINDLE_ERROR_ARGUMENT for any other entry, ZINDLE_ERROR_NOT_LOADED. */
ZINDLE_API int zindle_order_entry(int order);
/* Patterns stored in the file: 1 + the highest of the 128 order entries;
   ZINDLE_ERROR_NOT_LOADED. */
ZINDLE_API int zindle_pattern_count(void);

struct zindle_cell {
    int period; /* the cell's period field, 0 to 4095: 0 none, 1 key-off, 2 the vibrato goes on, 29 and up a note */
    int note;   /* that note in semitones, C-0 = 0 at period 1712 (so 856 is 12, 428 is 24, 214 is 36), nearest
                   (periods above 1712 count as 0); -1 below 29 */
    int sample; /* 0 to 31, 0 none */
    int effect; /* 0 to 15 */
    int param;  /* 0 to 255 */
    int pan;    /* the pan bits: 0, 0x40, 0x80 or 0xC0 */
};
/* The cell as stored (zeros past the file's end): 0, or
   ZINDLE_ERROR_ARGUMENT for a pattern (0 to zindle_pattern_count() - 1),
   row (0 to 63) or channel out of range or a NULL cell, or
   ZINDLE_ERROR_NOT_LOADED. */
ZINDLE_API int zindle_cell(int pattern, int row, int channel, struct zindle_cell* cell);

/*
 * 1 when the bytes look like a module zindle plays, 0 when not. Loads
 * nothing, changes nothing, takes any bytes and any size (NULL gives 0)
 * and reads nothing past size. A known channel tag at byte 1080 ("M.K.",
 * "6CHN", "8CHN", "10CH" to "32CH") is a module. Untagged, a 15-sample
 * module must be plausible: more than its 600 header bytes; every sample
 * header in range (finetune 0 to 15, volume 0 to 64, at most 64 KiB, a
 * loop within the sample, its start counted in words or bytes); a song
 * length of 1 to 128 whose entries name patterns 0 to 63 (the unused
 * entries below 128); and no more bytes than the header declares plus one
 * pattern (files cut short pass).
 */
ZINDLE_API int zindle_probe(const void* data, size_t size);

/* ---- Following the rows ---------------------------------------------- */

/*
 * Called from inside zindle_render once for every row that starts in the
 * frames that call gives out, in order, with the number of the row's first
 * frame, its order entry, pattern and row. While it runs, every position
 * function describes that row as it starts: zindle_frame gives the row's
 * first frame (the callback's `frame`), zindle_tick 0. NULL (the default)
 * calls nothing. Nothing that would move the song works from inside the
 * callback: zindle_render and zindle_render_float give 0 frames and write
 * nothing; zindle_load, zindle_seek, zindle_jump and zindle_jump_to return
 * ZINDLE_ERROR_IN_CALLBACK and change nothing. The render that called it
 * goes on exactly. zindle_load keeps the callback. It must return: a C++
 * exception thrown out of it ends the program (the Linux library has no
 * unwind tables to pass it on), and longjmp out of it is not allowed.
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

#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZINDLE_H */
