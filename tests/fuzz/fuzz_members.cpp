// libFuzzer target: the collision mesh, voxel and analytic member decoders.
#include "fuzz/fuzz_checks.h"

PL_FUZZ_TARGET(plfuzz::CheckMemberInput)
