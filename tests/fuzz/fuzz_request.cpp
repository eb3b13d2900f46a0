// libFuzzer target: the JSON reader, the prepare request reader and the three
// side-command request readers.
#include "fuzz/fuzz_checks.h"

PL_FUZZ_TARGET(plfuzz::CheckRequestInput)
