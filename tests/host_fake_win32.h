// A scripted stand-in for the Win32 calls of the host, for unit tests of
// the host sources on Linux: it records what the host asks for and answers
// as a test sets it up. The device and the timer are driven by the tests.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zindle::fake {

struct Posted {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};

struct Scripted {
    BOOL result;  // what GetMessageA returns with it
    MSG message;
};

struct Win32 {
    // Answers
    std::string command_line = "zindle song.mod";
    std::map<std::string, std::vector<std::uint8_t>> files;
    TIMECAPS caps = {1, 1000000};
    bool caps_query_fails = false;
    bool read_fails = false;  // ReadFile reads half and then fails
    MMRESULT begin_period_result = TIMERR_NOERROR;
    MMRESULT open_result = MMSYSERR_NOERROR;
    LRESULT default_result = 0;
    std::deque<Scripted> messages;             // GetMessageA hands these out, then 0
    std::function<void(int header)> on_write;  // runs inside waveOutWrite

    // Records
    std::vector<std::string> calls;  // every call but WriteFile, in order
    std::string console;             // bytes written to the console handle
    int console_writes = 0;
    std::vector<int> written;   // header index of each waveOutWrite
    std::vector<int> prepared;  // header index of each waveOutPrepareHeader
    std::vector<UINT> prepared_sizes;
    std::vector<Posted> posted;
    std::vector<Posted> defaulted;  // DefWindowProcA calls
    int quit_code = -1;
    WNDCLASSA window_class = {};
    std::string class_name;
    std::string window_title;
    DWORD window_style = 0;
    int window_x = 0, window_y = 0, window_width = 0, window_height = 0;
    int show_command = 0;
    std::string opened_path;
    DWORD open_access = 0, open_share = 0, open_disposition = 0, open_attributes = 0;
    DWORD read_request = 0;
    UINT timer_delay = 0, timer_resolution = 0, timer_flags = 0, timer_period = 0;
    LPTIMECALLBACK timer_callback = nullptr;
    DWORD_PTR timer_user = 1;
    UINT device_id = 99;
    WAVEFORMATEX format = {};
    DWORD_PTR device_callback = 0;
    DWORD_PTR device_instance = 1;
    DWORD device_flags = 0;
};

extern Win32 win32;

// A fresh fake, a cleared engine and host state.
void reset();

// Runs the host's start-up until it ends the process; returns the exit code.
UINT run_to_exit();

// A 4-channel M.K. module of empty samples and empty patterns: the order
// list as given (also the song length unless one is named), the number of
// patterns the order bytes call for, cells written on request.
struct ModuleImage {
    std::vector<std::uint8_t> bytes;
    explicit ModuleImage(const std::vector<std::uint8_t>& orders, int song_length = -1);
    // A cell without note or sample: just an effect command and parameter.
    void effect(int pattern, int row, int channel, std::uint8_t command, std::uint8_t parameter);
};

}  // namespace zindle::fake
