#!/usr/bin/env bash
# Ten devices written in one kesto-fw run, against kesto-sim on loopback:
#   bench/batch_bench.sh [build-dir] [image-KiB] [verify]
# Prints a Markdown table row set: the whole run, its search, and the time
# per device (from the JSON lines). With "verify", each device also restarts
# (2 s silent) and --verify waits for it.
set -euo pipefail
build=${1:-build/default}
kib=${2:-1024}
verify=${3:-}
fw=$build/cli/kesto-fw
sim=$build/sim/kesto-sim
base=$((33000 + ($$ % 200) * 3))
ports=(--discovery-port "$base" --query-port $((base + 1)) --update-port $((base + 2)))
work=$(mktemp -d)
specs=()
devices=()
for n in $(seq 2 11); do
  fault=""
  [ -n "$verify" ] && fault=",fault=restartMs:2000"
  specs+=(--device "address=127.0.0.$n,kind=B,mac=02-00-00-00-00-$(printf %02X "$n")$fault")
  devices+=(--device "127.0.0.$n")
done
"$sim" "${ports[@]}" --duration 300 "${specs[@]}" >"$work/sim.log" 2>&1 &
simpid=$!
trap 'kill $simpid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 50); do grep -qs answering "$work/sim.log" && break; sleep 0.1; done
head -c $((kib * 1024)) /dev/urandom >"$work/KS_N_bench.bin"
flags=(--yes --json --interface 127.0.0.1)
[ -n "$verify" ] && flags+=(--verify)
start=$(date +%s.%N)
"$fw" write "${devices[@]}" "${flags[@]}" "${ports[@]}" "$work/KS_N_bench.bin" >"$work/out" 2>/dev/null
end=$(date +%s.%N)
python3 - "$work/out" "$start" "$end" "$kib" "${verify:-no}" <<'PY'
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
total = float(sys.argv[3]) - float(sys.argv[2])
writes = [r["seconds"] for r in rows]
ok = sum(1 for r in rows if r["result"] == 0)
print(f"| 10 | {sys.argv[4]} KiB | {sys.argv[5]} | {ok}/10 | {total:.2f} | {total - sum(writes):.2f} | "
      f"{sum(writes) / len(writes):.3f} | {min(writes):.3f}–{max(writes):.3f} | {total / 10:.3f} |")
PY
