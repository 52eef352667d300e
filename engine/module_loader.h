// Turns the module image into the starting player state.
#pragma once

#include <cstdint>

namespace zindle {

// Loads the module that the caller has put at the start of module_image
// (the song points into it). Returns false when the song length is 0:
// nothing can be played and the caller ends the program.
bool load_module();

}  // namespace zindle
