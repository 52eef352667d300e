// The window's keys on Linux come from standard input. A terminal is put
// into raw mode (no echo, no line buffering) and given back on every way
// out; other input (a pipe, a file) is read byte for byte the same way.
// A lone ESC is the Escape key; escape sequences (arrows, function keys,
// Alt with a key) are read whole and ignored. z and Z are the Z key.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "posix_platform.h"

namespace zindle::posix {

namespace {

constexpr unsigned char ESC = 0x1B;
// How long the bytes of one escape sequence may lag behind its ESC.
constexpr int SEQUENCE_GAP_MS = 100;

termios saved_terminal;
volatile sig_atomic_t terminal_raw = 0;
HWND key_window;

void on_fatal_signal(int signal_number) {
    restore_terminal();
    // The handler was reset on entry: the signal now ends the process with
    // its usual status once this handler returns.
    raise(signal_number);
}

void install_signal_handlers() {
    struct sigaction action = {};
    action.sa_handler = on_fatal_signal;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    const int ways_out[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int signal_number : ways_out) sigaction(signal_number, &action, nullptr);
}

void enter_raw_mode() {
    if (isatty(0) == 0 || tcgetattr(0, &saved_terminal) != 0) return;
    install_signal_handlers();
    termios raw = saved_terminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    terminal_raw = 1;
    if (tcsetattr(0, TCSANOW, &raw) != 0) terminal_raw = 0;
}

// The next input byte, or -1 at the end of input; with a wait limit, also
// -1 when nothing comes in time.
int next_byte(int wait_ms) {
    for (;;) {
        if (wait_ms >= 0) {
            pollfd input = {0, POLLIN, 0};
            const int ready = poll(&input, 1, wait_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;
        }
        unsigned char byte;
        const ssize_t got = read(0, &byte, 1);
        if (got == 1) return byte;
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return -1;
    }
}

void press(WPARAM virtual_key) { PostMessageA(key_window, WM_KEYDOWN, virtual_key, 1); }

// Reads the rest of a sequence that began with ESC and the given byte.
void skip_sequence(int second) {
    if (second == '[') {
        // Parameters and intermediates up to the final byte 0x40..0x7E.
        for (int byte = next_byte(SEQUENCE_GAP_MS); byte >= 0; byte = next_byte(SEQUENCE_GAP_MS))
            if (byte >= 0x40 && byte <= 0x7E) return;
    } else if (second == 'O') {
        next_byte(SEQUENCE_GAP_MS);
    }
    // Anything else after ESC is Alt with that key: already consumed.
}

void* read_keys(void*) {
    for (int byte = next_byte(-1); byte >= 0; byte = next_byte(-1)) {
        if (byte == ESC) {
            const int second = next_byte(SEQUENCE_GAP_MS);
            if (second < 0)
                press(VK_ESCAPE);
            else
                skip_sequence(second);
        } else if (byte == 'z' || byte == 'Z') {
            press('Z');
        }
    }
    // The end of input is not a way out: the song plays on.
    return nullptr;
}

}  // namespace

void start_keys(HWND window) {
    key_window = window;
    enter_raw_mode();
    start_thread(read_keys, nullptr);
}

void restore_terminal() {
    if (terminal_raw != 0) tcsetattr(0, TCSANOW, &saved_terminal);
}

}  // namespace zindle::posix
