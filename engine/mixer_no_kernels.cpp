// Builds without processor kernels (other processors, or the option that
// turns them off): the table keeps the plain kernels at every level.
#include "mixer_kernels.h"

namespace zindle::mixing {

void choose_processor_kernels(MixerLevel, MixerKernels&) {}

}  // namespace zindle::mixing
