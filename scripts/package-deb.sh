#!/usr/bin/env bash
# Builds the Debian package of the firmware writer:
#   scripts/package-deb.sh      ->  build/package/kesto-fw_<version>_<arch>.deb
# Install it with: sudo apt install ./build/package/kesto-fw_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Only the package needs help2man: the manual pages are made from the
# programs' own help.
if ! dpkg-query -W -f='${Status}' help2man 2>/dev/null | grep -q "install ok installed"; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends help2man
fi
build=build/package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BUILD_GUI=ON \
  -DKESTO_BUILD_TESTS=OFF -DKESTO_BUILD_BENCH=OFF -DKESTO_MAN_PAGES=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kesto-fw_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
dpkg-deb --contents "$deb" | awk '{print $6}'
echo "built $deb"
