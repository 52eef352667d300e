// The engine harness: loads a module file into the engine as the programs
// do and renders its frames, with what the engine's seams saw on the way
// (engine_seams.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zindle::test {

// Clears the whole engine (state, image, output ring), copies the file
// into the image at most up to its size, runs the loader and returns the
// console bytes it wrote. `loaded` receives the loader's result.
std::string load(const std::vector<std::uint8_t>& file, bool* loaded = nullptr);

// As load(), with out_clock standing at `start_clock` when the loader runs,
// as it would after hours of playback.
std::string load_at_clock(const std::vector<std::uint8_t>& file, std::uint32_t start_clock, bool* loaded = nullptr);

// Points the engine's console and buffer seams at the testkit's
// (engine_seams.cpp); load() and take_console() do it.
void wire_test_seams();

// Console bytes written since the last load() or take_console().
std::string take_console();

// Renders `buffers` calls of fill_buffer and returns the interleaved frames.
std::vector<std::int16_t> render(int buffers);

// Same through the reference per-frame mixer.
std::vector<std::int16_t> render_reference(int buffers);

// Number of fill_buffer submissions seen since the last load().
int submitted_buffers();

// Number of console_write calls since the program started.
int console_writes();

}  // namespace zindle::test
