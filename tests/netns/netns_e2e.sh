#!/usr/bin/env bash
# End to end across real interfaces: a PC namespace with two veth interfaces on
# two subnets, each leading to a namespace of simulated devices. A search from
# one interface's address must find only that subnet's devices (the broadcast
# leaves through the interface that owns the bound address), and a write
# through the second interface must reach its device.
# Root only (namespaces.sh); skips with exit 77 otherwise.
set -u
KESTO_FW=${1:?path to kesto-fw}
KESTO_SIM=${2:?path to kesto-sim}

. "$(dirname "$0")/namespaces.sh"
tag="k$$"
netns_begin "$tag" 1 2 10 11
start_sim "$na" "$work/sim-a.log" \
  "address=10.231.1.10,kind=B,mac=02-00-00-00-01-10,sketch=125,model=2,id=1" \
  "address=10.231.1.11,kind=L,mac=02-00-00-00-01-11,sketch=125,model=0,rssi=-58"
start_sim "$nb" "$work/sim-b.log" \
  "address=10.231.2.10,kind=T,mac=02-00-00-00-02-10,sketch=110,id=1,password=PELICANUS" \
  "address=10.231.2.11,kind=W,mac=02-00-00-00-02-11,sketch=125,model=17,id=2"
wait_for_devices 4

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
