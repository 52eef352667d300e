#include "player_state.h"

namespace zindle {

PlayerState player;
alignas(64) std::uint8_t module_image[IMAGE_BYTES + IMAGE_TAIL_BYTES];

}  // namespace zindle
