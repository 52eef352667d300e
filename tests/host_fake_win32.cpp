#include "host_fake_win32.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "player_state.h"

namespace zindle::fake {

Win32 win32;

namespace {

std::jmp_buf exit_jump;
bool exit_armed = false;
UINT exit_code_seen = 0;

char fake_module;
char fake_cursor;
char fake_window;
char fake_device;
char fake_console;
bool quit_posted = false;

struct OpenFile {
    const std::vector<std::uint8_t>* bytes;
    std::size_t at;
};
OpenFile open_file;
char command_line_copy[4096];

HWND the_window() { return reinterpret_cast<HWND>(&fake_window); }

int header_index(const WAVEHDR* header) { return static_cast<int>(header - wave_headers); }

}  // namespace

void reset() {
    win32 = Win32{};
    wire_engine();
    quit_posted = false;
    player = PlayerState{};
    std::memset(module_image, 0, sizeof module_image);
    std::memset(output_buffers, 0, sizeof output_buffers);
    next_buffer = 0;
    main_window = nullptr;
    // Units used without start-up write to the console as if it were open.
    console_output = &fake_console;
    wave_out = nullptr;
    for (WAVEHDR& header : wave_headers) header = WAVEHDR{};
    audio_ready.store(0);
    buffers_done.store(0);
    buffers_refilled.store(0);
    pump_busy.store(0);
}

UINT run_to_exit() {
    exit_armed = true;
    if (setjmp(exit_jump) == 0) run_player();
    exit_armed = false;
    return exit_code_seen;
}

ModuleImage::ModuleImage(const std::vector<std::uint8_t>& orders, int song_length) {
    std::uint8_t highest = 0;
    for (std::uint8_t entry : orders) highest = std::max(highest, entry);
    bytes.assign(1084 + (highest + 1u) * 1024u, 0);
    bytes[950] = static_cast<std::uint8_t>(song_length >= 0 ? song_length : static_cast<int>(orders.size()));
    bytes[951] = 0x7F;
    for (std::size_t i = 0; i < orders.size(); ++i) bytes[952 + i] = orders[i];
    const char tag[] = "M.K.";
    for (std::size_t i = 0; i < 4; ++i) bytes[1080 + i] = static_cast<std::uint8_t>(tag[i]);
}

void ModuleImage::effect(int pattern, int row, int channel, std::uint8_t command, std::uint8_t parameter) {
    const std::size_t cell = 1084 + static_cast<std::size_t>(pattern * 1024 + row * 16 + channel * 4);
    bytes[cell + 2] = command;
    bytes[cell + 3] = parameter;
}

}  // namespace zindle::fake

using zindle::fake::win32;
using namespace zindle::fake;

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    win32.calls.push_back(name == nullptr ? "GetModuleHandleA" : "GetModuleHandleA(name)");
    return reinterpret_cast<HMODULE>(&fake_module);
}

BOOL WINAPI AllocConsole() {
    win32.calls.push_back("AllocConsole");
    return FALSE;
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    win32.calls.push_back(which == STD_OUTPUT_HANDLE ? "GetStdHandle(output)" : "GetStdHandle(other)");
    return &fake_console;
}

LPSTR WINAPI GetCommandLineA() {
    win32.calls.push_back("GetCommandLineA");
    std::strncpy(command_line_copy, win32.command_line.c_str(), sizeof command_line_copy - 1);
    return command_line_copy;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE template_file) {
    win32.calls.push_back("CreateFileA");
    win32.opened_path = name;
    win32.open_access = access;
    win32.open_share = share_mode;
    win32.open_disposition = disposition;
    win32.open_attributes = flags;
    if (security != nullptr || template_file != nullptr) win32.calls.push_back("CreateFileA(extra arguments)");
    const auto found = win32.files.find(name);
    if (found == win32.files.end()) return INVALID_HANDLE_VALUE;
    open_file = {&found->second, 0};
    return &open_file;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED) {
    win32.calls.push_back("ReadFile");
    win32.read_request = to_read;
    OpenFile& open = *static_cast<OpenFile*>(file);
    std::size_t count = std::min<std::size_t>(to_read, open.bytes->size() - open.at);
    if (win32.read_fails) count /= 2;
    std::memcpy(buffer, open.bytes->data() + open.at, count);
    open.at += count;
    *read = static_cast<DWORD>(count);
    return win32.read_fails ? FALSE : TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, LPOVERLAPPED overlapped) {
    if (file != &fake_console || overlapped != nullptr) std::abort();
    win32.console.append(static_cast<const char*>(buffer), to_write);
    ++win32.console_writes;
    *written = to_write;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    win32.calls.push_back(object == &open_file ? "CloseHandle" : "CloseHandle(other)");
    return TRUE;
}

void WINAPI ExitProcess(UINT exit_code) {
    win32.calls.push_back("ExitProcess");
    if (!exit_armed) std::abort();
    exit_code_seen = exit_code;
    std::longjmp(exit_jump, 1);
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR cursor_name) {
    win32.calls.push_back(instance == nullptr && cursor_name == IDC_ARROW ? "LoadCursorA(arrow)" : "LoadCursorA");
    return reinterpret_cast<HCURSOR>(&fake_cursor);
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* window_class) {
    win32.calls.push_back("RegisterClassA");
    win32.window_class = *window_class;
    win32.class_name = window_class->lpszClassName;
    return 1;
}

HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    win32.calls.push_back("CreateWindowExA");
    if (ex_style != 0 || parent != nullptr || menu != nullptr || param != nullptr ||
        instance != reinterpret_cast<HINSTANCE>(&fake_module) || win32.class_name != class_name)
        win32.calls.push_back("CreateWindowExA(unexpected arguments)");
    win32.window_title = window_name;
    win32.window_style = style;
    win32.window_x = x;
    win32.window_y = y;
    win32.window_width = width;
    win32.window_height = height;
    win32.window_class.lpfnWndProc(the_window(), WM_CREATE, 0, 0);
    return the_window();
}

BOOL WINAPI ShowWindow(HWND window, int show) {
    win32.calls.push_back(window == the_window() ? "ShowWindow" : "ShowWindow(other)");
    win32.show_command = show;
    return FALSE;
}

BOOL WINAPI DestroyWindow(HWND window) {
    win32.calls.push_back("DestroyWindow");
    win32.window_class.lpfnWndProc(window, WM_DESTROY, 0, 0);
    return TRUE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filter_min, UINT filter_max) {
    win32.calls.push_back(window == nullptr && filter_min == 0 && filter_max == 0 ? "GetMessageA"
                                                                                  : "GetMessageA(filtered)");
    if (quit_posted || win32.messages.empty()) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        return FALSE;
    }
    const Scripted next = win32.messages.front();
    win32.messages.pop_front();
    *msg = next.message;
    return next.result;
}

BOOL WINAPI TranslateMessage(const MSG*) {
    win32.calls.push_back("TranslateMessage");
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
    win32.calls.push_back("DispatchMessageA");
    return win32.window_class.lpfnWndProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// A post to the window joins the scripted messages, as the queue would.
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    win32.posted.push_back({window, message, wparam, lparam});
    MSG msg = {};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wparam;
    msg.lParam = lparam;
    win32.messages.push_back({TRUE, msg});
    return TRUE;
}

void WINAPI PostQuitMessage(int exit_code) {
    win32.calls.push_back("PostQuitMessage");
    win32.quit_code = exit_code;
    quit_posted = true;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    win32.defaulted.push_back({window, message, wparam, lparam});
    if (message == WM_CLOSE) DestroyWindow(window);
    return win32.default_result;
}

MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT size) {
    win32.calls.push_back(size == sizeof(TIMECAPS) ? "timeGetDevCaps" : "timeGetDevCaps(size)");
    if (win32.caps_query_fails) return TIMERR_NOCANDO;
    *caps = win32.caps;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT period) {
    win32.calls.push_back("timeBeginPeriod");
    win32.timer_period = period;
    return win32.begin_period_result;
}

MMRESULT WINAPI timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags) {
    win32.calls.push_back("timeSetEvent");
    win32.timer_delay = delay;
    win32.timer_resolution = resolution;
    win32.timer_callback = callback;
    win32.timer_user = user;
    win32.timer_flags = flags;
    return 1;
}

// An opening device sends its open notice through the callback.
MMRESULT WINAPI waveOutOpen(LPHWAVEOUT wave_out, UINT device, LPCWAVEFORMATEX format, DWORD_PTR callback,
                            DWORD_PTR instance, DWORD flags) {
    win32.calls.push_back("waveOutOpen");
    win32.device_id = device;
    win32.format = *format;
    win32.device_callback = callback;
    win32.device_instance = instance;
    win32.device_flags = flags;
    if (win32.open_result != MMSYSERR_NOERROR) return win32.open_result;
    *wave_out = reinterpret_cast<HWAVEOUT>(&fake_device);
    using DeviceCallback = void(CALLBACK*)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    if (flags == CALLBACK_FUNCTION && callback != 0)
        reinterpret_cast<DeviceCallback>(callback)(*wave_out, MM_WOM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT wave_out, LPWAVEHDR header, UINT size) {
    win32.calls.push_back(wave_out == reinterpret_cast<HWAVEOUT>(&fake_device) ? "waveOutPrepareHeader"
                                                                               : "waveOutPrepareHeader(other)");
    win32.prepared.push_back(header_index(header));
    win32.prepared_sizes.push_back(size);
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutWrite(HWAVEOUT wave_out, LPWAVEHDR header, UINT size) {
    win32.calls.push_back(wave_out == reinterpret_cast<HWAVEOUT>(&fake_device) && size == sizeof(WAVEHDR) &&
                                  (header->dwFlags & WHDR_PREPARED) != 0
                              ? "waveOutWrite"
                              : "waveOutWrite(bad)");
    win32.written.push_back(header_index(header));
    if (win32.on_write) win32.on_write(header_index(header));
    return MMSYSERR_NOERROR;
}

}  // extern "C"
