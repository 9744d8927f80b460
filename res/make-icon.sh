#!/usr/bin/env bash
# Draws the window icon res/kesto-fw-gui.png (64x64): a firmware arrow going
# down into a chip, and its 24-bit Windows twin res/kesto-fw-gui.ico. Needs
# ImageMagick and Python 3; both files are committed, so only run this to
# change the drawing.
set -euo pipefail
cd "$(dirname "$0")"
convert -size 64x64 xc:none \
  -fill '#1d4e89' -draw 'roundrectangle 1,1 62,62 11,11' \
  -fill '#c9d6e3' \
  -draw 'rectangle 11,37 15,39' -draw 'rectangle 11,43 15,45' -draw 'rectangle 11,49 15,51' \
  -draw 'rectangle 48,37 52,39' -draw 'rectangle 48,43 52,45' -draw 'rectangle 48,49 52,51' \
  -fill '#eef3f8' -draw 'roundrectangle 16,33 47,56 3,3' \
  -fill '#1d4e89' -draw 'rectangle 22,39 41,50' \
  -fill '#f5b700' -draw 'polygon 27,6 36,6 36,17 44,17 31.5,30 19,17 27,17' \
  -strip PNG32:kesto-fw-gui.png
python3 png-to-ico.py kesto-fw-gui.png kesto-fw-gui.ico
