#!/usr/bin/env bash
# Builds the firmware writer and starts it.
#   scripts/run.sh            the window with simulated devices on loopback (--demo)
#   scripts/run.sh --real     the window on the real network (no simulator)
#   scripts/run.sh --cli      no window: a command-line search and write against
#                             simulated devices (also used when there is no display)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
bin=build/default

mode=${1:-demo}
if [ "$mode" != "--cli" ] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: showing the command-line demo instead (use a desktop session for the window)."
  mode=--cli
fi

case "$mode" in
  --real) exec "$bin/app/qt/kesto-fw-gui" ;;
  --cli)
    "$bin/sim/kesto-sim" --duration 60 >/dev/null &
    sim=$!
    trap 'kill $sim 2>/dev/null' EXIT
    sleep 0.5
    echo "\$ kesto-fw search --interface 127.0.0.1"
    "$bin/cli/kesto-fw" search --interface 127.0.0.1
    image=$(mktemp -d)/KS_N_demo.bin
    head -c 65536 /dev/urandom >"$image"
    echo "\$ kesto-fw write --device 127.0.0.2 --interface 127.0.0.1 --yes $image"
    "$bin/cli/kesto-fw" write --device 127.0.0.2 --interface 127.0.0.1 --yes "$image"
    ;;
  *) exec "$bin/app/qt/kesto-fw-gui" --demo ;;
esac
