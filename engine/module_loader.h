// Turns the module image into the starting player state.
#pragma once

#include <cstdint>

namespace zindle {

// Loads the module at the start of module_image. Returns false when the
// song length is 0: nothing can be played and the caller ends the program.
bool load_module(const std::uint8_t* image);

}  // namespace zindle
