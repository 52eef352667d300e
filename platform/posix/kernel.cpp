// KERNEL32 on Linux: command line, console and file handles, threads, the
// monotonic clock and the end of the process.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "posix_platform.h"

namespace zindle::posix {

namespace {

char empty_command_line[1] = {0};
// Files CreateFileA has opened and not yet closed.
int opened_files;
char* command_line = empty_command_line;

// A handle is a file descriptor plus one, so that no valid handle is null.
HANDLE handle_for(int fd) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(fd) + 1); }

int fd_of(HANDLE handle) { return static_cast<int>(reinterpret_cast<LONG_PTR>(handle) - 1); }

}  // namespace

void set_command_line(int argc, char** argv) {
    // Room for the program's name in quotes and every argument after a blank.
    std::size_t size = 3;
    for (int i = 0; i < argc; ++i) size += std::strlen(argv[i]) + 1;
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) return;
    char* at = text;
    for (int i = 0; i < argc; ++i) {
        if (i != 0) *at++ = ' ';
        const std::size_t length = std::strlen(argv[i]);
        // The program's name is quoted, as Windows quotes a path with
        // blanks, so the host still finds where the module's path starts.
        // A quote in the name (which a Windows path cannot hold) is left
        // out: only the arguments after the name are read.
        if (i == 0 && std::strpbrk(argv[0], " \"") != nullptr) {
            *at++ = '"';
            for (const char* c = argv[0]; *c != 0; ++c)
                if (*c != '"') *at++ = *c;
            *at++ = '"';
            continue;
        }
        std::memcpy(at, argv[i], length);
        at += length;
    }
    *at = 0;
    command_line = text;
}

bool start_thread(void* (*run)(void*), void* argument) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, run, argument) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

long long monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace zindle::posix

using namespace zindle::posix;

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR) {
    static char module;
    return reinterpret_cast<HMODULE>(&module);
}

// Standard output is the console, and it is always there.
BOOL WINAPI AllocConsole() { return FALSE; }

HANDLE WINAPI GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return handle_for(0);
    if (which == STD_OUTPUT_HANDLE) return handle_for(1);
    if (which == STD_ERROR_HANDLE) return handle_for(2);
    return INVALID_HANDLE_VALUE;
}

LPSTR WINAPI GetCommandLineA() { return command_line; }

// Opens existing files for reading, the one use the host has. A folder is
// refused, as it is on Windows without backup semantics.
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
    if (access != GENERIC_READ || disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    ++opened_files;
    return handle_for(fd);
}

// Like ReadFile on a disk file: reads until the count or the end of file.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED) {
    DWORD total = 0;
    BOOL ok = TRUE;
    while (total < to_read) {
        const ssize_t got = ::read(fd_of(file), static_cast<char*>(buffer) + total, to_read - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = FALSE;
            break;
        }
        if (got == 0) break;
        total += static_cast<DWORD>(got);
    }
    if (read != nullptr) *read = total;
    return ok;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, LPOVERLAPPED) {
    DWORD total = 0;
    BOOL ok = TRUE;
    while (total < to_write) {
        const ssize_t put = ::write(fd_of(file), static_cast<const char*>(buffer) + total, to_write - total);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            ok = FALSE;
            break;
        }
        total += static_cast<DWORD>(put);
    }
    if (written != nullptr) *written = total;
    return ok;
}

// Closing the file CreateFileA opened means the module has been read.
BOOL WINAPI CloseHandle(HANDLE object) {
    if (opened_files > 0 && fd_of(object) > 2) {
        --opened_files;
        module_read(fd_of(object));
    }
    return ::close(fd_of(object)) == 0 ? TRUE : FALSE;
}

// Nothing is flushed or released: console writes are unbuffered and the
// system reclaims the rest. Only the terminal is given back.
void WINAPI ExitProcess(UINT exit_code) {
    restore_terminal();
    ::_exit(static_cast<int>(exit_code));
}

}  // extern "C"
