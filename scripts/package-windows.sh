#!/usr/bin/env bash
# Makes the Windows packages of the firmware writer, for 64-bit Windows
# (MinGW-w64, statically linked: no DLLs needed):
#   build/kesto-fw-<version>-x64.msi   the installer (res/kesto-fw.wxs)
#   build/kesto-fw-windows-x64.zip     the same programs to unpack anywhere,
#                                      with a README and two firewall helpers
# Options: --version X.Y.Z.W  the packages' version (default: the programs',
#                             from CMakeLists.txt); the programs are not rebuilt
#          --out DIR          where the packages go (default: build)
# With KESTO_SIGN_CERT naming a PFX the programs and the installer are signed
# (scripts/sign-windows.sh: the password in KESTO_SIGN_PASSWORD or
# KESTO_SIGN_PASSWORD_FILE); without it they are built unsigned.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(KestoFirmwareWriter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
out=build
while (($#)); do
  case $1 in
    --version) version=${2:?--version needs X.Y.Z.W}; shift 2 ;;
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    *) echo "usage: scripts/package-windows.sh [--version X.Y.Z.W] [--out DIR]" >&2; exit 64 ;;
  esac
done
# Windows Installer compares the first three numbers, each at most 255, 255, 65535.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)(\.[0-9]+)?$ ]] ||
  ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 || BASH_REMATCH[3] > 65535)); then
  echo "package-windows.sh: not a package version: $version" >&2
  exit 64
fi
scripts/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows --target kesto-fw-gui kesto-fw kesto-sim

name=kesto-fw-windows-x64
msi=$out/kesto-fw-$version-x64.msi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/$name
mkdir -p "$stage" "$out"
rm -f "$out/$name.zip" "$msi"
cp build/windows/app/win32/kesto-fw-gui.exe build/windows/cli/kesto-fw.exe \
  build/windows/sim/kesto-sim.exe "$stage/"
x86_64-w64-mingw32-strip "$stage"/*.exe
if [ -n "${KESTO_SIGN_CERT:-}" ]; then
  scripts/sign-windows.sh "$KESTO_SIGN_CERT" "$stage"/*.exe
fi

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
together. (On PCs managed by IT, kesto-fw-${version}-x64.msi installs the same
programs into Program Files, with a Start-menu entry and the firewall rules.)

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
  kesto-fw firewall add|remove   (as administrator: the firewall rules)
  kesto-fw --help          (all options and the exit status of each outcome)

Firewall
--------
During a write the device connects back to this PC. Windows Defender Firewall
blocks that unless a rule allows it, and the write then ends with
"通信タイムアウト ファイアウォール設定が誤っている可能性があります" (or
"KESTO通信エラー" / no device found when the search's answers are blocked too).

Easiest: right-click allow-firewall.cmd, "Run as administrator". It runs
"kesto-fw firewall add", which allows kesto-fw-gui.exe and kesto-fw.exe in this
folder to receive TCP connections (inbound, every network profile).
remove-firewall.cmd, also run as administrator, takes the rules away again
("kesto-fw firewall remove"). Run allow-firewall.cmd again after moving the
folder.

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
rem devices' connections (inbound TCP, all profiles): kesto-fw firewall add.
rem Must be run as administrator: right-click, "Run as administrator".
"%~dp0kesto-fw.exe" firewall add
set status=%errorlevel%
pause
exit /b %status%
TEXT

crlf remove-firewall.cmd <<'TEXT'
@echo off
rem Removes the rules that allow-firewall.cmd added: kesto-fw firewall remove.
rem Must be run as administrator: right-click, "Run as administrator".
"%~dp0kesto-fw.exe" firewall remove
set status=%errorlevel%
pause
exit /b %status%
TEXT

(cd "$work" && cmake -E tar cf "$name.zip" --format=zip "$name")
mv "$work/$name.zip" "$out/"

# wixl takes the files by names relative to the source: all in one folder.
mkdir "$work/msi"
cp "$stage"/*.exe res/kesto-fw.wxs res/kesto-fw-gui.ico "$work/msi/"
(cd "$work/msi" && wixl -a x64 -D Version="$version" -o kesto-fw.msi kesto-fw.wxs)
mv "$work/msi/kesto-fw.msi" "$msi"
if [ -n "${KESTO_SIGN_CERT:-}" ]; then
  scripts/sign-windows.sh "$KESTO_SIGN_CERT" "$msi"
else
  echo "package-windows.sh: KESTO_SIGN_CERT is not set: the programs and the installer are unsigned"
fi
echo "$msi"
echo "$out/$name.zip"
