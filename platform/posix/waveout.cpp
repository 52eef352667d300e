// waveOut on Linux through ALSA's "default" PCM, so desktop sound servers
// work through their ALSA plugins. A device thread plays the submitted
// headers in submission order and reports each one finished, one at a
// time, once ALSA has taken all of its frames (see pace).
#include <alsa/asoundlib.h>
#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "posix_platform.h"
#include <mmsystem.h>

struct HWAVEOUT__ {
    snd_pcm_t* pcm;
    DWORD_PTR callback;
    DWORD_PTR instance;
    unsigned frame_bytes;
    unsigned rate;
    unsigned long long frames_taken;
    long long clock_start_ns;
    // Headers waiting to be played, oldest first.
    static constexpr unsigned QUEUE_SLOTS = 64;
    WAVEHDR* queue[QUEUE_SLOTS];
    unsigned queue_head;
    unsigned queue_count;
    pthread_mutex_t lock;
    pthread_cond_t ready;
};

namespace zindle::posix {

namespace {

// Small, but comfortably more than the device thread needs between writes:
// the host keeps three more buffers queued behind the one being written.
constexpr unsigned ALSA_LATENCY_US = 50000;

HWAVEOUT__ device;
bool device_open;

void notify(HWAVEOUT__& out, UINT message, DWORD_PTR param1) {
    if (out.callback == 0) return;
    const auto callback = reinterpret_cast<void(CALLBACK*)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(out.callback);
    callback(&out, message, out.instance, param1, 0);
}

// ALSA reports its troubles itself on standard error; the host reports
// what matters on its console.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

long long now_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void sleep_until_ns(long long due) {
    const timespec at = {static_cast<time_t>(due / 1000000000LL), static_cast<long>(due % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// Hands all frames of a header to ALSA. An underrun (the host fell behind)
// or a suspend is recovered and the rest of the buffer follows, so nothing
// is skipped. A device that stops working loses the rest of the buffer;
// the pacing below still moves the song at its speed.
void play(HWAVEOUT__& out, const WAVEHDR& header) {
    const auto* data = reinterpret_cast<const unsigned char*>(header.lpData);
    auto left = static_cast<snd_pcm_uframes_t>(header.dwBufferLength / out.frame_bytes);
    while (left > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(out.pcm, data, left);
        if (written >= 0) {
            data += static_cast<snd_pcm_uframes_t>(written) * out.frame_bytes;
            left -= static_cast<snd_pcm_uframes_t>(written);
        } else if (written == -EAGAIN || written == -EINTR) {
            continue;
        } else if (snd_pcm_recover(out.pcm, static_cast<int>(written), 1) < 0) {
            return;
        }
    }
}

// A sound card holds what it was given and plays it at its own pace, so a
// buffer it has taken is as good as played. A sink that swallows frames at
// once (a file, the null device) would have the refills run flat out and
// starve the window's keys; such a sink is held to the nominal rate, so a
// buffer is reported no earlier than it could have been heard. Which kind
// the sink is shows in what it still holds right after a write.
void pace(HWAVEOUT__& out, unsigned frames) {
    out.frames_taken += frames;
    snd_pcm_sframes_t held = 0;
    if (snd_pcm_delay(out.pcm, &held) < 0 || held < 0) held = 0;
    const auto held_frames = static_cast<unsigned long long>(held);
    const unsigned long long played = out.frames_taken > held_frames ? out.frames_taken - held_frames : 0;
    const auto played_ns = static_cast<long long>(played * 1000000000ULL / out.rate);
    if (held_frames >= frames / 2)
        out.clock_start_ns = now_ns() - played_ns;
    else
        sleep_until_ns(out.clock_start_ns + played_ns);
}

void* run_device(void* argument) {
    HWAVEOUT__& out = *static_cast<HWAVEOUT__*>(argument);
    for (;;) {
        pthread_mutex_lock(&out.lock);
        while (out.queue_count == 0) pthread_cond_wait(&out.ready, &out.lock);
        WAVEHDR* header = out.queue[out.queue_head];
        pthread_mutex_unlock(&out.lock);

        play(out, *header);
        pace(out, header->dwBufferLength / out.frame_bytes);

        pthread_mutex_lock(&out.lock);
        out.queue_head = (out.queue_head + 1) % HWAVEOUT__::QUEUE_SLOTS;
        --out.queue_count;
        header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        pthread_mutex_unlock(&out.lock);
        notify(out, MM_WOM_DONE, reinterpret_cast<DWORD_PTR>(header));
    }
}

HWAVEOUT__* device_of(HWAVEOUT handle) { return device_open && handle == &device ? handle : nullptr; }

}  // namespace

}  // namespace zindle::posix

using namespace zindle::posix;

extern "C" {

// Device 0 (and the mapper) is ALSA's default PCM; PCM formats of 8 or 16
// bits, one or two channels, at any rate.
MMRESULT WINAPI waveOutOpen(LPHWAVEOUT wave_out, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                            DWORD_PTR instance, DWORD flags) {
    if (device_id != 0 && device_id != WAVE_MAPPER) return MMSYSERR_BADDEVICEID;
    if (flags != CALLBACK_FUNCTION && flags != CALLBACK_NULL) return MMSYSERR_INVALFLAG;
    if (wave_out == nullptr || format == nullptr) return MMSYSERR_INVALPARAM;
    if (format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels < 1 || format->nChannels > 2 ||
        (format->wBitsPerSample != 8 && format->wBitsPerSample != 16) || format->nSamplesPerSec == 0 ||
        format->nBlockAlign != format->nChannels * format->wBitsPerSample / 8)
        return WAVERR_BADFORMAT;
    if (device_open) return MMSYSERR_BADDEVICEID;

    snd_lib_error_set_handler(quiet_alsa);
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return MMSYSERR_BADDEVICEID;
    const snd_pcm_format_t sample_format = format->wBitsPerSample == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8;
    if (snd_pcm_set_params(pcm, sample_format, SND_PCM_ACCESS_RW_INTERLEAVED, format->nChannels,
                           format->nSamplesPerSec, 1, ALSA_LATENCY_US) < 0) {
        snd_pcm_close(pcm);
        return WAVERR_BADFORMAT;
    }

    device.pcm = pcm;
    device.callback = flags == CALLBACK_FUNCTION ? callback : 0;
    device.instance = instance;
    device.frame_bytes = format->nBlockAlign;
    device.rate = format->nSamplesPerSec;
    device.frames_taken = 0;
    device.clock_start_ns = now_ns();
    device.queue_head = 0;
    device.queue_count = 0;
    pthread_mutex_init(&device.lock, nullptr);
    pthread_cond_init(&device.ready, nullptr);
    *wave_out = &device;
    device_open = true;
    notify(device, MM_WOM_OPEN, 0);
    if (!start_thread(run_device, &device)) {
        device_open = false;
        snd_pcm_close(pcm);
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT wave_out, LPWAVEHDR header, UINT size) {
    HWAVEOUT__* out = device_of(wave_out);
    if (out == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(WAVEHDR) || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    pthread_mutex_lock(&out->lock);
    const bool queued = (header->dwFlags & WHDR_INQUEUE) != 0;
    if (!queued) header->dwFlags |= WHDR_PREPARED;
    pthread_mutex_unlock(&out->lock);
    return queued ? WAVERR_STILLPLAYING : MMSYSERR_NOERROR;
}

// Queues the header behind those already queued and returns at once.
MMRESULT WINAPI waveOutWrite(HWAVEOUT wave_out, LPWAVEHDR header, UINT size) {
    HWAVEOUT__* out = device_of(wave_out);
    if (out == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    MMRESULT result = MMSYSERR_NOERROR;
    pthread_mutex_lock(&out->lock);
    if ((header->dwFlags & WHDR_PREPARED) == 0) {
        result = WAVERR_UNPREPARED;
    } else if ((header->dwFlags & WHDR_INQUEUE) != 0) {
        result = WAVERR_STILLPLAYING;
    } else if (out->queue_count == HWAVEOUT__::QUEUE_SLOTS) {
        result = MMSYSERR_NOMEM;
    } else {
        header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        out->queue[(out->queue_head + out->queue_count) % HWAVEOUT__::QUEUE_SLOTS] = header;
        ++out->queue_count;
        pthread_cond_signal(&out->ready);
    }
    pthread_mutex_unlock(&out->lock);
    return result;
}

}  // extern "C"
