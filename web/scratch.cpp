// The WebAssembly module's scratch area: a caller that owns no memory of
// its own in the module (JavaScript, another runtime) writes a module
// there before zindle_load, and may take the frames of zindle_render
// there too. Static, like everything in the engine.
#include <cstddef>
#include <cstdint>

#include "zindle.h"

namespace {
alignas(16) std::uint8_t scratch[ZINDLE_IMAGE_BYTES];
}

// The area's offset in memory, for any size up to a whole module image
// (0x180000 bytes, 393,216 frames); 0 for a larger size.
extern "C" void* zindle_scratch(std::size_t size) {
    return size <= sizeof scratch ? scratch : nullptr;
}
