// Linux start: keep the command line, then run the host's entry.
#include <fcntl.h>
#include <signal.h>

#include <cerrno>

#include "host.h"
#include "posix_platform.h"

int main(int argc, char** argv) {
    // A closed standard stream is taken by a read-only /dev/null, so that no
    // file opened later (the module, the sound device's) becomes descriptor
    // 0, 1 or 2: writes to a closed one then fail, as they would have.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == 0) zindle::posix::note_closed_input();
        const int spare = open("/dev/null", O_RDONLY);
        if (spare > 2) close(spare);
    }
    // A console that went away makes writes fail, as on Windows, instead of
    // ending the program.
    signal(SIGPIPE, SIG_IGN);
    zindle::posix::set_command_line(argc, argv);
    zindle_entry();
}
