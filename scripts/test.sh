#!/usr/bin/env bash
# Builds everything and runs every test: the main build (core, window,
# command line, simulator) and its Debian package through lintian, the Windows
# build with its tests and its installer under Wine, the
# core tests under ASan+UBSan, the fuzz targets for a few seconds each, and the
# threaded core tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

# The Windows stage: kesto-fw.exe, kesto-fw-gui.exe, kesto-sim.exe and the
# tests built with MinGW-w64, the tests run under Wine, the command-line
# end-to-end test with kesto-fw.exe and the window's test that drives the real
# dialog, both against the Linux kesto-sim. The prefix of Wine is made afresh
# on every run: one whose making was interrupted can stay broken (it sees no
# network interfaces). Its display driver is null, so dialogs need no X.
windows_stage() {
  local start=$SECONDS
  export WINEDEBUG=-all WINEPREFIX="$PWD/build/windows/wine-prefix"
  cmake --preset windows -DKESTO_E2E_SIMULATOR="$PWD/build/default/sim/kesto-sim" >/dev/null
  nice -n 5 cmake --build --preset windows -j "$jobs"
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  unset DISPLAY
  # Making the prefix starts its desktop process before the null driver is
  # set; it keeps no driver until the prefix's processes are ended.
  /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w
  # Wine's server and its services outlive the programs they serve: started
  # here, away from ctest, they cannot hold its output pipes open.
  /usr/lib/wine/wineserver -p
  /usr/lib/wine/wine64 build/windows/cli/kesto-fw.exe --version >/dev/null 2>&1 </dev/null
  local status=0
  ctest --preset windows -j "$jobs" || status=$?
  # The packages from the programs just built: signed, installed, upgraded
  # and removed in this prefix.
  tests/packages/msi_under_wine.sh || status=1
  /usr/lib/wine/wineserver -k || true
  echo "Windows stage: $((SECONDS - start)) s"
  return "$status"
}

cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"

# Most of the Windows stage waits on Wine and the network, so it runs beside
# the Linux stages (its end-to-end test needs the kesto-sim just built).
mkdir -p build
windows_stage >build/windows-stage.log 2>&1 &
windows=$!
# Should a Linux stage fail, the Windows stage goes too: its processes by id,
# then Wine's server of its own prefix.
stop_tree() {
  local child
  for child in $(pgrep -P "$1" || true); do stop_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
trap 'stop_tree "$windows"; WINEPREFIX="$PWD/build/windows/wine-prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

# The hostile soak (label "soak") runs a few rounds here; its full length is in
# docs/RELIABILITY.md.
ctest --preset default -j "$jobs" -LE soak
KESTO_SOAK_ROUNDS=3 ctest --preset default -L soak

# The Debian package from this build (no second compile), checked by lintian.
scripts/package-deb.sh

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

if ! wait "$windows"; then
  cat build/windows-stage.log
  echo "The Windows stage failed (log: build/windows-stage.log)" >&2
  exit 1
fi
grep '^Windows stage' build/windows-stage.log
grep 'tests passed' build/windows-stage.log
