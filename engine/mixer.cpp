// The production mixer: renders the channels into 16-bit stereo frames; the
// output byte count is the engine's clock and runs the ticks between frames.
#include "mixer.h"

namespace zindle {

std::int16_t output_buffers[BUFFER_COUNT][FRAMES_PER_BUFFER * 2];
std::uint8_t next_buffer;

void fill_buffer() { fill_buffer_reference(); }

}  // namespace zindle
