// libFuzzer target: the JSON reader, the prepare request reader and the three
// side-command request readers.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plfuzz::CheckRequestInput({data, size});
  return 0;
}
