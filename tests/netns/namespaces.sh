# Sourced by the namespace tests. Needs root (ip netns); skips with exit 77
# otherwise. Everything it creates is removed on exit.

# netns_begin TAG A B HOST...: a PC namespace $pc whose veth interfaces
# ${TAG}pa (10.231.A.1/24) and ${TAG}pb (10.231.B.1/24) lead to the device
# namespaces $na and $nb, which hold 10.231.A.HOST and 10.231.B.HOST. $work is
# a temporary folder; the devices write what they receive to $work/received.
netns_begin() {
  local tag=$1 a=$2 b=$3 side n host
  shift 3
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: network-namespace test needs root (ip netns add)"
    exit 77
  fi
  pc="${tag}pc"; na="${tag}a"; nb="${tag}b"
  if ! ip netns add "$pc" 2>/dev/null; then
    echo "SKIP: cannot create network namespaces here"
    exit 77
  fi
  work=$(mktemp -d)
  mkdir "$work/received"
  trap netns_cleanup EXIT
  set -e
  ip netns add "$na"
  ip netns add "$nb"
  for side in a b; do
    n=$([ $side = a ] && echo "$a" || echo "$b")
    ip link add "${tag}p$side" type veth peer name "${tag}d$side"
    ip link set "${tag}p$side" netns "$pc"; ip link set "${tag}d$side" netns "$tag$side"
    ip -n "$pc" addr add "10.231.$n.1/24" dev "${tag}p$side"
    for host in "$@"; do ip -n "$tag$side" addr add "10.231.$n.$host/24" dev "${tag}d$side"; done
    ip -n "$pc" link set "${tag}p$side" up; ip -n "$tag$side" link set "${tag}d$side" up
  done
  for side in "$pc" "$na" "$nb"; do ip -n "$side" link set lo up; done
  set +e
}

pids=()
netns_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  if declare -F netns_cleanup_more >/dev/null; then netns_cleanup_more; fi
  wait 2>/dev/null
  for ns in "$pc" "$na" "$nb"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
}

failures=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then echo "ok - $name"; else echo "FAILED - $name"; failures=$((failures + 1)); fi
}

start_sim() {  # start_sim NAMESPACE LOG SPEC...: $KESTO_SIM with these devices
  local ns=$1 log=$2 args=()
  shift 2
  for spec in "$@"; do args+=(--device "$spec"); done
  ip netns exec "$ns" "$KESTO_SIM" --any-source --duration 240 --received "$work/received" "${args[@]}" \
    >"$log" 2>&1 &
  pids+=($!)
}

# Waits (bounded) until the simulators' logs in $work report N devices.
wait_for_devices() {
  for _ in $(seq 100); do
    [ "$(cat "$work"/sim-*.log 2>/dev/null | grep -c simulating)" -ge "$1" ] && return 0
    sleep 0.1
  done
}
