// libFuzzer target: the STL and OBJ readers.
#include "fuzz/fuzz_checks.h"

PL_FUZZ_TARGET(plfuzz::CheckMeshInput)
