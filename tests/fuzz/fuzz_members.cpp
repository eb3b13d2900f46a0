// libFuzzer target: the collision mesh, voxel and analytic member decoders.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plfuzz::CheckMemberInput({data, size});
  return 0;
}
