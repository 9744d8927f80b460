#!/usr/bin/env bash
# A plant's rollout against kesto-sim on loopback: 40 boards from a list file,
# --parallel 8 --retries 1 --skip-version --report; three of them busy for
# their first two invitations, so the first run fails them (exit 1) and the
# same command again writes exactly those three. Then the report shared by two
# runs at once, a run killed with SIGKILL during its writes, and the refusals
# that must come before anything is sent. Checks exit statuses, the report's
# lines and what the simulated devices took.
set -u
KESTO_FW=${1:?path to kesto-fw}
KESTO_SIM=${2:?path to kesto-sim}
base=$((9000 + ($$ % 300) * 3)) # below NextTestPorts' and cli_e2e.sh's ranges, above its fixed listener ports
ports=(--discovery-port "$base" --query-port $((base + 1)) --update-port $((base + 2)))
work=$(mktemp -d)
busy=" 5 17 33 "
for n in $(seq 1 40); do
  faults=""
  [[ $busy == *" $n "* ]] && faults=",fault=busyInvitations:2"
  echo "address=127.0.4.$n,kind=B,mac=02-00-00-00-04-$(printf %02X "$n"),sketch=125,sketchAfter=126$faults"
done >"$work/devices.txt"
for n in $(seq 1 8); do # slow writers for the shared and the killed report
  echo "address=127.0.5.$n,kind=B,mac=02-00-00-00-05-$(printf %02X "$n"),fault=ackDelayMs:10"
done >>"$work/devices.txt"
"$KESTO_SIM" "${ports[@]}" --duration 250 --config "$work/devices.txt" >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
source "$(dirname "$0")/wait_until.sh"
wait_until 'grep -qs answering "$work/sim.log"'

failures=0
check() { # check NAME SHELL-CONDITION
  if eval "$2"; then echo "ok - $1"; else
    echo "FAILED - $1: $2"
    cat "$work/err"
    failures=$((failures + 1))
  fi
}
run() { # run COMMAND...: its status in $got, its standard error in $work/err
  "$@" >"$work/out" 2>"$work/err" </dev/null
  got=$?
}
invitations() { grep -c "^invitation " "$work/sim.log"; }
accepted() { grep -c "^session 127.0.4.$1 .* accepted 1$" "$work/sim.log"; }
# whole FILE COUNT: COUNT lines, each a whole JSON object ending in a line feed
whole() {
  python3 -c 'import json,sys; d=open(sys.argv[1],"rb").read(); l=d.split(b"\n"); [json.loads(x) for x in l[:-1]]; sys.exit(l[-1] != b"" or len(l) - 1 != int(sys.argv[2]))' "$1" "$2" 2>/dev/null
}
fw() { timeout 120 "$KESTO_FW" write --interface 127.0.0.1 --yes "${ports[@]}" "$@"; }
head -c 20000 /dev/urandom >"$work/KS_N_rollout.bin"

# The list: comments, blanks, spaces, a repeated address, not in numeric order.
{
  echo "# line 3, press hall"
  echo
  for n in $(seq 40 -1 21); do echo "  127.0.4.$n	# cell $n"; done
  for n in $(seq 1 20); do echo "127.0.4.$n"; done
  echo "127.0.4.7"
} >"$work/list.txt"
rollout=(--device-list "$work/list.txt" --parallel 8 --retries 1 --skip-version 1.26
  --report "$work/r.jsonl" "$work/KS_N_rollout.bin")

# ---- refused before anything is sent
before=$(invitations)
printf '127.0.4.1\n\n127.0.4\n' >"$work/bad.txt"
run fw --device-list "$work/bad.txt" "$work/KS_N_rollout.bin"
check "a bad list line: 64, naming file and line" '[ $got -eq 64 ] && grep -q "bad.txt:3" "$work/err"'
run fw --device 127.0.4.1 --device-list "$work/missing.txt" "$work/KS_N_rollout.bin"
check "an unreadable list: 64" '[ $got -eq 64 ] && grep -q "missing.txt" "$work/err"'
run fw --device 127.0.4.1 --report "$work" "$work/KS_N_rollout.bin"
check "an unwritable report: 64" '[ $got -eq 64 ]'
run fw --device 127.0.4.1 --skip-version 1.2.6 "$work/KS_N_rollout.bin"
check "a bad --skip-version: 64" '[ $got -eq 64 ]'
check "nothing sent" '[ $(invitations) -eq $before ]'

# ---- the rollout, twice with the same command
start=$(date +%s%N)
run fw "${rollout[@]}"
first=$((($(date +%s%N) - start) / 1000000))
check "first run: exit 1" '[ $got -eq 1 ]'
check "the summary keeps the list's order, the repeated address once" \
  '[ "$(grep -E "^127\.0\.4\.[0-9]+ +[0-9]+ " "$work/out" | awk "{print \$1}" | tr "\n" " ")" = "$(grep -oE "127\.0\.4\.[0-9]+" "$work/list.txt" | head -n 40 | tr "\n" " ")" ]'
check "40 whole lines, the busy three failed after two attempts, owner-only" \
  'whole "$work/r.jsonl" 40 && [ "$(stat -c %a "$work/r.jsonl")" = 600 ] && python3 -c "
import json,sys; o=[json.loads(l) for l in open(sys.argv[1])]
sys.exit(sorted(d[\"address\"] for d in o if d[\"result\"] != 0) != [\"127.0.4.17\",\"127.0.4.33\",\"127.0.4.5\"]
 or any(d[\"attempts\"] != 2 for d in o if d[\"result\"] != 0) or any(d[\"skipped\"] for d in o)
 or any(not d[\"time\"].endswith(\"Z\") or len(d[\"imageSha256\"]) != 64 or d[\"interface\"] != \"127.0.0.1\" for d in o))" "$work/r.jsonl"'
took=()
for n in $(seq 1 40); do took+=("$(accepted "$n")"); done
start=$(date +%s%N)
run fw "${rollout[@]}"
second=$((($(date +%s%N) - start) / 1000000))
echo "# first run ${first} ms, second run ${second} ms"
check "second run: exit 0" '[ $got -eq 0 ]'
wrote=""
for n in $(seq 1 40); do [ "$(accepted "$n")" -gt "${took[$((n - 1))]}" ] && wrote+=" $n"; done
check "the second run wrote exactly the three" '[ "$wrote " = "$busy" ]'
check "80 whole lines, 37 of the second run's skipped" \
  'whole "$work/r.jsonl" 80 && [ "$(tail -n 40 "$work/r.jsonl" | grep -c "\"skipped\":true")" -eq 37 ]'

# ---- two runs at once share a report; a run killed mid-write leaves whole lines
slow=()
for n in 1 2 3 4 5 6 7 8; do slow+=(--device "127.0.5.$n"); done
fw "${slow[@]:0:8}" --parallel 4 --report "$work/c.jsonl" "$work/KS_N_rollout.bin" >/dev/null 2>&1 &
one=$!
run fw "${slow[@]:8:8}" --parallel 4 --report "$work/c.jsonl" "$work/KS_N_rollout.bin"
wait $one
check "two runs at once: 8 whole lines" 'whole "$work/c.jsonl" 8'
"$KESTO_FW" write --interface 127.0.0.1 --yes "${ports[@]}" "${slow[@]}" --parallel 2 \
  --report "$work/k.jsonl" "$work/KS_N_rollout.bin" >/dev/null 2>&1 &
writer=$!
wait_until '[ "$(cat "$work/k.jsonl" 2>/dev/null | wc -l)" -ge 3 ]' # some devices finished, others mid-write
kill -KILL $writer
wait $writer 2>/dev/null
lines=$(wc -l <"$work/k.jsonl")
check "SIGKILL during writes: only whole lines ($lines)" 'whole "$work/k.jsonl" "$lines" && [ "$lines" -lt 8 ]'
printf '{"address":"127.0.5.1","res' >>"$work/k.jsonl" # as a crash in the middle of a line would
run fw --device 127.0.5.1 --report "$work/k.jsonl" "$work/KS_N_rollout.bin"
check "the next run cuts an unfinished line off before its own" 'whole "$work/k.jsonl" $((lines + 1))'
# A full disk, as a file size limit: a line that does not fit entirely is taken back.
lines=$((lines + 1))
run bash -c 'ulimit -f $(($(stat -c %s "$1") / 1024 + 1)); trap "" XFSZ; shift; exec "$@"' - "$work/k.jsonl" \
  "$KESTO_FW" write --interface 127.0.0.1 --yes "${ports[@]}" "${slow[@]}" --parallel 4 \
  --report "$work/k.jsonl" "$work/KS_N_rollout.bin"
check "a full disk: whole lines only, none lost" \
  'n=$(wc -l <"$work/k.jsonl"); [ "$n" -ge "$lines" ] && [ "$n" -lt $((lines + 8)) ] && whole "$work/k.jsonl" "$n"'

echo "rollout: $failures failed"
[ "$failures" -eq 0 ]
