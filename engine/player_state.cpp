// Every piece of state the engine keeps, defined here side by side, and the
// one operation that puts them all back as a fresh process has them.
#include "player_state.h"

#include <cstring>

#include "mixer.h"
#include "mixer_kernels.h"
#include "mixer_lanes.h"
#include "sequencer.h"

namespace zindle {

PlayerState player;
alignas(64) std::uint8_t module_image[IMAGE_BYTES + IMAGE_TAIL_BYTES];

// The output ring (mixer.h).
std::int16_t output_buffers[BUFFER_COUNT][FRAMES_PER_BUFFER * 2];
std::uint8_t next_buffer;

// The row decoder's working position and the program's seams
// (sequencer.h).
RowWork row_work;
EngineHooks engine_hooks;

// The production mixer's scratch and its chosen kernels (mixer_lanes.h,
// mixer_kernels.h).
mixing::MixerScratch mixing::mixer_scratch;
mixing::MixerChoice mixing::mixer_choice;

void reset_engine() {
    player = PlayerState{};
    std::memset(output_buffers, 0, sizeof output_buffers);
    next_buffer = 0;
    row_work = RowWork{};
    std::memset(&mixing::mixer_scratch, 0, sizeof mixing::mixer_scratch);
    mixing::mixer_choice = mixing::MixerChoice{};
}

}  // namespace zindle
