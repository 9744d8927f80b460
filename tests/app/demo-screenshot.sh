#!/usr/bin/env bash
# Takes docs/screenshot.png: the demo window during a write, under Xvfb.
# Usage: tests/app/demo-screenshot.sh BUILD_DIR
set -euo pipefail
build=${1:?build directory}
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --build "$build" --target demo_screenshot >/dev/null
xvfb-run -a -s "-screen 0 575x390x24" bash -c '
  "$1" "$2/ready" & pid=$!
  for _ in $(seq 200); do [ -e "$2/ready" ] && break; sleep 0.1; done
  import -window root "$2/shot.png"
  rm -f "$2/ready"
  wait "$pid"' _ "$build/tests/app/demo_screenshot" "$work"
convert "$work/shot.png" -strip -colors 64 PNG8:"$top/docs/screenshot.png"
echo "$top/docs/screenshot.png"
