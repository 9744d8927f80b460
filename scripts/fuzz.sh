#!/usr/bin/env bash
# Fuzzes every parser of network input with libFuzzer (clang, ASan + UBSan).
#
#   scripts/fuzz.sh [seconds]    each target for that long (default 60)
#
# Builds the targets of tests/fuzz in build/fuzz and runs each on a fresh
# working copy of its seeds (tests/fuzz/corpus/<target>/, never written), so
# the run is repeatable. A crash or a failed check stops the script with a
# non-zero status; the input that did it is kept in build/fuzz/crashes/<target>/
# and belongs in a regression unit test. The test command runs this with 5.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DKESTO_BUILD_FUZZ=ON -DKESTO_BUILD_GUI=OFF -DKESTO_BUILD_TESTS=OFF -DKESTO_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "$build" --target kesto_fuzz

printf '%-22s %12s %8s %8s\n' target executions seeds corpus
for seeds in tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  work="$build/corpus/$target"
  crashes="$build/crashes/$target"
  log="$build/$target.log"
  rm -rf "$work"
  mkdir -p "$work" "$crashes"
  cp "$seeds"* "$work"/
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$work" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $target failed; the input is in $crashes/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  printf '%-22s %12s %8s %8s\n' "$target" "$runs" "$(ls "$seeds" | wc -l)" "$(ls "$work" | wc -l)"
done
