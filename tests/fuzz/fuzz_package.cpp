// libFuzzer target: the re-read of a written package image.
#include "fuzz/fuzz_checks.h"

PL_FUZZ_TARGET(plfuzz::CheckPackageImageInput)
