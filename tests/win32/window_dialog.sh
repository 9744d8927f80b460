#!/usr/bin/env bash
# The Win32 window under Wine against kesto-sim on loopback: starts the
# simulator on a private port set, then the test program, which drives the
# dialog with window messages and reads back what the devices received.
# KESTO_RUNNER starts the Windows program (Wine).
set -u
test_program=${1:?path to window_dialog_test.exe}
simulator=${2:?path to kesto-sim}
read -r -a runner <<<"${KESTO_RUNNER:-}"
base=$((32620 + ($$ % 40) * 3))  # below Linux's ephemeral ports, beside cli_e2e.sh's range
work=$(mktemp -d)
mkdir "$work/received"
dev() { echo "--device address=127.0.0.$1,kind=$2,mac=02-00-00-00-00-0$1,sketch=125,$3,fault=replyDelayMs:$((($1 - 2) * 50))"; }
# shellcheck disable=SC2046
"$simulator" --discovery-port "$base" --query-port $((base + 1)) --update-port $((base + 2)) \
  --duration 300 --received "$work/received" \
  $(dev 2 B model=1,id=1) $(dev 3 L model=0,rssi=-58) $(dev 4 W model=17,id=15) \
  $(dev 5 B model=1,id=1,fault=updateNoAnswer) $(dev 6 B model=1,id=1,fault=stallAfterBytes:2048) \
  >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do grep -qs answering "$work/sim.log" && break; sleep 0.05; done
head -c 10000 /dev/urandom >"$work/KS_N_test.bin"
cp "$work/KS_N_test.bin" "$work/other.bin"
# Wine's drive Z: is the Linux root. The output goes through a file: the first
# window starts Wine's desktop process, which inherits it and outlives the test.
KESTO_TEST_PORTS="$base,$((base + 1)),$((base + 2))" KESTO_TEST_FOLDER="Z:${work//\//\\}" \
  "${runner[@]}" "$test_program" >"$work/test.log" 2>&1
status=$?
cat "$work/test.log"
[ "$status" -eq 0 ] || cat "$work/sim.log"
exit "$status"
