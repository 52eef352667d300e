// The window's keys on Linux come from standard input. A terminal is put
// into raw mode (no echo, no line buffering) while the player has it in
// the foreground, given back on a stop (Ctrl-Z) and on every way out, and
// taken again on continue; other input (a pipe, a file) is read byte for
// byte the same way. A lone ESC is the Escape key; escape sequences
// (arrows, function keys, Alt with a key) are read whole and ignored. z and
// Z are the Z key. No key is ever dropped: the reader waits for room in
// the window's queue.
//
// Keys are read only once the module has been read, and never when the
// module is standard input itself, nor when standard input was closed.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
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
volatile sig_atomic_t have_terminal = 0;  // standard input is a terminal, settings saved
volatile sig_atomic_t terminal_raw = 0;
HWND key_window;
bool input_closed;

// The reader waits here until the module has been read.
pthread_mutex_t gate_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gate_open = PTHREAD_COND_INITIALIZER;
enum class Gate { Closed, Open, NoKeys } gate = Gate::Closed;

// Written by the continue handler: the reader looks at the foreground again.
int wake_pipe[2] = {-1, -1};

bool in_foreground() { return tcgetpgrp(0) == getpgrp(); }

// Terminal settings change with SIGTTOU held back, so that a process that
// is not in the foreground is never stopped for it.
void set_terminal(const termios& settings) {
    sigset_t ttou;
    sigset_t previous;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, &previous);
    tcsetattr(0, TCSANOW, &settings);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Raw mode, only while the player's process group owns the terminal.
void take_terminal() {
    if (have_terminal == 0 || terminal_raw != 0 || !in_foreground()) return;
    termios raw = saved_terminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    terminal_raw = 1;
    set_terminal(raw);
}

void wake_reader() {
    if (wake_pipe[1] < 0) return;
    const char byte = 1;
    const int saved = errno;
    [[maybe_unused]] const ssize_t put = write(wake_pipe[1], &byte, 1);
    errno = saved;
}

void on_ending_signal(int signal_number) {
    restore_terminal();
    // The handler was reset on entry: the signal now ends the process with
    // its usual status once this handler returns.
    raise(signal_number);
}

void on_continue(int) {
    const int saved = errno;
    take_terminal();
    wake_reader();
    errno = saved;
}

void on_stop(int signal_number) {
    const int saved = errno;
    restore_terminal();
    struct sigaction stop = {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    struct sigaction ours;
    sigaction(signal_number, &stop, &ours);
    raise(signal_number);
    // The stop is pending while its handler runs: let it happen here.
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &pending, nullptr);
    // Continued.
    pthread_sigmask(SIG_BLOCK, &pending, nullptr);
    sigaction(signal_number, &ours, nullptr);
    take_terminal();
    wake_reader();
    errno = saved;
}

void install(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

// Every signal whose usual action ends the process, except SIGPIPE, which
// the player ignores, and SIGKILL, which cannot be caught.
void install_signal_handlers() {
    const int ways_out[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,
                            SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGALRM, SIGTERM,   SIGXCPU,
                            SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGSYS,  SIGSTKFLT, SIGPWR};
    for (int signal_number : ways_out) install(signal_number, on_ending_signal, static_cast<int>(SA_RESETHAND));
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
        install(signal_number, on_ending_signal, static_cast<int>(SA_RESETHAND));
    const int stops[] = {SIGTSTP, SIGTTIN, SIGTTOU};
    for (int signal_number : stops) install(signal_number, on_stop, SA_RESTART);
    install(SIGCONT, on_continue, SA_RESTART);
}

// Waits until standard input has a byte for the player (or the wait limit
// passes: false). A terminal is read only while the player is in the
// foreground, so a background player never takes the shell's keys.
bool wait_for_input(int wait_ms) {
    for (;;) {
        const bool terminal_ours = have_terminal == 0 || in_foreground();
        pollfd fds[2] = {{wake_pipe[0], POLLIN, 0}, {0, POLLIN, 0}};
        const int ready = poll(fds, terminal_ours ? 2 : 1, terminal_ours ? wait_ms : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        if ((fds[0].revents & POLLIN) != 0) {
            char drained[16];
            [[maybe_unused]] const ssize_t got = read(wake_pipe[0], drained, sizeof drained);
            continue;
        }
        if (ready == 0) return false;
        if (fds[1].revents != 0) return true;
    }
}

// The next input byte, or -1 at the end of input; with a wait limit, also
// -1 when nothing comes in time.
int next_byte(int wait_ms) {
    for (;;) {
        if (!wait_for_input(wait_ms)) return -1;
        unsigned char byte;
        const ssize_t got = read(0, &byte, 1);
        if (got == 1) return byte;
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // A terminal read as the player went to the background.
        if (got < 0 && errno == EIO && have_terminal != 0 && !in_foreground()) continue;
        return -1;
    }
}

void press(WPARAM virtual_key) { post_key(key_window, virtual_key); }

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
    pthread_mutex_lock(&gate_lock);
    while (gate == Gate::Closed) pthread_cond_wait(&gate_open, &gate_lock);
    const bool reading = gate == Gate::Open;
    pthread_mutex_unlock(&gate_lock);
    if (!reading) return nullptr;
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

void note_closed_input() { input_closed = true; }

void start_keys(HWND window) {
    key_window = window;
    install_signal_handlers();
    if (input_closed) return;
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    if (isatty(0) != 0 && tcgetattr(0, &saved_terminal) == 0) have_terminal = 1;
    take_terminal();
    start_thread(read_keys, nullptr);
}

void module_read(int module_fd) {
    struct stat module_file;
    struct stat input;
    const bool module_is_input = !input_closed && fstat(module_fd, &module_file) == 0 && fstat(0, &input) == 0 &&
                                 module_file.st_dev == input.st_dev && module_file.st_ino == input.st_ino;
    pthread_mutex_lock(&gate_lock);
    if (gate == Gate::Closed) gate = module_is_input ? Gate::NoKeys : Gate::Open;
    pthread_cond_broadcast(&gate_open);
    pthread_mutex_unlock(&gate_lock);
}

void restore_terminal() {
    if (terminal_raw == 0) return;
    terminal_raw = 0;
    set_terminal(saved_terminal);
}

}  // namespace zindle::posix
