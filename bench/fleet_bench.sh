#!/usr/bin/env bash
# A fleet written with --parallel 1, 4, 8 and 16, side by side in one run,
# against kesto-sim on loopback: 16 boards, a 512 KiB image, the simulator
# waiting 4 ms before each acknowledgement (a slower network):
#   bench/fleet_bench.sh [build-dir] [devices] [image-KiB] [ack-ms] [K...]
# Prints a Markdown table: the whole run, the search and checks before the
# first write's first acknowledgement, the writes after it, the ratio to
# --parallel 1, and whether every device holds the image byte for byte.
set -euo pipefail
build=${1:-build/default}
count=${2:-16}
kib=${3:-512}
ack=${4:-4}
shift $(($# < 4 ? $# : 4))
levels=("$@")
[ ${#levels[@]} -gt 0 ] || levels=(1 4 8 16)
fw=$build/cli/kesto-fw
sim=$build/sim/kesto-sim
base=$((34200 + ($$ % 200) * 3))
ports=(--discovery-port "$base" --query-port $((base + 1)) --update-port $((base + 2)))
work=$(mktemp -d)
mkdir "$work/received"
specs=()
devices=()
for n in $(seq 2 $((count + 1))); do
  specs+=(--device "address=127.0.0.$n,kind=B,mac=02-00-00-00-00-$(printf %02X "$n"),fault=ackDelayMs:$ack")
  devices+=(--device "127.0.0.$n")
done
"$sim" "${ports[@]}" --duration 900 --received "$work/received" "${specs[@]}" >"$work/sim.log" 2>&1 &
simpid=$!
trap 'kill $simpid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 100); do grep -qs answering "$work/sim.log" && break; sleep 0.1; done
head -c $((kib * 1024)) /dev/urandom >"$work/KS_N_fleet.bin"
echo "| devices | image | ack delay | --parallel | written | byte-identical | run (s) | search and checks (s) | writes (s) | run ratio | writes ratio |"
echo "|---:|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|"
python3 - "$fw" "$work" "$count" "$kib" "$ack" "${levels[*]}" "${devices[@]}" --yes --json \
  --interface 127.0.0.1 "${ports[@]}" "$work/KS_N_fleet.bin" <<'PY'
import filecmp, glob, json, os, subprocess, sys, time
fw, work, count, kib, ack, levels = sys.argv[1:7]
arguments = sys.argv[7:]
image = os.path.join(work, "KS_N_fleet.bin")
first = None
for k in levels.split():
    for old in glob.glob(os.path.join(work, "received", "*")):
        os.remove(old)
    start = time.monotonic()
    process = subprocess.Popen([fw, "write", "--parallel", k] + arguments, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    began = None
    for line in process.stderr:  # off a terminal: "ADDR: progress N%" lines, then the summary
        if began is None and ": progress" in line:
            began = time.monotonic()
    rows = [json.loads(line) for line in process.stdout]
    process.wait()
    end = time.monotonic()
    began = began or end
    written = sum(1 for r in rows if r["result"] == 0)
    received = sorted(glob.glob(os.path.join(work, "received", "*.bin")))
    same = len(received) == int(count) and all(filecmp.cmp(image, f, shallow=False) for f in received)
    run, writes = end - start, end - began
    first = first or (run, writes)
    print(f"| {count} | {kib} KiB | {ack} ms | {k} | {written}/{count} | {'yes' if same else 'NO'} | "
          f"{run:.2f} | {began - start:.2f} | {writes:.2f} | {first[0] / run:.2f} | {first[1] / writes:.2f} |",
          flush=True)
PY
