// The engine's seams as the test programs, the benchmark and the tools
// built on the testkit define them: console bytes are kept, submitted
// buffers are counted. The harness (engine_harness.cpp) reads and resets
// what they saw.
#pragma once

#include <string>

namespace zindle::test::seams {

extern std::string console_bytes;  // since the last load() or take_console()
extern int console_calls;          // since the program started
extern int submissions;            // since the last load()

}  // namespace zindle::test::seams
