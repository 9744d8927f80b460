#!/usr/bin/env bash
# Makes build/kesto-fw-windows-x64.zip: kesto-fw.exe and kesto-sim.exe for
# 64-bit Windows (MinGW-w64, statically linked: no DLLs needed) with a short
# README. The window needs a Windows Qt and is not part of it (see README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target kesto-fw kesto-sim

name=kesto-fw-windows-x64
stage=build/package/$name
rm -rf build/package "build/$name.zip"
mkdir -p "$stage"
cp build/windows/cli/kesto-fw.exe build/windows/sim/kesto-sim.exe "$stage/"
x86_64-w64-mingw32-strip "$stage"/*.exe
version=$(sed -n 's/^project(KestoFirmwareWriter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# Windows line ends, so that every editor shows it right.
sed 's/$/\r/' >"$stage/README.txt" <<TEXT
KESTO firmware writer ${version} for 64-bit Windows
================================================

kesto-fw.exe   finds KESTO devices on the local IPv4 network and writes firmware
               into them (command line; the same core as the window)
kesto-sim.exe  simulated KESTO devices, for trying kesto-fw without hardware

No installation: unpack anywhere and run from a Command Prompt or PowerShell.

  kesto-fw interfaces
  kesto-fw search [--interface ADDR] [--json]
  kesto-fw write --device ADDR [--interface ADDR] [--host-port N] [--yes] FILE
  kesto-fw --help          (all options and the exit status of each outcome)

Firewall
--------
- Out, UDP 30718: the search broadcast. The devices answer with unicast UDP
  within a second; Windows lets such answers to a broadcast in by default
  ("Allow unicast response").
- Out, TCP 9998: the information query of each device found.
- Out, UDP 3232: the update invitation to the device (and its answer).
- In, TCP: during a write the device connects back to a listener on this PC.
  Its port is chosen by Windows for each write unless --host-port N fixes it;
  then allow TCP port N in (Windows Defender Firewall: inbound rule, private
  network), or allow kesto-fw.exe itself when Windows asks on the first write.
  A blocked connection ends the write with exit status 4.

Network errors show Windows' own numbers, e.g. 10060 (time-out) or 10061
(connection refused).
TEXT

(cd build/package && cmake -E tar cf "../$name.zip" --format=zip "$name")
echo "build/$name.zip"
