#include "engine_seams.h"

#include <cstdint>

#include "console_text.h"
#include "mixer.h"

namespace zindle {

namespace test::seams {
std::string console_bytes;
int console_calls;
int submissions;
}  // namespace test::seams

void console_write(const char* bytes, std::uint32_t count) {
    test::seams::console_bytes.append(bytes, count);
    ++test::seams::console_calls;
}
void submit_buffer() { ++test::seams::submissions; }

}  // namespace zindle
