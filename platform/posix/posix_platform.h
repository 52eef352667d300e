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

// A detached helper thread with every signal blocked, so that signals are
// taken by the window thread and never interrupt a helper's system calls.
// False when the thread cannot be created.
bool start_thread(void* (*run)(void*), void* argument);

}  // namespace zindle::posix
