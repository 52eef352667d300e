#include "engine_seams.h"

#include <cstdint>

#include "engine_harness.h"
#include "sequencer.h"

namespace zindle {

namespace test::seams {
std::string console_bytes;
int console_calls;
int submissions;
}  // namespace test::seams

namespace {
void keep_console(const char* bytes, std::uint32_t count) {
    test::seams::console_bytes.append(bytes, count);
    ++test::seams::console_calls;
}
void count_buffer() { ++test::seams::submissions; }
}  // namespace

void test::wire_test_seams() {
    engine_hooks.console = keep_console;
    engine_hooks.buffer_ready = count_buffer;
}

}  // namespace zindle
