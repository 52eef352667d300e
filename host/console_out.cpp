// Where the engine's console report goes: the console's output handle.
#include "console_text.h"
#include "host.h"
#include "sequencer.h"

namespace zindle {

constinit HANDLE console_output = nullptr;

void console_write(const char* bytes, std::uint32_t count) {
    DWORD written;
    WriteFile(console_output, bytes, count, &written, nullptr);
}

void wire_engine() {
    engine_hooks.console = console_write;
    engine_hooks.buffer_ready = submit_buffer;
}

}  // namespace zindle
