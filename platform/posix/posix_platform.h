// What the pieces of the Linux platform need from each other.
#pragma once

#include <windows.h>

namespace zindle::posix {

// The program's name and its arguments, joined by single blanks.
void set_command_line(int argc, char** argv);

// Puts a terminal on standard input into raw mode and starts the thread
// that turns key bytes into WM_KEYDOWN for the window.
void start_keys(HWND window);
// Gives the terminal back as it was; safe in a signal handler.
void restore_terminal();
// Standard input was closed when the program started: no keys at all.
void note_closed_input();
// The module has been read from this descriptor (about to be closed): keys
// may be read now, unless the module was standard input itself.
void module_read(int module_fd);
// Whether an Escape key waits in the window's queue (user32.cpp).
bool escape_pressed();
// Posts a key to the window, waiting while its queue is full; false only
// when the window is gone (user32.cpp).
bool post_key(HWND window, WPARAM virtual_key);

// A detached helper thread with every signal blocked, so that signals are
// taken by the window thread and never interrupt a helper's system calls.
// False when the thread cannot be created.
bool start_thread(void* (*run)(void*), void* argument);

// The thread waiting in GetMessageA also runs the timer events and serves
// the sound device, so that neither needs a thread (and wakeups) of its own.
// Times are nanoseconds on CLOCK_MONOTONIC; NO_DEADLINE is "never".
constexpr long long NO_DEADLINE = 0x7FFFFFFFFFFFFFFFLL;
long long monotonic_ns();
// Runs the callbacks of the events due by now, each at most once, and
// returns when the next one is due (timer.cpp).
long long run_due_timers(long long now);
// Hands queued frames to ALSA and reports the buffers that have been
// played; returns when the device next wants serving (waveout.cpp).
long long serve_sound_device(long long now);
// What the program says and does about the sound device, which on Linux
// can come and go (the host's device_notices.cpp): the device stopped
// working, works again; Escape was pressed while waveOutOpen waited for a
// device that is slow to open.
void sound_device_lost();
void sound_device_back();
void escape_while_opening();

// Has the thread in GetMessageA look at the timers and the device afresh,
// for a new event or a device that had nothing to do (user32.cpp).
void wake_message_loop();

}  // namespace zindle::posix
