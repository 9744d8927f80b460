#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need, the
# Windows build (MinGW-w64, GoogleTest sources) and its tests (Wine) included,
# and the packages' tools (the MSI's, signing, manual pages, lintian).
# Idempotent: does nothing when everything is there already.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev libcli11-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev fonts-ipafont-gothic
  clang libclang-rt-14-dev
  iproute2 nftables libexpected-dev openssl python3
  g++-mingw-w64-x86-64-posix googletest wine64 wine
  wixl msitools osslsigncode lintian help2man
)
# Only for redrawing docs/screenshot.png and docs/screenshot-windows.png
# (tests/app/demo-screenshot.sh, scripts/windows-screenshot.sh):
# xvfb imagemagick
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
