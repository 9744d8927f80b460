#!/usr/bin/env bash
# Makes build/kesto-fw-windows-x64.zip: kesto-fw-gui.exe (the window),
# kesto-fw.exe and kesto-sim.exe for 64-bit Windows (MinGW-w64, statically
# linked: no DLLs needed), a README for the operator and the two firewall
# scripts.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target kesto-fw-gui kesto-fw kesto-sim

name=kesto-fw-windows-x64
stage=build/package/$name
rm -rf build/package "build/$name.zip"
mkdir -p "$stage"
cp build/windows/app/win32/kesto-fw-gui.exe build/windows/cli/kesto-fw.exe \
  build/windows/sim/kesto-sim.exe "$stage/"
x86_64-w64-mingw32-strip "$stage"/*.exe
version=$(sed -n 's/^project(KestoFirmwareWriter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# Windows line ends, so that every editor and cmd.exe read them right.
crlf() { sed 's/$/\r/' >"$stage/$1"; }
crlf README.txt <<TEXT
KESTO firmware writer ${version} for 64-bit Windows
================================================

kesto-fw-gui.exe  the window: finds KESTO devices on the local IPv4 network and
                  writes firmware into them
kesto-fw.exe      the same on the command line
kesto-sim.exe     simulated KESTO devices, for trying kesto-fw without hardware
allow-firewall.cmd, remove-firewall.cmd
                  add and remove the firewall rules (see Firewall)

No installation: unpack anywhere (for example C:\KESTO) and keep the files
together.

The window
----------
Double-click kesto-fw-gui.exe. Choose the network card that reaches the
devices, press Search (検索), choose a device in the list, press Write
(書き込み), choose the firmware file (.bin) and confirm. The result comes in a
message box; a device that was written leaves the list until it is searched
for again (it restarts).

From a Command Prompt the window takes two options:
  kesto-fw-gui --host-port N   the device connects back to TCP port N (for a
                               firewall rule that names one port)
  kesto-fw-gui --demo          simulated devices on this PC only (127.0.0.1)

The command line
----------------
  kesto-fw interfaces
  kesto-fw search [--interface ADDR] [--json]
  kesto-fw write --device ADDR [--interface ADDR] [--host-port N] [--yes] FILE
  kesto-fw --help          (all options and the exit status of each outcome)

Firewall
--------
During a write the device connects back to this PC. Windows Defender Firewall
blocks that unless a rule allows it, and the write then ends with
"通信タイムアウト ファイアウォール設定が誤っている可能性があります" (or
"KESTO通信エラー" / no device found when the search's answers are blocked too).

Easiest: right-click allow-firewall.cmd, "Run as administrator". It allows
kesto-fw-gui.exe and kesto-fw.exe in this folder to receive connections (TCP
and UDP, inbound, every network profile). remove-firewall.cmd, also run as
administrator, takes the rules away again. Run allow-firewall.cmd again after
moving the folder.

What the programs use:
- Out, UDP 30718: the search broadcast; the devices answer with UDP.
- Out, TCP 9998: the information query of each device found.
- Out, UDP 3232: the update invitation to the device (and its answer).
- In, TCP: the device's connection during a write. Its port is chosen by
  Windows for each write unless --host-port N fixes it; a rule for TCP port N
  inbound is then enough.

Network errors show Windows' own numbers, e.g. 10060 (time-out) or 10061
(connection refused).
TEXT

crlf allow-firewall.cmd <<'TEXT'
@echo off
rem Allows kesto-fw-gui.exe and kesto-fw.exe in this folder to receive the
rem devices' answers and connections (inbound, TCP and UDP, all profiles).
rem Must be run as administrator: right-click, "Run as administrator".
net session >nul 2>&1
if errorlevel 1 (
  echo Run this file as administrator: right-click it, "Run as administrator".
  pause
  exit /b 1
)
call "%~dp0remove-firewall.cmd" quiet
for %%p in (kesto-fw-gui kesto-fw) do (
  netsh advfirewall firewall add rule name="KESTO firmware writer (%%p)" dir=in action=allow program="%~dp0%%p.exe" enable=yes profile=any
)
echo The firewall now lets the KESTO devices reach kesto-fw-gui.exe and kesto-fw.exe.
if not "%1"=="quiet" pause
TEXT

crlf remove-firewall.cmd <<'TEXT'
@echo off
rem Removes the rules that allow-firewall.cmd added.
rem Must be run as administrator: right-click, "Run as administrator".
net session >nul 2>&1
if errorlevel 1 (
  echo Run this file as administrator: right-click it, "Run as administrator".
  pause
  exit /b 1
)
for %%p in (kesto-fw-gui kesto-fw) do (
  netsh advfirewall firewall delete rule name="KESTO firmware writer (%%p)" >nul 2>&1
)
if not "%1"=="quiet" (
  echo The firewall rules of the KESTO firmware writer are removed.
  pause
)
TEXT

(cd build/package && cmake -E tar cf "../$name.zip" --format=zip "$name")
echo "build/$name.zip"
