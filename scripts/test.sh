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
ctest --preset default -j "$jobs"

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

# libFuzzer on every parser of network input, 5 seconds per target; a crash
# fails the script. A longer run: scripts/fuzz.sh [seconds].
scripts/fuzz.sh 5

# ThreadSanitizer on the threaded core tests (label "threads": the hand-over,
# stops from another thread, scripted and simulated devices). Only their
# targets are built.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target kesto_thread_tests kesto_update_tests \
  kesto_update_sim_tests discovery_loopback_tests discovery_sim_tests
TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j "$jobs" -L threads
