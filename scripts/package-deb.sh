#!/usr/bin/env bash
# Builds the Debian package of the firmware writer from the default build
# (build/default, the one the tests run; its programs are stripped on the way
# into the package) and checks it with lintian:
#   scripts/package-deb.sh      ->  build/default/kesto-fw_<version>_<arch>.deb
# Install it with: sudo apt install ./build/default/kesto-fw_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=build/default
cmake --preset default -DKESTO_MAN_PAGES=ON >/dev/null
cmake --build --preset default -j "$(nproc)"
rm -f "$build"/kesto-fw_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kesto-fw_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
dpkg-deb --contents "$deb" | awk '{print $6}'
# lintian's errors fail the script; its warnings are shown.
status=0
report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
grep -v '^running with root privileges' <<<"$report" || true
if ((status)); then
  echo "lintian found errors in $deb" >&2
  exit 1
fi
echo "built $deb"
