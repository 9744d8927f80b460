#!/usr/bin/env bash
# kesto-fw end to end against kesto-sim on loopback (no root needed): search
# output, exit statuses, direct requests, several devices, --verify, Ctrl+C,
# the question before a write. Checks exit statuses, JSON fields and what the
# simulated devices received (the simulator prints a line per invitation and
# per finished session, and keeps each image it received), never log wording.
# KESTO_FW_RUNNER, when set, starts kesto-fw: the Windows build runs as
# "/usr/lib/wine/wine64 kesto-fw.exe"; the checks that need POSIX signals or a
# terminal are then left out, and KESTO_LOOPBACK_NAME names the loopback.
set -u
KESTO_FW=${1:?path to kesto-fw}
KESTO_SIM=${2:?path to kesto-sim}
read -r -a runner <<<"${KESTO_FW_RUNNER:-}"
loopback_name=${KESTO_LOOPBACK_NAME:-lo}

base=$((31100 + ($$ % 500) * 3))  # a private port set per run, below the ephemeral range and the gtest programs' ports
ports=(--discovery-port "$base" --query-port $((base + 1)) --update-port $((base + 2)))
host_port=$((8000 + ($$ % 300) * 3))  # fixed listener ports N..N+2, below every other test's ports and the ephemeral range
work=$(mktemp -d)
mkdir "$work/received"
dev() { echo "--device address=127.0.0.$1,kind=$2,mac=02-00-00-00-00-$(printf %02X "$1"),$3"; }
# shellcheck disable=SC2046
"$KESTO_SIM" "${ports[@]}" --duration 200 --received "$work/received" \
  $(dev 2 B "sketch=125,model=1,id=1") \
  $(dev 3 L "sketch=125,model=0,rssi=-58,fault=replyDelayMs:50") \
  $(dev 4 T "sketch=90,id=1,fault=replyDelayMs:100") \
  $(dev 5 W "sketch=125,model=17,id=15,fault=replyDelayMs:150") \
  $(dev 6 B "sketch=91,model=6,id=2,password=PELICANUS,fault=replyDelayMs:200") \
  $(dev 7 B "sketch=125,fault=noBroadcastReply") \
  $(dev 8 B "sketch=125,fault=restartMs:3000,fault=replyDelayMs:250") \
  $(dev 9 B "sketch=125,fault=ackDelayMs:200,fault=replyDelayMs:300") \
  $(dev 10 B "sketch=125,fault=finalError,fault=replyDelayMs:350") \
  $(dev 11 B "sketch=125,fault=restartMs:600000,fault=replyDelayMs:400") \
  $(dev 12 T "sketch=125,fault=updateNoAnswer,fault=replyDelayMs:450") \
  $(dev 13 B "sketch=125,fault=answerOnlyInvitation:4,fault=replyDelayMs:500") \
  $(dev 14 B "sketch=125,password=FIELD-7,fault=replyDelayMs:550") \
  $(dev 15 T "sketch=125,fault=stallAfterBytes:2048,fault=replyDelayMs:600") \
  $(dev 16 T "sketch=125,fault=stallAfterBytes:2048,fault=replyDelayMs:650") \
  $(dev 17 B "sketch=125,fault=answerOnlyInvitation:4,fault=replyDelayMs:700") \
  $(dev 40 B "sketch=125,password=PELICANUS,auth=sha256,fault=replyDelayMs:900") \
  $(dev 41 B "sketch=125,password=PELICANUS,auth=sha256-md5hash,fault=replyDelayMs:950") \
  >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; kill $holder 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
holder=
source "$(dirname "$0")/wait_until.sh"
wait_until 'grep -qs answering "$work/sim.log"'

failures=0
pass() { echo "ok - $1"; }
fail() { echo "FAILED - $1"; cat "$work/out" "$work/err"; failures=$((failures + 1)); }
# check NAME SHELL-CONDITION. The simulator reports a session once its side
# has ended, which may be a moment after the writer's exit: up to 3 s of retries.
check() {
  local try
  for try in $(seq 30); do eval "$2" && { pass "$1"; return; }; sleep 0.1; done
  fail "$1: $2"
}
expect_status() {  # expect_status NAME WANTED COMMAND...
  local name=$1 wanted=$2; shift 2
  "$@" >"$work/out" 2>"$work/err" </dev/null
  local got=$?
  sed -i 's/\r$//' "$work/out" "$work/err"  # Windows ends lines with CR LF
  if [ "$got" -eq "$wanted" ]; then pass "$name"; else fail "$name: exit $got, wanted $wanted"; fi
}
# What the device at 127.0.0.N received: invitations, or images it accepted.
invited() { grep -c "^invitation 127.0.0.$1 " "$work/sim.log"; }
accepted() { grep -c "^session 127.0.0.$1 .* accepted 1$" "$work/sim.log"; }
json() {  # json NAME PYTHON-CONDITION: o is the list of JSON objects on stdout, one per line; sys.argv[3] the odd file name
  if python3 -c 'import json,sys; o=[json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]; sys.exit(0 if eval(sys.argv[2]) else 1)' \
    "$work/out" "$2" "${odd_name:-}"; then pass "$1"; else fail "$1: $2"; fi
}
# Whether the device at 127.0.0.N holds FILE byte for byte as its last image.
holds() { cmp -s "$2" "$work/received/127.0.0.$1.bin"; }
fw() { timeout 60 "${runner[@]}" "$KESTO_FW" "$@" "${ports[@]}"; }
nothing_sent() {  # nothing_sent NAME DEVICE WANTED COMMAND...: the status, and no invitation reached DEVICE
  local name=$1 device=$2 before; before=$(invited "$2"); shift 2
  expect_status "$name" "$@"
  check "$name: nothing sent" "[ \$(invited $device) -eq $before ]"
}

# ---- search
expect_status "search" 0 fw search --interface 127.0.0.1
cat >"$work/want" <<'WANT'
127.0.0.2 / 02-00-00-00-00-02 / KS-B21 / ver. 1.25
127.0.0.3 / 02-00-00-00-00-03 / WiFi / ver. 1.25 (-58 dBm)
127.0.0.4 / 02-00-00-00-00-04 / PQ / ver. 1.00
127.0.0.5 / 02-00-00-00-00-05 / KS-W17 / ver. 1.25
127.0.0.6 / 02-00-00-00-00-06 / KS-B26 / ver. 0.91
WANT
check "search entries, the device silent to broadcasts not among them" \
  'head -n 5 "$work/out" | diff -u "$work/want" - && ! grep -q 127.0.0.7 "$work/out"'
expect_status "search --json, interface by name" 0 fw search --interface="$loopback_name" --json
json "json: one object per device, MAC as in the list" \
  'len(o) >= 5 and all(d["hardwareAddress"] == "02-00-00-00-00-%02X" % int(d["addressText"].split(".")[3]) and d["hardwareAddress"] in d["entry"] for d in o)'
json "json carries the record" \
  '[(d["kindLetter"], d["idValue"], d["model"]) for d in o if d["addressText"] == "127.0.0.5"] == [("W", 15, "KS-W17")]'
expect_status "search --device asks directly" 0 fw search --device 127.0.0.7 --json
json "only the device asked" '[d["addressText"] for d in o] == ["127.0.0.7"]'
expect_status "search --device without an answer" 6 fw search --device 127.0.0.99
# Exit 0 with an object per usable interface, or 9 with none on a host
# whose only interface is loopback.
"${runner[@]}" "$KESTO_FW" interfaces --json >"$work/out" 2>"$work/err" </dev/null
got=$?
sed -i 's/\r$//' "$work/out" "$work/err"
case $got in
  0) json "interfaces: objects with an address" 'len(o) >= 1 and all("address" in d and "name" in d for d in o)' ;;
  9) check "interfaces: none listed, the reason told" '[ ! -s "$work/out" ] && [ -s "$work/err" ]' ;;
  *) fail "interfaces --json: exit $got" ;;
esac

# ---- writes, one device
head -c 5000 /dev/urandom >"$work/KS_N_test.bin"
head -c 3000 /dev/urandom >"$work/KESTOWiFi_test.bin"
head -c 30000 /dev/urandom >"$work/KS_N_slow.bin"
# A name that needs quoting and is not ASCII; Windows allows no '"' in a name.
odd_name='KS_N_ファーム"1.bin'
[ ${#runner[@]} -eq 0 ] || odd_name='KS_N_ファーム 1.bin'
cp "$work/KS_N_test.bin" "$work/$odd_name"
: >"$work/KS_N_empty.bin"
w() { fw write --interface 127.0.0.1 "$@"; }
expect_status "write without authentication" 0 w --device 127.0.0.2 --yes "$work/KS_N_test.bin"
check "the image arrived byte for byte" 'holds 2 "$work/KS_N_test.bin"'
expect_status "write with authentication" 0 w --device=127.0.0.6 -y --verbose "$work/KS_N_test.bin"
check "the device took the image, byte for byte" '[ $(accepted 6) -eq 1 ] && holds 6 "$work/KS_N_test.bin"'
expect_status "a device silent to the invitation" 1 w --device 127.0.0.12 --yes --any-file "$work/KS_N_test.bin"
expect_status "wrong password" 1 w --device 127.0.0.6 --yes --password WRONG "$work/KS_N_test.bin"
printf 'FIELD-7\r\nsecond line\n' >"$work/password"
expect_status "--password-file" 0 w --device 127.0.0.14 --yes --password-file "$work/password" "$work/KS_N_test.bin"
check "written with that password" 'holds 14 "$work/KS_N_test.bin"'
nothing_sent "an empty --password-file" 14 64 w --device 127.0.0.14 --yes --password-file "$work/KS_N_empty.bin" "$work/KS_N_test.bin"
nothing_sent "TMODE refused" 5 7 w --device 127.0.0.5 --yes "$work/KS_N_test.bin"
nothing_sent "wrong file name refused" 3 7 w --device 127.0.0.3 --yes "$work/KS_N_test.bin"
expect_status "--any-file accepts it" 0 w --device 127.0.0.3 --yes --any-file "$work/KS_N_test.bin"
expect_status "right file for the wireless device" 0 w --device 127.0.0.3 --yes "$work/KESTOWiFi_test.bin"
expect_status "unknown device not found" 6 w --device 127.0.0.99 --yes "$work/KS_N_test.bin"
nothing_sent "missing file" 2 2 w --device 127.0.0.2 --yes "$work/KS_N_missing.bin"
nothing_sent "empty file" 2 2 w --device 127.0.0.2 --yes "$work/KS_N_empty.bin"
nothing_sent "no terminal for the question" 2 8 w --device 127.0.0.2 "$work/KS_N_test.bin"
expect_status "a device silent to broadcasts is written" 0 fw write --device 127.0.0.7 --yes "$work/KS_N_test.bin"
check "it took the image" '[ $(accepted 7) -eq 1 ]'

# ---- --host-port
expect_status "--host-port" 0 w --device 127.0.0.2 --yes --json --host-port "$host_port" "$work/$odd_name"
check "the invitation names that port" '[ "$(grep "^invitation 127.0.0.2 " "$work/sim.log" | tail -n 1)" = "invitation 127.0.0.2 port $host_port" ]'
json "json: file and message as text" \
  'o[0]["file"].endswith(sys.argv[3]) and o[0]["message"] == "正常終了" and o[0]["bytes"] == 5000 and len(o[0]["md5"]) == 32'
# hold_port PORT: a listener on PORT until kill $holder. SO_REUSEADDR lets it
# bind beside a connection of an earlier write in TIME_WAIT; listening, it
# still refuses every other bind. A holder that never listens ends the test:
# what follows would test nothing. Its sleep is no wait for an event but the
# holder's longest life: it is killed once its check is done.
hold_port() {
  python3 -c 'import socket,sys,time; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1",int(sys.argv[1]))); s.listen(); print("listening", flush=True); time.sleep(120)' \
    "$1" >"$work/holder" 2>&1 &
  holder=$!
  wait_until 'grep -qs listening "$work/holder"'
}
hold_port "$host_port"
nothing_sent "a taken --host-port is refused" 2 7 w --device 127.0.0.2 --yes --host-port "$host_port" "$work/KS_N_test.bin"
kill $holder

# ---- several devices, --parallel, --retries, --verify
before2=$(accepted 2) before6=$(accepted 6) before10=$(invited 10)
expect_status "three devices, one failing" 1 w --device 127.0.0.2 --device 127.0.0.10 --device 127.0.0.6 \
  --yes --json "$work/KS_N_test.bin"
json "three JSON objects" '[(d["address"], d["result"]) for d in o] == [("127.0.0.2", 0), ("127.0.0.10", 1), ("127.0.0.6", 0)]'
check "two writes taken, the failing one tried" \
  '[ $(accepted 2) -eq $((before2 + 1)) ] && [ $(accepted 6) -eq $((before6 + 1)) ] && [ $(invited 10) -eq $((before10 + 1)) ]'
head -c 65536 /dev/urandom >"$work/KS_N_par.bin"
# .13 and .17 answer only their fourth invitation: one write, without retries, sends three.
expect_status "--parallel 4, a silent device among them" 1 w --device 127.0.0.2 --device 127.0.0.17 \
  --device 127.0.0.6 --device 127.0.0.7 --parallel 4 --yes --json "$work/KS_N_par.bin"
check "the others written byte for byte" \
  'holds 2 "$work/KS_N_par.bin" && holds 6 "$work/KS_N_par.bin" && holds 7 "$work/KS_N_par.bin"'
check "the summary in the order given, one attempt each" \
  '[ "$(grep -E "^127\.0\.0\.[0-9]+ +[0-9]+ " "$work/err" | awk "{print \$1, \$2, \$5}" | tr "\n" ,)" = "127.0.0.2 0 1,127.0.0.17 1 1,127.0.0.6 0 1,127.0.0.7 0 1," ]'
expect_status "--retries 1 reaches the fourth invitation" 0 w --device 127.0.0.13 --retries 1 --yes --json "$work/KS_N_par.bin"
json "two attempts" '[(d["result"], d["attempts"]) for d in o] == [(0, 2)]'
check "it took the image" 'holds 13 "$work/KS_N_par.bin"'
expect_status "--host-port N --parallel 3" 0 w --device 127.0.0.2 --device 127.0.0.6 --device 127.0.0.7 \
  --parallel 3 --host-port "$host_port" --yes "$work/KS_N_par.bin"
check "listeners on N..N+2" \
  '[ "$(grep -E "^invitation 127\.0\.0\.[267] " "$work/sim.log" | tail -n 3 | awk "{print \$4}" | sort -n | tr "\n" ,)" = "$host_port,$((host_port + 1)),$((host_port + 2))," ]'
hold_port $((host_port + 2))
nothing_sent "a taken port of the range is refused" 2 7 w --device 127.0.0.2 --device 127.0.0.6 \
  --device 127.0.0.7 --parallel 3 --host-port "$host_port" --yes "$work/KS_N_par.bin"
kill $holder
expect_status "--verify waits through a restart" 0 w --device 127.0.0.8 --yes --verify --json "$work/KS_N_test.bin"
json "the version after the restart" 'o[0]["versionAfter"] == "1.25" and o[0]["seconds"] >= 3'
expect_status "--verify: a device that stays away" 10 w --device 127.0.0.11 --yes --verify --verify-timeout 3 "$work/KS_N_test.bin"

# ---- Ctrl+C during a write (POSIX signals: not through a runner)
if [ ${#runner[@]} -eq 0 ]; then
rm -f "$work/out" "$work/err"  # what the waits below look for comes from this writer only
sessions9=$(grep -c "^session 127.0.0.9 " "$work/sim.log")
"$KESTO_FW" write --interface 127.0.0.1 --device 127.0.0.9 --yes "${ports[@]}" "$work/KS_N_slow.bin" >"$work/out" 2>"$work/err" &
writer=$!
wait_until 'grep -qs "127.0.0.9: progress" "$work/err"'  # the transfer is under way
kill -INT $writer
wait $writer
got=$?
check "Ctrl+C gives exit 8" "[ $got -eq 8 ]"
check "the device kept its firmware" \
  '[ $(grep -c "^session 127.0.0.9 " "$work/sim.log") -gt $sessions9 ] && [ $(accepted 9) -eq 0 ]'
# Two writes stalled in their transfer: Ctrl+C ends both at once (the time is
# measured and shown, not asserted). Not boards, so that --all leaves them out.
rm -f "$work/out" "$work/err"
"$KESTO_FW" write --interface 127.0.0.1 --device 127.0.0.15 --device 127.0.0.16 --parallel 2 --yes --json --any-file \
  "${ports[@]}" "$work/KS_N_slow.bin" >"$work/out" 2>"$work/err" &
writer=$!
wait_until 'grep -qs "127.0.0.15: progress" "$work/err" && grep -qs "127.0.0.16: progress" "$work/err"'
start=$(date +%s%N)
kill -INT $writer
wait $writer
got=$?
echo "# Ctrl+C to exit with two stalled writes: $((($(date +%s%N) - start) / 1000000)) ms"
check "Ctrl+C during two stalled writes gives exit 8" "[ $got -eq 8 ]"
json "both reported cancelled, neither written" '[d["result"] for d in o] == [8, 8]'
fi

# ---- the question before a write, answered on a terminal
ask() {  # ask ANSWER: the exit status of a write whose question gets ANSWER (EOF: none)
  python3 - "$1" "$KESTO_FW" write --interface 127.0.0.1 --device 127.0.0.2 "${ports[@]}" "$work/KS_N_test.bin" <<'PY'
import os, pty, subprocess, sys
master, slave = pty.openpty()
p = subprocess.Popen(sys.argv[2:], stdin=slave, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(slave)
os.write(master, b"\x04" if sys.argv[1] == "EOF" else sys.argv[1].encode() + b"\n")
sys.exit(p.wait(timeout=60))
PY
}
answers=(y Y yes n no "" "yes please" EOF)
[ ${#runner[@]} -eq 0 ] || answers=()  # a terminal for a Windows program: not through a runner
for answer in "${answers[@]}"; do
  before=$(accepted 2)
  ask "$answer"
  got=$?
  if [ "$answer" = y ] || [ "$answer" = Y ] || [ "$answer" = yes ]; then want=0 taken=1; else want=8 taken=0; fi
  check "answer '$answer'" "[ $got -eq $want ] && [ \$(accepted 2) -eq $((before + taken)) ]"
done

# ---- --all (last: it writes every board, and with the first failure's status)
expect_status "--all writes the boards" 7 w --all --parallel 16 --yes --json "$work/KS_N_test.bin"
json "--all: the boards only, TMODE refused" \
  '{d["address"]: d["result"] for d in o if d["address"] in ("127.0.0.2", "127.0.0.5", "127.0.0.3")} == {"127.0.0.2": 0, "127.0.0.5": 7}'

# ---- the MD5 and the SHA-256 challenge side by side, each device detected on its own
expect_status "--parallel 4 across the challenges" 0 w --device 127.0.0.2 --device 127.0.0.6 \
  --device 127.0.0.40 --device 127.0.0.41 --parallel 4 --yes --json "$work/KS_N_par.bin"
json "each device's scheme" \
  '{d["address"]: d["authentication"] for d in o} == {"127.0.0.2": "none", "127.0.0.6": "md5", "127.0.0.40": "sha256", "127.0.0.41": "sha256-md5"}'
check "each written byte for byte" \
  'holds 2 "$work/KS_N_par.bin" && holds 6 "$work/KS_N_par.bin" && holds 40 "$work/KS_N_par.bin" && holds 41 "$work/KS_N_par.bin"'
printf 'WRONG\n' >"$work/password"
expect_status "a wrong password under each challenge" 1 w --device 127.0.0.6 --device 127.0.0.40 \
  --device 127.0.0.41 --parallel 3 --password-file "$work/password" --yes --json "$work/KS_N_test.bin"
json "named a refused password, within 40 s" \
  'len(o) == 3 and all(d["cause"] == "password-refused" and "パスワードを受け付けませんでした" in d["message"] and d["seconds"] < 40 for d in o)'

# ---- command line
expect_status "foreign interface address" 9 fw search --interface 10.231.99.1
expect_status "unknown interface name" 9 fw search --interface no-such-if0
expect_status "usage error" 64 fw search --bogus
expect_status "write without device" 64 fw write "$work/KS_N_test.bin"
expect_status "--all and --device together" 64 fw write --all --device 127.0.0.2 "$work/KS_N_test.bin"
expect_status "help per command" 0 "${runner[@]}" "$KESTO_FW" write -h
expect_status "version" 0 "${runner[@]}" "$KESTO_FW" --version
check "version text" 'grep -q "Version 1.03" "$work/out"'

echo "cli: $failures failed"
[ "$failures" -eq 0 ]
