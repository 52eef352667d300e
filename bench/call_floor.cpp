// libzindle-call-floor: what a call of few frames through a shared library
// costs at the least, beside zindle-library-bench's figures for the real
// library: an exported function that does nothing, called from the same
// loop as zindle_render.
#include <cstddef>
#include <cstdint>

extern "C" [[gnu::visibility("default")]] std::size_t zindle_floor_empty(std::int16_t*, std::size_t frames) {
    return frames;
}
