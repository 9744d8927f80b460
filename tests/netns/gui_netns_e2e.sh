#!/usr/bin/env bash
# The real kesto-fw-gui.exe under Wine on a PC with two interfaces: a PC
# namespace with two veth interfaces, each leading to a namespace of simulated
# devices, and a fresh Wine prefix (null display driver) whose server starts
# inside the PC namespace, so that the window sees that namespace's
# interfaces. window_driver.exe, a second Windows program, works the window
# with window messages; this script checks what the device received and that
# Escape ends the program.
# Needs root (ip netns); skips with exit 77 otherwise. Everything it creates is
# removed on exit.
set -u
GUI=${1:?path to kesto-fw-gui.exe}
DRIVER=${2:?path to window_driver.exe}
KESTO_SIM=${3:?path to the Linux kesto-sim}
WINE=${4:-/usr/lib/wine/wine64}
WINESERVER=$(dirname "$WINE")/wineserver

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: network-namespace test needs root (ip netns add)"
  exit 77
fi
tag="kg$$"
pc="${tag}pc"; na="${tag}a"; nb="${tag}b"
if ! ip netns add "$pc" 2>/dev/null; then
  echo "SKIP: cannot create network namespaces here"
  exit 77
fi
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
unset DISPLAY
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  "$WINESERVER" -k 2>/dev/null
  timeout 30 "$WINESERVER" -w 2>/dev/null
  wait 2>/dev/null
  for ns in "$pc" "$na" "$nb"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then echo "ok - $name"; else echo "FAILED - $name"; failures=$((failures + 1)); fi
}

set -e
ip netns add "$na"
ip netns add "$nb"
for side in a b; do  # PC interface p<side> on 10.231.1<n>.1, devices on that subnet
  n=$([ $side = a ] && echo 1 || echo 2); dev="$tag$side"
  ip link add "${tag}p$side" type veth peer name "${tag}d$side"
  ip link set "${tag}p$side" netns "$pc"; ip link set "${tag}d$side" netns "$dev"
  ip -n "$pc" addr add "10.231.1$n.1/24" dev "${tag}p$side"
  for k in 10 11 12 13; do ip -n "$dev" addr add "10.231.1$n.$k/24" dev "${tag}d$side"; done
  ip -n "$pc" link set "${tag}p$side" up; ip -n "$dev" link set "${tag}d$side" up
done
for ns in "$pc" "$na" "$nb"; do ip -n "$ns" link set lo up; done
set +e

mkdir "$work/received"
start_sim() {  # start_sim NAMESPACE LOG SPEC...
  local ns=$1 log=$2 args=(); shift 2
  for spec in "$@"; do args+=(--device "$spec"); done
  ip netns exec "$ns" "$KESTO_SIM" --any-source --duration 240 --received "$work/received" \
    "${args[@]}" >"$log" 2>&1 &
  pids+=($!)
}
dev() {  # dev SUBNET HOST KIND DELAY MORE: replies come in the order of DELAY
  echo "address=10.231.$1.$2,kind=$3,mac=02-00-00-00-$1-$2,sketch=125,$5,fault=replyDelayMs:$4"
}
start_sim "$na" "$work/sim-a.log" "$(dev 11 10 B 0 model=1,id=1)"
# Behind the second interface, in reply order (the reverse of address order):
# a good board, one in TMODE, one silent to the invitation, one that stalls.
start_sim "$nb" "$work/sim-b.log" "$(dev 12 13 B 0 model=1,id=1)" "$(dev 12 12 W 60 model=17,id=15)" \
  "$(dev 12 11 B 120 model=1,id=1,fault=updateNoAnswer)" \
  "$(dev 12 10 B 180 model=1,id=1,fault=stallAfterBytes:2048)"
rows="10.231.12.13 / 02-00-00-00-12-13 / KS-B21 / ver. 1.25|10.231.12.12 / 02-00-00-00-12-12 / \
KS-W17 / ver. 1.25|10.231.12.11 / 02-00-00-00-12-11 / KS-B21 / ver. 1.25|10.231.12.10 / \
02-00-00-00-12-10 / KS-B21 / ver. 1.25"
for _ in $(seq 100); do
  [ "$(cat "$work"/sim-*.log 2>/dev/null | grep -c simulating)" -ge 5 ] && break
  sleep 0.1
done
head -c 30000 /dev/urandom >"$work/KS_N_netns.bin"
cp "$work/KS_N_netns.bin" "$work/other.bin"

in_pc() { ip netns exec "$pc" "$@" </dev/null; }
# The prefix: made inside the PC namespace, its desktop process (started before
# the null driver was set) ended, so that the window's start brings it up anew.
start=$SECONDS
in_pc "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >"$work/wine.log" 2>&1
"$WINESERVER" -k 2>/dev/null
timeout 30 "$WINESERVER" -w
echo "prefix made in $((SECONDS - start)) s"

# Output through files: Wine's desktop process inherits it and outlives programs.
# The window's exit status lands in a file (wineserver -k ends it otherwise).
(in_pc "$WINE" "$GUI" >"$work/gui.log" 2>&1; echo $? >"$work/gui.status") &
KESTO_TEST_FOLDER="Z:${work//\//\\}" KESTO_TEST_INTERFACES="10.231.11.1 (${tag}pa)|10.231.12.1 (${tag}pb)" \
  KESTO_TEST_DEVICES="$rows" timeout 200 ip netns exec "$pc" "$WINE" "$DRIVER" \
  >"$work/driver.log" 2>&1 </dev/null
status=$?
cat "$work/driver.log"
check "the window driven through the scenario" test "$status" -eq 0
check "the good board received the image byte for byte" \
  cmp -s "$work/KS_N_netns.bin" "$work/received/10.231.12.13.bin"
check "the silent board received nothing" test ! -e "$work/received/10.231.12.11.bin"
for _ in $(seq 100); do [ -s "$work/gui.status" ] && break; sleep 0.1; done
check "Escape on the idle window ended the program, status 0" \
  test "$(cat "$work/gui.status" 2>/dev/null)" = 0

[ "$failures" -eq 0 ] || cat "$work"/sim-*.log "$work/gui.log"
echo "gui netns: $failures failed, $((SECONDS - start)) s under Wine"
[ "$failures" -eq 0 ]
