#!/usr/bin/env bash
# Builds the Debian package of the firmware writer:
#   scripts/package-deb.sh      ->  build/package/kesto-fw_<version>_<arch>.deb
# Install it with: sudo apt install ./build/package/kesto-fw_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=build/package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BUILD_GUI=ON \
  -DKESTO_BUILD_TESTS=OFF -DKESTO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kesto-fw_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
dpkg-deb --contents "$deb" | awk '{print $6}'
echo "built $deb"
