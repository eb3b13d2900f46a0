// libFuzzer target: the component-selection record reader.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plfuzz::CheckSelectionRecordInput({data, size});
  return 0;
}
