// Linux start: keep the command line, then run the host's entry.
#include <signal.h>

#include "host.h"
#include "posix_platform.h"

int main(int argc, char** argv) {
    // A console that went away makes writes fail, as on Windows, instead of
    // ending the program.
    signal(SIGPIPE, SIG_IGN);
    zindle::posix::set_command_line(argc, argv);
    zindle_entry();
}
