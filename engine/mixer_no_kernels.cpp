// Builds without processor kernels (other processors, or the option that
// turns them off): the table stays empty and the production mixer is the
// reference mixer.
#include "mixer_kernels.h"

namespace zindle::mixing {

void choose_processor_kernels(MixerExtensions, MixerKernels&) {}

}  // namespace zindle::mixing
