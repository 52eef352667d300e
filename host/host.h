// The Win32 host: start-up, the window and its keys, the console and the
// sound device with its refill pump. Written once against the Win32 calls;
// on Linux platform/posix supplies the same calls.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdint>

#include "mixer.h"

namespace zindle {

// A failure ends the program with 1, a sound device that does not open
// with 3 (so a script can offer another way to listen); Escape and closing
// the window with 0.
inline constexpr UINT EXIT_OK = 0;
inline constexpr UINT EXIT_FAILED = 1;
inline constexpr UINT EXIT_NO_SOUND_DEVICE = 3;

// Console (console_out.cpp): the engine's report goes here.
extern HANDLE console_output;
void console_write(const char* bytes, std::uint32_t count);
// The engine's seams: its report to the console, its buffers to the sound
// device (submit_buffer). Wired once, before the module is loaded.
void wire_engine();

// Start-up (startup.cpp).
// The module path: what follows the first blank and the blanks after it,
// or null when there is no blank at all. A program name that starts with a
// quote runs to the closing quote, blanks included (null when none closes).
const char* module_path(const char* command_line);
[[noreturn]] void run_player();

// Window (window.cpp).
extern HWND main_window;
LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// The Z key: row 0 of the next order entry, wrapping after the last one;
// the pattern number that will play is written to the console.
void press_z();

// Sound device and refill pump (audio_out.cpp).
inline constexpr UINT TIMER_PERIOD_MS = 17;
inline constexpr UINT TIMER_RESOLUTION_MS = 5;

extern HWAVEOUT wave_out;
extern const WAVEFORMATEX wave_format;
extern WAVEHDR wave_headers[BUFFER_COUNT];

// Each has one writer. buffers_done is written by the device callback and
// read by the pump; pump_busy by the pump and read by the timer callback.
extern std::atomic<std::uint8_t> audio_ready;
extern std::atomic<std::uint8_t> buffers_done;
extern std::atomic<std::uint8_t> buffers_refilled;
extern std::atomic<std::uint8_t> pump_busy;

// Checks the timer and starts the 17 ms refill timer; false: "timer fail".
bool start_refill_timer();
// Opens device 0 and prepares the four headers; false when it cannot open.
bool open_sound_device();
// Fills and queues all four buffers once, after the module is loaded.
void prime_sound_device();
// The last step of fill_buffer: queue the buffer just filled.
void submit_buffer();
// Refills every buffer the device has finished since the last run.
void refill_pump();

void CALLBACK wave_callback(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);
void CALLBACK timer_callback(UINT timer_id, UINT message, DWORD_PTR user, DWORD_PTR reserved1, DWORD_PTR reserved2);

}  // namespace zindle

// The process entry: takes nothing, never returns.
extern "C" [[noreturn]] void zindle_entry();
