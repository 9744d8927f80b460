#!/usr/bin/env bash
# A rollout's wall times against kesto-sim on loopback:
#   bench/rollout_bench.sh [build-dir] [kesto-fw]
# 1. one device, a 3000-byte image: `write --device` (median of 9 runs), the
#    time a scheduler driving one device at a time pays per device;
# 2. 40 boards from a list file, --parallel 8 --retries 1 --skip-version:
#    the first run (three devices busy, failed after their retry) against the
#    same command again (37 skipped, the three written).
# kesto-fw defaults to the build's; pass an older one to compare.
set -euo pipefail
build=${1:-build/default}
fw=${2:-$build/cli/kesto-fw}
sim=$build/sim/kesto-sim
base=$((33600 + ($$ % 100) * 3))
ports=(--discovery-port "$base" --query-port $((base + 1)) --update-port $((base + 2)))
work=$(mktemp -d)
for n in $(seq 1 40); do
  faults=""
  case $n in 5 | 17 | 33) faults=",fault=busyInvitations:2" ;; esac
  echo "address=127.0.6.$n,kind=B,mac=02-00-00-00-06-$(printf %02X "$n"),sketchAfter=126$faults"
  echo "127.0.6.$n" >>"$work/list.txt"
done >"$work/devices.txt"
echo "address=127.0.6.41,kind=B,mac=02-00-00-00-06-29" >>"$work/devices.txt" # not on the list
"$sim" "${ports[@]}" --duration 300 --config "$work/devices.txt" >"$work/sim.log" 2>&1 &
simpid=$!
trap 'kill $simpid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 100); do grep -qs answering "$work/sim.log" && break; sleep 0.1; done
head -c 3000 /dev/urandom >"$work/KS_N_small.bin"
head -c 65536 /dev/urandom >"$work/KS_N_rollout.bin"
w() { "$fw" write --interface 127.0.0.1 --yes "${ports[@]}" "$@" >/dev/null 2>&1; }
ms() { # ms COMMAND...: wall time in milliseconds in $took, the status in $status
  local start
  start=$(date +%s%N)
  status=0
  "$@" || status=$?
  took=$((($(date +%s%N) - start) / 1000000))
}
times=()
for _ in $(seq 9); do
  ms w --device 127.0.6.41 "$work/KS_N_small.bin"
  times+=("$took")
done
echo "one device, 3000 bytes: median $(printf '%s\n' "${times[@]}" | sort -n | sed -n 5p) ms (runs: ${times[*]}, exit $status)"
"$fw" write --help | grep -q -- --device-list || exit 0 # an older kesto-fw: no rollout options
rollout=(--device-list "$work/list.txt" --parallel 8 --retries 1 --skip-version 1.26
  --report "$work/r.jsonl" "$work/KS_N_rollout.bin")
ms w "${rollout[@]}"
echo "rollout, first run: $took ms (exit $status)"
ms w "${rollout[@]}"
echo "rollout, second run: $took ms (exit $status), $(grep -c '"skipped":true' "$work/r.jsonl") lines skipped"
