// waveOut on Linux over a sound device (sound_device.h; ALSA's in
// alsa_device.cpp). There is no device thread: the device never blocks a
// write and has room for everything the host keeps queued, a write hands
// its frames over at once, and the thread waiting in GetMessageA serves the
// device (serve_sound_device), reporting each header finished, in
// submission order, once all of its frames have been played. What the
// program says when the device comes and goes is the host's (the notices
// in posix_platform.h).
#include <pthread.h>

#include <time.h>

#include <cerrno>

#include "posix_platform.h"
#include "sound_device.h"
#include <mmsystem.h>

struct HWAVEOUT__ {
    zindle::posix::Pcm* pcm;
    DWORD_PTR callback;
    DWORD_PTR instance;
    unsigned frame_bytes;
    unsigned rate;
    unsigned long long device_frames;
    // Frames of all headers written, and of those handed to the device (or lost
    // to a device that stopped working), since the open.
    unsigned long long frames_written;
    unsigned long long frames_taken;
    // The nominal clock: frame n is heard no earlier than n / rate seconds
    // after this.
    long long clock_start_ns;
    // Whether the sink keeps what it is given and plays it at its pace.
    bool sink_holds;
    // The device stopped working (a sound server that went away): it is
    // closed, the frames go by on the nominal clock and the device is
    // opened again every REOPEN_INTERVAL_NS until it comes back.
    bool lost;
    long long reopen_due_ns;
    // A device that plays nothing between two looks (a frozen sound server)
    // is looked at less and less often, up to STALL_MOST_NS apart, instead
    // of being polled for frames that do not move.
    unsigned long long last_played;
    long long stall_ns;
    zindle::posix::PcmFormat format;
    // Headers not yet reported, oldest first, with frames_written as it
    // stood after each.
    static constexpr unsigned QUEUE_SLOTS = 64;
    WAVEHDR* queue[QUEUE_SLOTS];
    unsigned long long queue_end[QUEUE_SLOTS];
    unsigned queue_head;
    unsigned queue_count;
    pthread_mutex_t lock;
};

namespace zindle::posix {

namespace {

constexpr long long NANOS_PER_SECOND = 1000000000LL;
// A lost device is tried again four times a second.
constexpr long long REOPEN_INTERVAL_NS = 250000000LL;
// How long the first open may take, and how often Escape is looked for
// meanwhile.
constexpr long long OPEN_WAIT_NS = 5000000000LL;
constexpr long long KEY_CHECK_NS = 20000000LL;
constexpr long long STALL_FIRST_NS = 10000000LL;
constexpr long long STALL_MOST_NS = 100000000LL;
// Recoveries one hand-over may make before it leaves the device for later.
constexpr int MOST_RECOVERIES = 2;

HWAVEOUT__ device;
bool device_open;

void notify(HWAVEOUT__& out, UINT message, DWORD_PTR param1) {
    if (out.callback == 0) return;
    const auto callback =
        reinterpret_cast<void(CALLBACK*)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(out.callback);
    callback(&out, message, out.instance, param1, 0);
}

// Opening can hang on a sound server that is frozen, so it runs on a
// helper thread of its own; the caller waits only as long as it chooses.
// One attempt at a time: a new one starts only when the last has ended.
struct OpenAttempt {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ended = PTHREAD_COND_INITIALIZER;
    bool running = false;
    bool finished = false;
    Pcm* pcm = nullptr;
    unsigned long long buffer_frames = 0;
    PcmFormat format = {};
};
OpenAttempt attempt;

void* run_open_attempt(void*) {
    unsigned long long buffer_frames = 0;
    Pcm* pcm = open_pcm(attempt.format, buffer_frames);
    pthread_mutex_lock(&attempt.lock);
    attempt.pcm = pcm;
    attempt.buffer_frames = buffer_frames;
    attempt.running = false;
    attempt.finished = true;
    pthread_cond_broadcast(&attempt.ended);
    pthread_mutex_unlock(&attempt.lock);
    wake_message_loop();
    return nullptr;
}

// Starts an attempt unless one is still running; false when none could start.
bool start_open_attempt(const PcmFormat& format) {
    pthread_mutex_lock(&attempt.lock);
    bool started = false;
    if (!attempt.running && !attempt.finished) {
        attempt.format = format;
        attempt.running = true;
        started = start_thread(run_open_attempt, nullptr);
        if (!started) attempt.running = false;
    }
    pthread_mutex_unlock(&attempt.lock);
    return started;
}

// The result of an attempt that has ended (null when it failed), taken by
// the caller; false while it is still running.
bool take_open_result(Pcm*& pcm, unsigned long long& buffer_frames) {
    pthread_mutex_lock(&attempt.lock);
    const bool finished = attempt.finished;
    if (finished) {
        pcm = attempt.pcm;
        buffer_frames = attempt.buffer_frames;
        attempt.pcm = nullptr;
        attempt.finished = false;
    }
    pthread_mutex_unlock(&attempt.lock);
    return finished;
}

void lose_device(HWAVEOUT__& out, long long now) {
    close_pcm(out.pcm);
    out.pcm = nullptr;
    out.lost = true;
    out.sink_holds = false;
    out.reopen_due_ns = now + REOPEN_INTERVAL_NS;
    sound_device_lost();
}

// Tries the lost device again once its time has come, on a helper thread,
// so that a server that hangs holds up nothing. Frames queued while the
// device was away have gone by; it plays on from the next ones written.
void try_reopen(HWAVEOUT__& out, long long now) {
    if (!out.lost) return;
    Pcm* pcm = nullptr;
    unsigned long long buffer_frames = 0;
    if (!take_open_result(pcm, buffer_frames)) {
        if (now >= out.reopen_due_ns && start_open_attempt(out.format)) out.reopen_due_ns = now + REOPEN_INTERVAL_NS;
        return;
    }
    if (pcm == nullptr) return;
    out.pcm = pcm;
    out.device_frames = buffer_frames;
    out.lost = false;
    sound_device_back();
}

// How long the given frames last, rounded up.
long long frames_ns(const HWAVEOUT__& out, unsigned long long frames) {
    return static_cast<long long>((frames * NANOS_PER_SECOND + out.rate - 1) / out.rate);
}

unsigned long long nominal_frames(const HWAVEOUT__& out, long long now) {
    if (now <= out.clock_start_ns) return 0;
    return static_cast<unsigned long long>(now - out.clock_start_ns) * out.rate / NANOS_PER_SECOND;
}

unsigned long long header_frames(const HWAVEOUT__& out, const WAVEHDR& header) {
    return header.dwBufferLength / out.frame_bytes;
}

// The first frame of the oldest header not yet reported done: the player
// holds every frame from there on.
unsigned long long first_frame_held(const HWAVEOUT__& out) {
    if (out.queue_count == 0) return out.frames_written;
    return out.queue_end[out.queue_head] - header_frames(out, *out.queue[out.queue_head]);
}

// Recovers the PCM from a failed write (or an underrun seen in its state);
// false when the device is lost instead. Frames the device dropped in recovering
// are handed over again.
bool recover(HWAVEOUT__& out, int error, long long now) {
    const unsigned long long dropped = error == -EPIPE ? pcm_unplayed(out.pcm, out.device_frames) : 0;
    if (!recover_pcm(out.pcm, error)) {
        // The device stopped working: what is queued goes by unheard.
        lose_device(out, now);
        out.frames_taken = out.frames_written;
        return false;
    }
    const unsigned long long held = out.frames_taken - first_frame_held(out);
    out.frames_taken -= dropped < held ? dropped : held;
    return true;
}

// Hands the device as many written frames as it has room for. An underrun or a
// suspend is recovered and the rest follows. Recovering from an underrun
// empties the device's buffer, and a sound server can call an underrun with
// frames still in it (one that was frozen for a while does): those frames
// are handed over again, so nothing the player still holds is skipped.
// A device that stops working is lost (see lose_device): what was queued
// goes unheard, and the nominal clock moves the song on at its speed.
void hand_over(HWAVEOUT__& out, long long now) {
    if (out.lost) {
        if (out.frames_taken == out.frames_written) return;
        // Nobody to hear them: they go by on the nominal clock.
        if (nominal_frames(out, now) >= out.frames_taken) out.clock_start_ns = now - frames_ns(out, out.frames_taken);
        out.frames_taken = out.frames_written;
        return;
    }
    // An underrun shows in the state before any write fails.
    if (pcm_underrun(out.pcm) && !recover(out, -EPIPE, now)) return;
    if (out.frames_taken == out.frames_written) return;
    // A sink that ran dry starts again from now, not from where it stopped.
    if (nominal_frames(out, now) >= out.frames_taken) out.clock_start_ns = now - frames_ns(out, out.frames_taken);
    unsigned long long handed = 0;
    int recoveries = 0;
    unsigned slot = out.queue_head;
    while (out.frames_taken < out.frames_written) {
        while (out.queue_end[slot] <= out.frames_taken) slot = (slot + 1) % HWAVEOUT__::QUEUE_SLOTS;
        const WAVEHDR& header = *out.queue[slot];
        const unsigned long long end = out.queue_end[slot];
        const unsigned long long done = out.frames_taken - (end - header_frames(out, header));
        const auto* data = reinterpret_cast<const unsigned char*>(header.lpData) + done * out.frame_bytes;
        const long long written = write_pcm(out.pcm, data, end - out.frames_taken);
        if (written > 0) {
            out.frames_taken += static_cast<unsigned long long>(written);
            handed += static_cast<unsigned long long>(written);
            if (out.frames_taken < end) break;
        } else if (written == 0 || written == -EAGAIN) {
            break;
        } else if (written != -EINTR) {
            // A device that keeps failing is left for the next look.
            if (++recoveries > MOST_RECOVERIES) break;
            if (!recover(out, static_cast<int>(written), now)) return;
            slot = out.queue_head;
        }
    }
    // Which kind the sink is shows in what it still holds right after a
    // write: a sound card keeps most of it, a file or the null device
    // swallows it at once.
    long long held = 0;
    if (handed > 0 && pcm_delay(out.pcm, held))
        out.sink_holds = static_cast<unsigned long long>(held > 0 ? held : 0) >= handed / 2;
}

// Frames played by now. A sound card says so itself, and its say sets the
// nominal clock. A sink that swallows frames at once would have the refills
// run flat out and starve the window's keys; it is held to the nominal
// rate, so a buffer is reported no earlier than it could have been heard.
unsigned long long frames_played(HWAVEOUT__& out, long long now) {
    if (out.sink_holds && !out.lost) {
        long long held = 0;
        if (pcm_delay_now(out.pcm, held)) {
            const unsigned long long holding = held < 0 ? 0 : static_cast<unsigned long long>(held);
            const unsigned long long played = holding < out.frames_taken ? out.frames_taken - holding : 0;
            out.clock_start_ns = now - frames_ns(out, played);
            return played;
        }
        // An underrun not yet recovered: what the device still holds will be
        // handed over again, so nothing more counts as played.
        if (pcm_underrun(out.pcm)) return out.last_played;
    }
    const unsigned long long nominal = nominal_frames(out, now);
    return nominal < out.frames_taken ? nominal : out.frames_taken;
}

HWAVEOUT__* device_of(HWAVEOUT handle) { return device_open && handle == &device ? handle : nullptr; }

}  // namespace

long long serve_sound_device(long long now) {
    if (!device_open) return NO_DEADLINE;
    HWAVEOUT__& out = device;
    WAVEHDR* finished[HWAVEOUT__::QUEUE_SLOTS];
    unsigned finished_count = 0;
    long long due = NO_DEADLINE;
    pthread_mutex_lock(&out.lock);
    try_reopen(out, now);
    if (out.queue_count != 0) {
        hand_over(out, now);
        const unsigned long long played = frames_played(out, now);
        if (played == out.last_played && played < out.frames_taken && !out.lost)
            out.stall_ns = out.stall_ns == 0 ? STALL_FIRST_NS
                                             : (out.stall_ns * 2 < STALL_MOST_NS ? out.stall_ns * 2 : STALL_MOST_NS);
        else
            out.stall_ns = 0;
        out.last_played = played;
        while (out.queue_count != 0 && out.queue_end[out.queue_head] <= played) {
            WAVEHDR* header = out.queue[out.queue_head];
            header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
            finished[finished_count++] = header;
            out.queue_head = (out.queue_head + 1) % HWAVEOUT__::QUEUE_SLOTS;
            --out.queue_count;
        }
        if (out.queue_count != 0) {
            due = now + frames_ns(out, out.queue_end[out.queue_head] - played);
            // Frames that found no room go in as the device makes some.
            if (out.frames_taken < out.frames_written) {
                const long long room_due = now + frames_ns(out, out.device_frames / 4);
                if (room_due < due) due = room_due;
            }
            if (out.stall_ns != 0 && due < now + out.stall_ns) due = now + out.stall_ns;
        }
    }
    if (out.lost && out.reopen_due_ns < due) due = out.reopen_due_ns;
    pthread_mutex_unlock(&out.lock);
    for (unsigned k = 0; k < finished_count; ++k) notify(out, MM_WOM_DONE, reinterpret_cast<DWORD_PTR>(finished[k]));
    return due;
}

}  // namespace zindle::posix

using namespace zindle::posix;

extern "C" {

// Device 0 (and the mapper) is the sound device; PCM formats of 8 or 16
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

    const PcmFormat pcm_format = {format->wBitsPerSample, format->nChannels, format->nSamplesPerSec};
    unsigned long long buffer_frames = 0;
    Pcm* pcm = nullptr;
    // A sound server that does not answer is given OPEN_WAIT_NS; what
    // Escape pressed meanwhile does is the program's.
    if (!start_open_attempt(pcm_format)) return MMSYSERR_NOMEM;
    const long long give_up = monotonic_ns() + OPEN_WAIT_NS;
    pthread_mutex_lock(&attempt.lock);
    while (!attempt.finished && monotonic_ns() < give_up) {
        pthread_mutex_unlock(&attempt.lock);
        if (escape_pressed()) escape_while_opening();
        pthread_mutex_lock(&attempt.lock);
        // The condition waits on the wall clock.
        timespec at;
        clock_gettime(CLOCK_REALTIME, &at);
        const long long wake = at.tv_nsec + KEY_CHECK_NS;
        at.tv_sec += static_cast<time_t>(wake / NANOS_PER_SECOND);
        at.tv_nsec = static_cast<long>(wake % NANOS_PER_SECOND);
        pthread_cond_timedwait(&attempt.ended, &attempt.lock, &at);
    }
    pthread_mutex_unlock(&attempt.lock);
    if (!take_open_result(pcm, buffer_frames) || pcm == nullptr) return MMSYSERR_BADDEVICEID;

    device.pcm = pcm;
    device.callback = flags == CALLBACK_FUNCTION ? callback : 0;
    device.instance = instance;
    device.frame_bytes = format->nBlockAlign;
    device.rate = format->nSamplesPerSec;
    device.device_frames = buffer_frames;
    device.frames_written = 0;
    device.frames_taken = 0;
    device.clock_start_ns = monotonic_ns();
    device.sink_holds = false;
    device.lost = false;
    device.reopen_due_ns = 0;
    device.last_played = 0;
    device.stall_ns = 0;
    device.format = pcm_format;
    device.queue_head = 0;
    device.queue_count = 0;
    pthread_mutex_init(&device.lock, nullptr);
    *wave_out = &device;
    device_open = true;
    notify(device, MM_WOM_OPEN, 0);
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

// Queues the header behind those already queued, hands the device what fits of
// it and returns at once.
MMRESULT WINAPI waveOutWrite(HWAVEOUT wave_out, LPWAVEHDR header, UINT size) {
    HWAVEOUT__* out = device_of(wave_out);
    if (out == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    MMRESULT result = MMSYSERR_NOERROR;
    bool was_idle = false;
    pthread_mutex_lock(&out->lock);
    if ((header->dwFlags & WHDR_PREPARED) == 0) {
        result = WAVERR_UNPREPARED;
    } else if ((header->dwFlags & WHDR_INQUEUE) != 0) {
        result = WAVERR_STILLPLAYING;
    } else if (out->queue_count == HWAVEOUT__::QUEUE_SLOTS) {
        result = MMSYSERR_NOMEM;
    } else {
        header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        const unsigned slot = (out->queue_head + out->queue_count) % HWAVEOUT__::QUEUE_SLOTS;
        out->frames_written += header_frames(*out, *header);
        out->queue[slot] = header;
        out->queue_end[slot] = out->frames_written;
        was_idle = out->queue_count == 0;
        ++out->queue_count;
        hand_over(*out, monotonic_ns());
    }
    pthread_mutex_unlock(&out->lock);
    // A device with nothing queued had no deadline in the message loop's
    // wait; now it has one.
    if (was_idle) wake_message_loop();
    return result;
}

}  // extern "C"
