#!/usr/bin/env bash
# End to end across real interfaces: a PC namespace with two veth interfaces on
# two subnets, each leading to a namespace of simulated devices. A search from
# one interface's address must find only that subnet's devices (the broadcast
# leaves through the interface that owns the bound address), and a write
# through the second interface must reach its device.
# Needs root (ip netns); skips with exit 77 otherwise. Everything it creates is
# removed on exit.
set -u
KESTO_FW=${1:?path to kesto-fw}
KESTO_SIM=${2:?path to kesto-sim}

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: network-namespace test needs root (ip netns add)"
  exit 77
fi
tag="k$$"
pc="${tag}pc"; na="${tag}a"; nb="${tag}b"
if ! ip netns add "$pc" 2>/dev/null; then
  echo "SKIP: cannot create network namespaces here"
  exit 77
fi
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
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
for side in a b; do  # PC interface p<side> on 10.231.<n>.1, devices d<side> at .10 and .11
  n=$([ $side = a ] && echo 1 || echo 2); dev="$tag$side"
  ip link add "${tag}p$side" type veth peer name "${tag}d$side"
  ip link set "${tag}p$side" netns "$pc"; ip link set "${tag}d$side" netns "$dev"
  ip -n "$pc" addr add "10.231.$n.1/24" dev "${tag}p$side"
  ip -n "$dev" addr add "10.231.$n.10/24" dev "${tag}d$side"
  ip -n "$dev" addr add "10.231.$n.11/24" dev "${tag}d$side"
  ip -n "$pc" link set "${tag}p$side" up; ip -n "$dev" link set "${tag}d$side" up
done
for ns in "$pc" "$na" "$nb"; do ip -n "$ns" link set lo up; done
set +e

start_sim() {  # start_sim NAMESPACE LOG SPEC...
  local ns=$1 log=$2 args=(); shift 2
  for spec in "$@"; do args+=(--device "$spec"); done
  ip netns exec "$ns" "$KESTO_SIM" --any-source --duration 120 "${args[@]}" >"$log" 2>&1 &
  pids+=($!)
}
start_sim "$na" "$work/sim-a.log" \
  "address=10.231.1.10,kind=B,mac=02-00-00-00-01-10,sketch=125,model=2,id=1" \
  "address=10.231.1.11,kind=L,mac=02-00-00-00-01-11,sketch=125,model=0,rssi=-58"
start_sim "$nb" "$work/sim-b.log" \
  "address=10.231.2.10,kind=T,mac=02-00-00-00-02-10,sketch=110,id=1,password=PELICANUS" \
  "address=10.231.2.11,kind=W,mac=02-00-00-00-02-11,sketch=125,model=17,id=2"
# Wait (bounded) until both simulators report their devices.
for _ in $(seq 1 50); do
  [ "$(cat "$work"/sim-*.log 2>/dev/null | grep -c simulating)" -ge 4 ] && break
  sleep 0.1
done

fw() { ip netns exec "$pc" timeout 60 "$KESTO_FW" "$@"; }

interfaces=$(fw interfaces)
check "both PC interfaces are offered" \
  test "$interfaces" = "$(printf '10.231.1.1 (%s)\n10.231.2.1 (%s)' "${tag}pa" "${tag}pb")"

first=$(fw search --interface 10.231.1.1)
second=$(fw search --interface 10.231.2.1)
echo "$first"; echo "$second"
check "first subnet: exactly its two devices" test "$(sort <<<"$first")" = "$(printf '%s\n%s' \
  '10.231.1.10 / 02-00-00-00-01-10 / KS-B22 / ver. 1.25' \
  '10.231.1.11 / 02-00-00-00-01-11 / WiFi / ver. 1.25 (-58 dBm)')"
check "second subnet: two devices, none from the first" \
  test "$(grep -c '^10\.231\.2\.' <<<"$second")" -eq 2 -a "$(grep -c . <<<"$second")" -eq 2

head -c 70000 /dev/urandom >"$work/PQ_netns.bin"
out=$(fw write --device 10.231.2.10 --interface 10.231.2.1 --yes "$work/PQ_netns.bin")
status=$?
echo "$out"
check "write through the second interface succeeds" test "$status" -eq 0
check "write reports success" grep -q '正常終了' <<<"$out"

out=$(fw write --device 10.231.2.10 --interface 10.231.1.1 --yes "$work/PQ_netns.bin")
check "a device on the other subnet is not found" test $? -eq 6

echo "netns: $failures failed"
[ "$failures" -eq 0 ]
