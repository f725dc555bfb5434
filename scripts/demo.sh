#!/usr/bin/env bash
# linkKeeper's main job, shown end to end in a sandbox: a real NetworkManager managing two veth
# links in private network and mount namespaces (with a far-side test host), linkKeeper driving
# it, and lkctl standing in for the platform's bus server. Nothing on this machine's own
# network, D-Bus or /etc changes. Run as root: bash scripts/demo.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${LK_BUILD_DIR:-$repo/build}

if [ "${1:-}" != --inside ]; then
  bash "$repo/scripts/install-deps.sh"
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target linkKeeper lkctl veth_as_ethernet >/dev/null
  exec env LK_VETH=2 LK_BUILD_DIR="$build" "$repo/scripts/nm-sandbox.sh" run "$0" --inside
fi

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

# The node facts and interface classes that the platform would normally provide.
echo gateway >/run/yeb/nodeType
echo demo-node >/run/yeb/nodeName
echo veth0 >/run/yeb/boot/netif_external
echo veth1 >/run/yeb/boot/netif_internal

# NetworkManager reports veth links as their own device type, and linkKeeper writes profiles
# only for Ethernet and Wi-Fi devices. The demo's daemon therefore runs with the test shim that
# makes libnm's device-type query read veth as Ethernet; the product itself is unchanged.
log=$(mktemp /tmp/linkKeeper-demo.XXXXXX.log)
LD_PRELOAD="$build/tests/nm/libveth_as_ethernet.so" \
  "$build/app/linkKeeper" -c -s localhost:10001 >"$log" 2>&1 &
daemon=$!
trap 'kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true; rm -f "$log"' EXIT

lkctl() { "$build/lkctl/lkctl" -q -P 10001 "$@"; }

step "Interface classes from the boot lists (request 7)"
show lkctl call classes

step "The interfaces NetworkManager manages (request 1)"
show lkctl call interfaces

step "Details of veth0 before it is configured (request 2)"
show lkctl call details --str veth0

step "Watch veth0 (request 5), give it a static address (request 3), print the events (id 6)"
script=$(
  cat <<'LINES'
call watch --json '{"interface":"veth0","property":"state-changed","handle":0}'
call set-connection --json '{"interface":"veth0","ip4":{"method":"manual","address":"192.0.2.2","prefix":28,"gateway":"192.0.2.1","dns":["192.0.2.1"]}}'
events 3
LINES
)
printf '%s\n' "$script"
lkctl script - <<<"$script"

step "The profile NetworkManager now holds for veth0 (request 4), and what the kernel sees"
show lkctl call get-connection --str veth0
show ip -br addr show dev veth0

step "Ping the far-side host over veth0 (request 12; the result arrives as message 13)"
script=$(
  cat <<'LINES'
call ping --json '{"hostname":"192.0.2.1","pingCount":3,"totalTimeout":0,"pingInterval":200,"pingTimeout":1000}'
events 2
LINES
)
printf '%s\n' "$script"
lkctl script - <<<"$script"
echo "linkKeeper's log lines of the probe:"
grep -F 'ping[' "$log"
