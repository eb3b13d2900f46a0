// libFuzzer target: the re-read of a written package image.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plfuzz::CheckPackageImageInput({data, size});
  return 0;
}
