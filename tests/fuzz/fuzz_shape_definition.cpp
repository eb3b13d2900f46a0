// libFuzzer target: the shape definition parser.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plfuzz::CheckShapeDefinitionInput({data, size});
  return 0;
}
