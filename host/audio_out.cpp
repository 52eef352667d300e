// Four buffers circulate between the mixer and the sound device. The device
// callback only counts finished buffers, the timer callback only posts
// WM_USER; the refill itself runs on the window thread.
#include "host.h"
#include "player_state.h"

namespace zindle {

constinit HWAVEOUT wave_out = nullptr;

constinit const WAVEFORMATEX wave_format = {
    WAVE_FORMAT_PCM, 2, SAMPLE_RATE, SAMPLE_RATE* BYTES_PER_FRAME, BYTES_PER_FRAME, 16, 0,
};

constinit WAVEHDR wave_headers[BUFFER_COUNT] = {};

constinit std::atomic<std::uint8_t> audio_ready{0};
constinit std::atomic<std::uint8_t> buffers_done{0};
constinit std::atomic<std::uint8_t> buffers_refilled{0};
constinit std::atomic<std::uint8_t> pump_busy{0};

bool start_refill_timer() {
    TIMECAPS caps = {};
    timeGetDevCaps(&caps, sizeof caps);
    if (caps.wPeriodMin > TIMER_RESOLUTION_MS || caps.wPeriodMax <= 33) return false;
    if (timeBeginPeriod(TIMER_RESOLUTION_MS) != TIMERR_NOERROR) return false;
    timeSetEvent(TIMER_PERIOD_MS, TIMER_RESOLUTION_MS, timer_callback, 0, TIME_PERIODIC);
    return true;
}

bool open_sound_device() {
    if (waveOutOpen(&wave_out, 0, &wave_format, reinterpret_cast<DWORD_PTR>(&wave_callback), 0, CALLBACK_FUNCTION) !=
        MMSYSERR_NOERROR)
        return false;
    audio_ready.store(1, std::memory_order_relaxed);
    next_buffer = 0;
    for (std::uint32_t k = 0; k < BUFFER_COUNT; ++k) {
        WAVEHDR& header = wave_headers[k];
        header.lpData = reinterpret_cast<LPSTR>(output_buffers[k]);
        header.dwBufferLength = BUFFER_BYTES;
        header.dwBytesRecorded = BUFFER_BYTES;
        waveOutPrepareHeader(wave_out, &header, sizeof header);
    }
    buffers_refilled.store(buffers_done.load(std::memory_order_acquire), std::memory_order_relaxed);
    return true;
}

void prime_sound_device() {
    for (std::uint32_t k = 0; k < BUFFER_COUNT; ++k) fill_buffer();
    audio_ready.store(1, std::memory_order_relaxed);
}

void submit_buffer() { waveOutWrite(wave_out, &wave_headers[next_buffer], sizeof(WAVEHDR)); }

// The device reports buffers in the order they were queued, and the ring
// refills them in that same order, so counting is all the pump needs. The
// acquire pairs with the callback's release: once a buffer is counted, the
// device is done reading it and the mixer may overwrite it.
void refill_pump() {
    pump_busy.store(1, std::memory_order_relaxed);
    if (audio_ready.load(std::memory_order_relaxed) != 0) {
        std::uint8_t refilled = buffers_refilled.load(std::memory_order_relaxed);
        while (buffers_done.load(std::memory_order_acquire) != refilled) {
            ++refilled;
            buffers_refilled.store(refilled, std::memory_order_relaxed);
            fill_buffer();
        }
    }
    pump_busy.store(0, std::memory_order_relaxed);
}

void CALLBACK wave_callback(HWAVEOUT, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message != MM_WOM_DONE) return;
    // The only writer, so a plain increment is enough.
    const auto done = static_cast<std::uint8_t>(buffers_done.load(std::memory_order_relaxed) + 1);
    buffers_done.store(done, std::memory_order_release);
}

void CALLBACK timer_callback(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (pump_busy.load(std::memory_order_relaxed) == 0) PostMessageA(main_window, WM_USER, 0, 0);
}

}  // namespace zindle
