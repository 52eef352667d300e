/* A sound card whose played count stops, for the player's end-to-end tests.
 * Loaded into the player with LD_PRELOAD over the file sink of
 * capture.conf: the frames still go to the file, and the delay is a card's
 * that plays at 44100 frames a second from the first write. After
 * ZINDLE_STALL_AFTER_MS milliseconds the played count stops 100 frames
 * short of a 2048-frame boundary, where a frozen sound server can leave it:
 * the header being played then looks all but done, for as long as the
 * stall lasts. */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

enum { RATE = 44100, HEADER_FRAMES = 2048, SHORT_BY = 100 };

static unsigned long long written;
static long long first_write_ns = -1;

static long long now_ns(void) {
    struct timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    return (long long)at.tv_sec * 1000000000LL + at.tv_nsec;
}

static unsigned long long frames_in(long long ns) { return (unsigned long long)ns * RATE / 1000000000ULL; }

static unsigned long long played(void) {
    if (first_write_ns < 0) return 0;
    const long long elapsed = now_ns() - first_write_ns;
    const char* after = getenv("ZINDLE_STALL_AFTER_MS");
    const long long stall_ns = after != NULL ? atoll(after) * 1000000LL : -1;
    unsigned long long frames = frames_in(elapsed);
    if (stall_ns >= 0 && elapsed >= stall_ns) {
        const unsigned long long at_stall = frames_in(stall_ns);
        frames = (at_stall / HEADER_FRAMES + 1) * HEADER_FRAMES - SHORT_BY;
        if (frames < at_stall) frames += HEADER_FRAMES;
    }
    return frames < written ? frames : written;
}

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) {
    snd_pcm_sframes_t (*real)(snd_pcm_t*, const void*, snd_pcm_uframes_t);
    /* The way POSIX gives for a function's address from dlsym. */
    *(void**)&real = dlsym(RTLD_NEXT, "snd_pcm_writei");
    const snd_pcm_sframes_t result = real(pcm, buffer, size);
    if (result > 0) {
        if (first_write_ns < 0) first_write_ns = now_ns();
        written += (unsigned long long)result;
    }
    return result;
}

int snd_pcm_delay(snd_pcm_t* pcm, snd_pcm_sframes_t* delay) {
    (void)pcm;
    *delay = (snd_pcm_sframes_t)(written - played());
    return 0;
}

int snd_pcm_avail_delay(snd_pcm_t* pcm, snd_pcm_sframes_t* avail, snd_pcm_sframes_t* delay) {
    *avail = snd_pcm_avail(pcm);
    return snd_pcm_delay(pcm, delay);
}
