#!/usr/bin/env bash
# The real kesto-fw-gui.exe under Wine on a PC with two interfaces (see
# namespaces.sh), in a fresh Wine prefix (null display driver) whose server
# starts inside the PC namespace, so that the window sees that namespace's
# interfaces. window_driver.exe, a second Windows program, works the window
# with window messages; this script checks what the devices received and that
# Escape ended the program. Root only; exits 77 (skipped) otherwise.
set -u
GUI=${1:?path to kesto-fw-gui.exe}
DRIVER=${2:?path to window_driver.exe}
KESTO_SIM=${3:?path to the Linux kesto-sim}
WINE=${4:-/usr/lib/wine/wine64}
WINESERVER=$(dirname "$WINE")/wineserver
. "$(dirname "$0")/namespaces.sh"

tag="kg$$"
netns_begin "$tag" 11 12 10 11 12 13
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
unset DISPLAY
netns_cleanup_more() {
  "$WINESERVER" -k 2>/dev/null
  timeout 30 "$WINESERVER" -w 2>/dev/null
}

dev() {  # dev SUBNET HOST KIND DELAY MORE: replies come in the order of DELAY
  echo "address=10.231.$1.$2,kind=$3,mac=02-00-00-00-$1-$2,sketch=125,$5,fault=replyDelayMs:$4"
}
start_sim "$na" "$work/sim-a.log" "$(dev 11 10 B 0 model=1,id=1)"
# Behind the second interface, in reply order (the reverse of address order):
# a good board, one in TMODE, one silent to the invitation, one that stalls.
start_sim "$nb" "$work/sim-b.log" "$(dev 12 13 B 0 model=1,id=1)" \
  "$(dev 12 12 W 60 model=17,id=15)" "$(dev 12 11 B 120 model=1,id=1,fault=updateNoAnswer)" \
  "$(dev 12 10 B 180 model=1,id=1,fault=stallAfterBytes:2048)"
rows=""
for entry in "13 / KS-B21" "12 / KS-W17" "11 / KS-B21" "10 / KS-B21"; do
  rows+="${rows:+|}10.231.12.${entry%% *} / 02-00-00-00-12-$entry / ver. 1.25"
done
wait_for_devices 5
head -c 30000 /dev/urandom >"$work/KS_N_netns.bin"
cp "$work/KS_N_netns.bin" "$work/other.bin"

in_pc() { ip netns exec "$pc" "$@" </dev/null; }
# The prefix, made inside the PC namespace; its desktop process, started before
# the null driver was set, is ended so that the window's start brings it anew.
start=$SECONDS
in_pc "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >"$work/wine.log" 2>&1
"$WINESERVER" -k 2>/dev/null
timeout 30 "$WINESERVER" -w
echo "prefix made in $((SECONDS - start)) s"

# Output through files: Wine's desktop process inherits it and outlives programs.
# The window's exit status lands in a file (wineserver -k ends it otherwise).
(in_pc "$WINE" "$GUI" >"$work/gui.log" 2>&1; echo $? >"$work/gui.status") &
KESTO_TEST_FOLDER="Z:${work//\//\\}" KESTO_TEST_DEVICES="$rows" \
  KESTO_TEST_INTERFACES="10.231.11.1 (${tag}pa)|10.231.12.1 (${tag}pb)" \
  timeout 200 ip netns exec "$pc" "$WINE" "$DRIVER" >"$work/driver.log" 2>&1 </dev/null
check "the window worked through by another program" test $? -eq 0
cat "$work/driver.log"
check "the good board received the image byte for byte" \
  cmp -s "$work/KS_N_netns.bin" "$work/received/10.231.12.13.bin"
check "the silent board received nothing" test ! -e "$work/received/10.231.12.11.bin"
for _ in $(seq 100); do [ -s "$work/gui.status" ] && break; sleep 0.1; done
check "Escape on the idle window ended the program, status 0" \
  test "$(cat "$work/gui.status" 2>/dev/null)" = 0

[ "$failures" -eq 0 ] || cat "$work"/sim-*.log "$work/gui.log"
echo "gui netns: $failures failed, $((SECONDS - start)) s under Wine"
[ "$failures" -eq 0 ]
