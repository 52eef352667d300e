// USER32 on Linux: one window class, one window and a thread-safe message
// queue that the window thread waits on. The window shows nothing; its keys
// come from the terminal (keys.cpp). While it waits for a message, that
// thread also runs the due timer events and serves the sound device, so
// one wakeup does the work of three threads.
#include <pthread.h>
#include <time.h>

#include <cstring>

#include "posix_platform.h"

namespace zindle::posix {

namespace {

struct Window {
    WNDPROC procedure;
    bool alive;
};

char class_name[64];
WNDPROC class_procedure;
Window the_window;

// Enough for many seconds of refill messages should the window thread stall;
// a post to a full queue fails, as on Windows.
constexpr unsigned QUEUE_SLOTS = 1024;
MSG queue[QUEUE_SLOTS];
unsigned queue_head;
unsigned queue_count;
bool quit_posted;
int quit_code;
// Set when the timers or the device have new work the wait must see.
bool rescan;
pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t queue_ready;
// Signalled whenever a message leaves the queue, for keys waiting for room.
pthread_cond_t queue_room = PTHREAD_COND_INITIALIZER;
pthread_once_t queue_ready_once = PTHREAD_ONCE_INIT;

// Device work may wait for a timer event due this much later, so that the
// host's 17 ms timer serves both with one wakeup; with no timer that near,
// the device is woken for itself. The host's four buffers leave it well
// over 100 ms to spare.
constexpr long long DEVICE_SLACK_NS = 25000000;

// Waits are timed on the monotonic clock, like the timer schedule.
void make_queue_ready() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&queue_ready, &attributes);
    pthread_condattr_destroy(&attributes);
}

pthread_cond_t* ready() {
    pthread_once(&queue_ready_once, make_queue_ready);
    return &queue_ready;
}

// Runs what is due and says when to look again.
long long serve_due_work() {
    const long long device_due = serve_sound_device(monotonic_ns());
    const long long timer_due = run_due_timers(monotonic_ns());
    if (device_due != NO_DEADLINE && (timer_due == NO_DEADLINE || device_due + DEVICE_SLACK_NS < timer_due))
        return device_due;
    return timer_due;
}

Window* window_of(HWND handle) {
    Window* window = reinterpret_cast<Window*>(handle);
    return window == &the_window && the_window.alive ? window : nullptr;
}

HWND handle_of(Window* window) { return reinterpret_cast<HWND>(window); }

}  // namespace

// Queues a message; the caller holds the queue's lock and has checked for
// a live window and a free slot.
void enqueue(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    MSG& slot = queue[(queue_head + queue_count) % QUEUE_SLOTS];
    slot = MSG{};
    slot.hwnd = handle;
    slot.message = message;
    slot.wParam = wparam;
    slot.lParam = lparam;
    ++queue_count;
    pthread_cond_signal(ready());
}

bool escape_pressed() {
    pthread_mutex_lock(&queue_lock);
    bool found = false;
    for (unsigned k = 0; k < queue_count && !found; ++k) {
        const MSG& message = queue[(queue_head + k) % QUEUE_SLOTS];
        found = message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE;
    }
    pthread_mutex_unlock(&queue_lock);
    return found;
}

bool post_key(HWND handle, WPARAM virtual_key) {
    pthread_mutex_lock(&queue_lock);
    while (window_of(handle) != nullptr && queue_count == QUEUE_SLOTS) pthread_cond_wait(&queue_room, &queue_lock);
    const bool alive = window_of(handle) != nullptr;
    if (alive) enqueue(handle, WM_KEYDOWN, virtual_key, 1);
    pthread_mutex_unlock(&queue_lock);
    return alive;
}

void wake_message_loop() {
    pthread_mutex_lock(&queue_lock);
    rescan = true;
    pthread_cond_signal(ready());
    pthread_mutex_unlock(&queue_lock);
}

}  // namespace zindle::posix

using namespace zindle::posix;

extern "C" {

HCURSOR WINAPI LoadCursorA(HINSTANCE, LPCSTR) {
    static char arrow;
    return reinterpret_cast<HCURSOR>(&arrow);
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* window_class) {
    if (window_class == nullptr || window_class->lpszClassName == nullptr || window_class->lpfnWndProc == nullptr ||
        class_procedure != nullptr || std::strlen(window_class->lpszClassName) >= sizeof class_name)
        return 0;
    std::strcpy(class_name, window_class->lpszClassName);
    class_procedure = window_class->lpfnWndProc;
    return 1;
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR window_class, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                            LPVOID) {
    if (class_procedure == nullptr || window_class == nullptr || std::strcmp(window_class, class_name) != 0 ||
        the_window.procedure != nullptr)
        return nullptr;
    the_window.procedure = class_procedure;
    the_window.alive = true;
    const HWND handle = handle_of(&the_window);
    if (the_window.procedure(handle, WM_CREATE, 0, 0) == -1) {
        the_window.alive = false;
        return nullptr;
    }
    return handle;
}

// Showing the window is when its keys start to arrive.
BOOL WINAPI ShowWindow(HWND handle, int) {
    static bool shown;
    if (window_of(handle) == nullptr || shown) return shown ? TRUE : FALSE;
    shown = true;
    start_keys(handle);
    return FALSE;
}

BOOL WINAPI DestroyWindow(HWND handle) {
    Window* window = window_of(handle);
    if (window == nullptr) return FALSE;
    window->procedure(handle, WM_DESTROY, 0, 0);
    // Messages still queued for the window die with it.
    pthread_mutex_lock(&queue_lock);
    window->alive = false;
    queue_count = 0;
    pthread_cond_broadcast(&queue_room);
    pthread_mutex_unlock(&queue_lock);
    return TRUE;
}

BOOL WINAPI PostMessageA(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    pthread_mutex_lock(&queue_lock);
    const bool accepted = window_of(handle) != nullptr && queue_count < QUEUE_SLOTS;
    if (accepted) enqueue(handle, message, wparam, lparam);
    pthread_mutex_unlock(&queue_lock);
    return accepted ? TRUE : FALSE;
}

void WINAPI PostQuitMessage(int exit_code) {
    pthread_mutex_lock(&queue_lock);
    quit_posted = true;
    quit_code = exit_code;
    pthread_cond_signal(ready());
    pthread_mutex_unlock(&queue_lock);
}

// Posted messages come first, in order; the quit message once none is left.
// Until there is one, the due device and timer work runs here, without the
// queue's lock, since timer callbacks post messages themselves.
BOOL WINAPI GetMessageA(LPMSG msg, HWND, UINT, UINT) {
    pthread_mutex_lock(&queue_lock);
    while (queue_count == 0 && !quit_posted) {
        rescan = false;
        pthread_mutex_unlock(&queue_lock);
        const long long wake = serve_due_work();
        pthread_mutex_lock(&queue_lock);
        while (queue_count == 0 && !quit_posted && !rescan) {
            if (wake == NO_DEADLINE) {
                pthread_cond_wait(ready(), &queue_lock);
                continue;
            }
            if (monotonic_ns() >= wake) break;
            const timespec at = {static_cast<time_t>(wake / 1000000000LL), static_cast<long>(wake % 1000000000LL)};
            pthread_cond_timedwait(ready(), &queue_lock, &at);
        }
    }
    BOOL result;
    if (queue_count != 0) {
        *msg = queue[queue_head];
        queue_head = (queue_head + 1) % QUEUE_SLOTS;
        --queue_count;
        pthread_cond_broadcast(&queue_room);
        result = TRUE;
    } else {
        *msg = MSG{};
        msg->message = WM_QUIT;
        msg->wParam = static_cast<WPARAM>(quit_code);
        quit_posted = false;
        result = FALSE;
    }
    pthread_mutex_unlock(&queue_lock);
    return result;
}

// Keys arrive as WM_KEYDOWN with their virtual key already; there are no
// character messages to make.
BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
    Window* window = window_of(msg->hwnd);
    if (window == nullptr) return 0;
    return window->procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT WINAPI DefWindowProcA(HWND handle, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE) DestroyWindow(handle);
    return 0;
}

}  // extern "C"
