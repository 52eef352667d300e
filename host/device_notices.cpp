// What the Linux player says and does about its sound device, which there
// can come and go while the song plays: a line on the console each way,
// where the host writes its other texts, and Escape while the device is
// slow to open ends the player as Escape always does.
#include "host.h"
#include "posix_platform.h"

namespace zindle::posix {

namespace {

void say(const char* line, DWORD length) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, length, &written, nullptr);
}

}  // namespace

void sound_device_lost() {
    static const char text[] = "Sound device lost\r\n";
    say(text, sizeof text - 1);
}

void sound_device_back() {
    static const char text[] = "Sound device back\r\n";
    say(text, sizeof text - 1);
}

void escape_while_opening() { ExitProcess(EXIT_OK); }

}  // namespace zindle::posix
