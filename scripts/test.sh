#!/usr/bin/env bash
# Builds everything and runs every test: the main build (core, window,
# command line, simulator), the core tests under ASan+UBSan, the fuzz targets
# for a few seconds each, and the threaded core tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
# The hostile soak (label "soak") runs a few rounds here; its full length is in
# docs/RELIABILITY.md.
ctest --preset default -j "$jobs" -LE soak
KESTO_SOAK_ROUNDS=3 ctest --preset default -L soak

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" -LE soak
KESTO_SOAK_ROUNDS=3 ctest --preset asan -L soak

# libFuzzer on every parser of network input, 5 seconds per target; a crash
# fails the script. A longer run: scripts/fuzz.sh [seconds].
scripts/fuzz.sh 5

# ThreadSanitizer on the threaded core tests (label "threads": stops from
# another thread, scripted and simulated devices). Only their targets are built.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target kesto_update_tests discovery_loopback_tests \
  sim_tests
TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j "$jobs" -L threads
