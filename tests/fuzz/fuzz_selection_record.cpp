// libFuzzer target: the component-selection record reader.
#include "fuzz/fuzz_checks.h"

PL_FUZZ_TARGET(plfuzz::CheckSelectionRecordInput)
