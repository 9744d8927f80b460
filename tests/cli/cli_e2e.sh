#!/usr/bin/env bash
# kesto-fw end to end against kesto-sim on loopback (no root needed): the
# search output, every exit status of a write, and writes with and without
# authentication that must arrive byte for byte. KESTO_FW_RUNNER, when set,
# starts kesto-fw (the Windows build: /usr/lib/wine/wine64 kesto-fw.exe).
set -u
KESTO_FW=${1:?path to kesto-fw}
KESTO_SIM=${2:?path to kesto-sim}
read -r -a runner <<<"${KESTO_FW_RUNNER:-}"

base=$((31100 + ($$ % 500) * 3))  # a private port set per run, below the ephemeral range and the gtest programs' ports
ports=(--discovery-port "$base" --query-port $((base + 1)) --update-port $((base + 2)))
work=$(mktemp -d)
mkdir "$work/received"
"$KESTO_SIM" "${ports[@]}" --duration 120 --received "$work/received" \
  --device "address=127.0.0.2,kind=B,mac=02-00-00-00-00-02,sketch=125,model=1,id=1" \
  --device "address=127.0.0.3,kind=L,mac=02-00-00-00-00-03,sketch=125,model=0,rssi=-58,fault=replyDelayMs:50" \
  --device "address=127.0.0.4,kind=T,mac=02-00-00-00-00-04,sketch=90,id=1,fault=replyDelayMs:100" \
  --device "address=127.0.0.5,kind=W,mac=02-00-00-00-00-05,sketch=125,model=17,id=15,fault=replyDelayMs:150" \
  --device "address=127.0.0.6,kind=B,mac=02-00-00-00-00-06,sketch=91,model=6,id=2,password=PELICANUS,fault=replyDelayMs:200" \
  --device "address=127.0.0.7,kind=B,mac=02-00-00-00-00-07,sketch=125,model=1,id=1,fault=updateNoAnswer,fault=replyDelayMs:250" \
  >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 50); do
  [ "$(grep -c simulating "$work/sim.log")" -ge 6 ] && break
  sleep 0.1
done

failures=0
expect_status() {  # expect_status NAME WANTED COMMAND...
  local name=$1 wanted=$2; shift 2
  "$@" >"$work/out" 2>"$work/err" </dev/null
  local got=$?
  sed -i 's/\r$//' "$work/out" "$work/err"  # Windows ends lines with CR LF
  if [ "$got" -eq "$wanted" ]; then echo "ok - $name"; else
    echo "FAILED - $name: exit $got, wanted $wanted"; cat "$work/out" "$work/err"
    failures=$((failures + 1))
  fi
}
expect_text() {  # expect_text NAME FILE PATTERN
  if grep -q -- "$3" "$2"; then echo "ok - $1"; else
    echo "FAILED - $1: no '$3' in"; cat "$2"; failures=$((failures + 1)); fi
}
expect_image() {  # expect_image NAME SENT_FILE DEVICE_ADDRESS
  if cmp -s "$2" "$work/received/$3.bin"; then echo "ok - $1"; else
    echo "FAILED - $1: $3 did not receive $2 byte for byte"; failures=$((failures + 1)); fi
}
fw() { timeout 60 "${runner[@]}" "$KESTO_FW" "$@" "${ports[@]}"; }

expect_status "search" 0 fw search --interface 127.0.0.1
cat >"$work/want" <<'WANT'
127.0.0.2 / 02-00-00-00-00-02 / KS-B21 / ver. 1.25
127.0.0.3 / 02-00-00-00-00-03 / WiFi / ver. 1.25 (-58 dBm)
127.0.0.4 / 02-00-00-00-00-04 / PQ / ver. 1.00
127.0.0.5 / 02-00-00-00-00-05 / KS-W17 / ver. 1.25
127.0.0.6 / 02-00-00-00-00-06 / KS-B26 / ver. 0.91
127.0.0.7 / 02-00-00-00-00-07 / KS-B21 / ver. 1.25
WANT
if diff -u "$work/want" "$work/out"; then echo "ok - search entries"; else failures=$((failures + 1)); fi

expect_status "search --json" 0 fw search --interface 127.0.0.1 --json
expect_text "json carries the record" "$work/out" '"addressText":"127.0.0.5".*"kindLetter":"W".*"idValue":15'

head -c 5000 /dev/urandom >"$work/KS_N_test.bin"
head -c 3000 /dev/urandom >"$work/KESTOWiFi_test.bin"
expect_status "write without authentication" 0 fw write --device 127.0.0.2 --interface 127.0.0.1 --yes "$work/KS_N_test.bin"
expect_text "success message" "$work/out" '正常終了'
expect_image "plain write arrives whole" "$work/KS_N_test.bin" 127.0.0.2
expect_status "write with authentication" 0 fw write --device 127.0.0.6 --interface 127.0.0.1 --yes --verbose "$work/KS_N_test.bin"
expect_text "verbose log shows the authentication" "$work/err" 'Authenticating...'
expect_image "authenticated write arrives whole" "$work/KS_N_test.bin" 127.0.0.6
expect_status "silent device" 1 fw write --device 127.0.0.7 --interface 127.0.0.1 --yes "$work/KS_N_test.bin"
expect_status "TMODE refused" 7 fw write --device 127.0.0.5 --interface 127.0.0.1 --yes "$work/KS_N_test.bin"
expect_text "TMODE message" "$work/err" 'TMODEを解除してください。'
expect_status "wrong file name refused" 7 fw write --device 127.0.0.3 --interface 127.0.0.1 --yes "$work/KS_N_test.bin"
expect_text "wrong file message" "$work/err" 'ファームウェアファイルが異なります。'
expect_status "--any-file accepts it" 0 fw write --device 127.0.0.3 --interface 127.0.0.1 --yes --any-file "$work/KS_N_test.bin"
expect_status "right file for the wireless device" 0 fw write --device 127.0.0.3 --interface 127.0.0.1 --yes "$work/KESTOWiFi_test.bin"
expect_status "unknown device not found" 6 fw write --device 127.0.0.99 --interface 127.0.0.1 --yes "$work/KS_N_test.bin"
expect_status "not confirmed" 8 fw write --device 127.0.0.2 --interface 127.0.0.1 "$work/KS_N_test.bin"
expect_status "missing file" 2 fw write --device 127.0.0.2 --interface 127.0.0.1 --yes "$work/KS_N_missing.bin"
expect_status "foreign interface address" 9 fw search --interface 10.231.99.1
expect_status "usage error" 64 fw search --bogus
expect_status "write without device" 64 fw write "$work/KS_N_test.bin"
expect_status "version" 0 "${runner[@]}" "$KESTO_FW" --version
expect_text "version text" "$work/out" 'Version 1.03'

echo "cli: $failures failed"
[ "$failures" -eq 0 ]
