#!/usr/bin/env bash
# linkKeeper's main job, shown end to end in a sandbox: a real NetworkManager managing two veth
# links in private network and mount namespaces (with a far-side test host), linkKeeper driving
# it, and lkctl on linkKeeper's control socket as a support person uses it on a device (at the
# end also standing in for the platform's bus server). Nothing on this machine's own network,
# D-Bus or /etc changes. Run as root: bash scripts/demo.sh
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
lkctl() { "$build/lkctl/lkctl" "$@"; }

# Waits up to 10 s for the text to appear in the file.
wait_for_text() {
  local tries=100
  until grep -q -- "$2" "$1"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "demo: no \"$2\" in $1" >&2; return 1; }
    sleep 0.1
  done
}

# The node facts and interface classes that the platform would normally provide.
echo gateway >/run/yeb/nodeType
echo demo-node >/run/yeb/nodeName
echo veth0 >/run/yeb/boot/netif_external
echo veth1 >/run/yeb/boot/netif_internal

# NetworkManager reports veth links as their own device type, and linkKeeper writes profiles
# only for Ethernet and Wi-Fi devices. The demo's daemon therefore runs with the test shim that
# makes libnm's device-type query read veth as Ethernet; the product itself is unchanged. No
# bus server listens yet: lkctl needs none, it uses the control socket (/run is the sandbox's).
log=$(mktemp /tmp/linkKeeper-demo.XXXXXX.log)
events=$(mktemp /tmp/lkctl-monitor.XXXXXX)
LD_PRELOAD="$build/tests/nm/libveth_as_ethernet.so" \
  "$build/app/linkKeeper" -c -s localhost:10001 >"$log" 2>&1 &
daemon=$!
monitor=
trap 'kill $monitor "$daemon" 2>/dev/null; wait $monitor "$daemon" 2>/dev/null || true
      rm -f "$log" "$events"' EXIT
wait_for_text "$log" "control socket: /run/linkKeeper/control"

step "Interface classes from the boot lists"
show lkctl classes

step "The interfaces NetworkManager manages"
show lkctl interfaces

step "Details of veth0 before it is configured"
show lkctl details veth0

step "Watch veth0 (monitor) while it gets a static address, waiting for its activation"
# The program itself, not the function: the signal must reach lkctl, not a subshell.
"$build/lkctl/lkctl" monitor veth0 >"$events" 2>&1 &
monitor=$!
wait_for_text "$events" monitoring
show lkctl set-connection veth0 ip4 manual 192.0.2.2/28 gw 192.0.2.1 dns 192.0.2.1 --wait 30
wait_for_text "$events" "veth0: activated"
kill -INT "$monitor"
wait "$monitor"
monitor=
printf '$ lkctl monitor veth0\n'
cat "$events"

step "The profile NetworkManager now holds for veth0, and what the kernel sees"
show lkctl profile veth0
show ip -br addr show dev veth0

step "A change that undoes itself unless it is confirmed (a remote device stays reachable)"
printf '$ lkctl set-connection veth0 ip4 manual 192.0.2.3/28 gw 192.0.2.1 --wait 30 --rollback 60\n'
answer=$(lkctl set-connection veth0 ip4 manual 192.0.2.3/28 gw 192.0.2.1 --wait 30 --rollback 60)
printf '%s\n' "$answer"
checkpoint=$(sed -n 's/^checkpoint \([0-9]*\):.*/\1/p' <<<"$answer")
show lkctl confirm "$checkpoint"

step "Change one setting and keep the rest: modify adds a name server, the address stays"
show lkctl modify veth0 ip4 +dns 192.0.2.53 --wait 30
show lkctl profile veth0

step "A bad change nobody confirms: NetworkManager rolls it back by itself"
show lkctl set-connection veth0 ip4 manual 198.51.100.5/24 --rollback 5
show ip -br addr show dev veth0
show lkctl checkpoints
echo "(the far side 192.0.2.1 is out of reach now; nobody confirms; 8 s later:)"
sleep 8
show ip -br addr show dev veth0
show lkctl profile veth0

step "A change the device checks itself: the far side does not answer on it, so it is undone"
show lkctl set-connection veth0 ip4 manual 198.51.100.5/24 --verify 192.0.2.1:3 ||
  echo "exit status $?"
show ip -br addr show dev veth0
grep -F 'verify' "$log"

step "Ping the far-side host over veth0 (linkKeeper sends the echo requests)"
show lkctl ping 192.0.2.1 -c 3 -i 0.2
echo "linkKeeper's log lines of the probe:"
grep -F 'ping[' "$log"

step "For scripts: lkctl's JSON with names, the bus JSON, terse fields and exit statuses"
show lkctl --json interfaces
show lkctl --raw interfaces
show lkctl -t -f name,state interfaces
show lkctl details veth9 || echo "exit status $? (10: no such interface)"

step "A Wi-Fi key read from standard input, never on the command line (ps shows command lines)"
echo '$ lkctl set-connection wlan0 ip4 auto wifi ssid demo-net key - <<<"short"'
lkctl set-connection wlan0 ip4 auto wifi ssid demo-net key - <<<"short" || echo "exit status $?"
echo '$ lkctl set-connection wlan0 ip4 auto wifi ssid demo-net key - <<<"correct horse battery"'
lkctl set-connection wlan0 ip4 auto wifi ssid demo-net key - <<<"correct horse battery" ||
  echo "exit status $? (the key passed; this sandbox has no Wi-Fi device, the tests use a mock)"

step "The bus at the same time: lkctl serve stands in for the platform's bus server"
show lkctl serve -q -P 10001 call classes
