#!/usr/bin/env bash
# Draws docs/screenshot-windows.png: kesto-fw-gui's dialog under Wine and Xvfb
# after a search that found the devices of a Linux kesto-sim on loopback (the
# window's test, tests/win32/window_dialog.sh, holds still for the picture).
# Needs the Windows and the default build, xvfb and ImageMagick
# (apt-get install xvfb imagemagick).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake --build --preset windows --target window_dialog_test >/dev/null
cmake --build --preset default --target kesto-sim >/dev/null
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all KESTO_RUNNER=/usr/lib/wine/wine64
# With no window manager nobody draws the frame and the title bar: they stay
# as black as the screen around them, and trimming the black leaves the
# dialog's client area (329 x 240 units at 9 pt: 576 x 390 pixels).
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  # The stand-in for the Windows dialog font, with nearly its metrics.
  /usr/lib/wine/wine64 reg add "HKCU\\Software\\Wine\\Fonts\\Replacements" \
    /v "ＭＳ Ｐゴシック" /d IPAPGothic /f >/dev/null 2>&1
  KESTO_SCREENSHOT="Z:${1//\//\\}\\ready" tests/win32/window_dialog.sh \
    build/windows/tests/win32/window_dialog_test.exe build/default/sim/kesto-sim >"$1/test.log" 2>&1 &
  for _ in $(seq 600); do [ -e "$1/ready" ] && break; sleep 0.1; done
  import -window root "$1/shot.png"
  rm -f "$1/ready"
  wait $! || { cat "$1/test.log"; exit 1; }' _ "$work"
convert "$work/shot.png" -trim +repage -strip -colors 64 PNG8:"$top/docs/screenshot-windows.png"
echo "$top/docs/screenshot-windows.png"
