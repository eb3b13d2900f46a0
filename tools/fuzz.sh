#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (address and undefined
# behaviour sanitizers) in build-fuzz and runs each for FUZZ_SECONDS seconds,
# one after the other. Crashing inputs go to build-fuzz/findings/; the exit
# status is non-zero when any target found one.
#   FUZZ_SECONDS  seconds per target (60)
#   FUZZ_TARGETS  space-separated subset of the targets (all)
#   FUZZ_JOBS     build parallelism (2)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-2}
targets=(${FUZZ_TARGETS:-fuzz_request fuzz_mesh fuzz_shape_definition fuzz_selection_record
  fuzz_members fuzz_package})
build=build-fuzz

bash tools/bootstrap.sh fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPL_WERROR=OFF -DPL_BUILD_TESTS=OFF -DPL_BUILD_BENCH=OFF -DPL_SANITIZE=address,undefined \
  -DPL_FUZZ=ON > /dev/null
# Run from make, the nested build would announce every directory it enters.
env -u MAKELEVEL -u MAKEFLAGS nice -n 10 cmake --build "$build" -j "$jobs" --target "${targets[@]}"

mkdir -p "$build/findings" "$build/logs"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
failed=()
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  inputs=("$corpus" "tests/fuzz/seeds/$name")
  [[ -d "tests/fuzz/regressions/$name" ]] && inputs+=("tests/fuzz/regressions/$name")
  echo "fuzzing $target for ${seconds}s (log: $build/logs/$name.log)"
  if nice -n 10 "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=25 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$name-" "${inputs[@]}" \
      > "$build/logs/$name.log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$build/logs/$name.log" | tail -1 || true
  else
    echo "$target FOUND A CRASH: see $build/logs/$name.log and $build/findings/" >&2
    failed+=("$target")
  fi
done
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "findings in: ${failed[*]}" >&2
  exit 1
fi
