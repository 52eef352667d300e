// Linux start: keep the command line, then run the host's entry.
#include "host.h"
#include "posix_platform.h"

int main(int argc, char** argv) {
    zindle::posix::set_command_line(argc, argv);
    zindle_entry();
}
