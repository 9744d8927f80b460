#!/usr/bin/env bash
# A broadcast the system refuses is a failed search, not an empty network: in
# a namespace of its own, an nftables rule drops the discovery datagram, so
# sendto fails with EPERM; search and write --all must end with status 5 and
# the system's number. Root only; skips with exit 77 otherwise.
set -u
KESTO_FW=${1:?path to kesto-fw}

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the refused-broadcast test needs root (ip netns add, nft)"
  exit 77
fi
if ! command -v nft >/dev/null; then
  echo "SKIP: nft not installed (Debian nftables)"
  exit 77
fi
ns="kr$$"
if ! ip netns add "$ns" 2>/dev/null; then
  echo "SKIP: cannot create network namespaces here"
  exit 77
fi
work=$(mktemp -d)
trap 'ip netns del "$ns" 2>/dev/null; rm -rf "$work"' EXIT
in_ns() { ip netns exec "$ns" "$@"; }
in_ns ip link set lo up
in_ns nft add table inet t
in_ns nft add chain inet t out '{ type filter hook output priority 0 ; }'
in_ns nft add rule inet t out udp dport 30718 drop

failures=0
refused() {  # refused NAME ARGS...: status 5 and EPERM's number (1)
  local name=$1 status
  shift
  in_ns timeout 60 "$KESTO_FW" "$@" >"$work/out" 2>"$work/err"
  status=$?
  cat "$work/out" "$work/err"
  if [ "$status" -eq 5 ] && grep -q 'error 1 ' "$work/err"; then
    echo "ok - $name"
  else
    echo "FAILED - $name (status $status)"
    failures=$((failures + 1))
  fi
}
printf '\xe9image' >"$work/KS_N_refused.bin"
refused "search" search --interface 127.0.0.1
refused "write --all" write --interface 127.0.0.1 --all --yes "$work/KS_N_refused.bin"
[ "$failures" -eq 0 ]
