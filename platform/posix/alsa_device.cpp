// The sound device on ALSA's "default" PCM, so that desktop sound servers
// work through their ALSA plugins.
#include <alsa/asoundlib.h>
#include <pthread.h>

#include "sound_device.h"

namespace zindle::posix {

namespace {

// Room for the host's four buffers of 2048 frames (186 ms at 44.1 kHz) and
// some over, so that a write never has to wait for the device.
constexpr unsigned ALSA_LATENCY_US = 250000;

snd_pcm_t* alsa(Pcm* pcm) { return reinterpret_cast<snd_pcm_t*>(pcm); }

// ALSA reports its troubles itself on standard error; the host reports
// what matters on its console.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
void quiet() { snd_lib_error_set_handler(quiet_alsa); }
pthread_once_t quieted = PTHREAD_ONCE_INIT;

}  // namespace

Pcm* open_pcm(const PcmFormat& format, unsigned long long& buffer_frames) {
    pthread_once(&quieted, quiet);
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return nullptr;
    const snd_pcm_format_t sample_format = format.bits == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8;
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period_frames = 0;
    snd_pcm_sw_params_t* software = nullptr;
    // Playing starts with the first frames written, as waveOut's does: the
    // threshold snd_pcm_set_params picks (a nearly full buffer) is more than
    // the host ever queues.
    const bool ready = snd_pcm_set_params(pcm, sample_format, SND_PCM_ACCESS_RW_INTERLEAVED, format.channels,
                                          format.rate, 1, ALSA_LATENCY_US) == 0 &&
                       snd_pcm_get_params(pcm, &buffer, &period_frames) == 0 &&
                       snd_pcm_sw_params_malloc(&software) == 0 && snd_pcm_sw_params_current(pcm, software) == 0 &&
                       snd_pcm_sw_params_set_start_threshold(pcm, software, 1) == 0 &&
                       snd_pcm_sw_params(pcm, software) == 0 && snd_pcm_nonblock(pcm, 1) == 0;
    if (software != nullptr) snd_pcm_sw_params_free(software);
    if (!ready) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    buffer_frames = buffer;
    return reinterpret_cast<Pcm*>(pcm);
}

void close_pcm(Pcm* pcm) { snd_pcm_close(alsa(pcm)); }

long long write_pcm(Pcm* pcm, const void* frames_data, unsigned long long frames) {
    return snd_pcm_writei(alsa(pcm), frames_data, static_cast<snd_pcm_uframes_t>(frames));
}

bool recover_pcm(Pcm* pcm, int error) { return snd_pcm_recover(alsa(pcm), error, 1) >= 0; }

bool pcm_underrun(Pcm* pcm) { return snd_pcm_state(alsa(pcm)) == SND_PCM_STATE_XRUN; }

unsigned long long pcm_unplayed(Pcm* pcm, unsigned long long buffer_frames) {
    snd_pcm_status_t* status = nullptr;
    if (snd_pcm_status_malloc(&status) < 0) return 0;
    unsigned long long unplayed = 0;
    if (snd_pcm_status(alsa(pcm), status) == 0) {
        const snd_pcm_uframes_t avail = snd_pcm_status_get_avail(status);
        if (avail < buffer_frames) unplayed = buffer_frames - avail;
    }
    snd_pcm_status_free(status);
    return unplayed;
}

bool pcm_delay(Pcm* pcm, long long& frames) {
    snd_pcm_sframes_t held = 0;
    if (snd_pcm_delay(alsa(pcm), &held) != 0) return false;
    frames = held;
    return true;
}

bool pcm_delay_now(Pcm* pcm, long long& frames) {
    snd_pcm_sframes_t room = 0;
    snd_pcm_sframes_t held = 0;
    if (snd_pcm_avail_delay(alsa(pcm), &room, &held) != 0) return false;
    frames = held;
    return true;
}

}  // namespace zindle::posix
