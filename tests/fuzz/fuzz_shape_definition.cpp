// libFuzzer target: the shape definition parser.
#include "fuzz/fuzz_checks.h"

PL_FUZZ_TARGET(plfuzz::CheckShapeDefinitionInput)
