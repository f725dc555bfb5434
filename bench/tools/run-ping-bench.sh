#!/usr/bin/env bash
# Ping figures of the real daemon next to Debian's ping (bench_ping.py), on a link of its own:
# a network namespace for the daemon, its bus server and the pings (192.0.2.1), joined by a
# veth pair to a far-side namespace (192.0.2.2), all inside scripts/sandbox-fs.sh so the node
# facts land in a scratch /run. Everything ends with the namespaces; the flood is bounded in
# time and stopped by its PID.
# Usage (root): run-ping-bench.sh path/to/linkKeeper [ECHOES_PER_PROBE (default 1000)]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
daemon=$(realpath "${1:?usage: $0 path/to/linkKeeper [ECHOES_PER_PROBE]}")

if [ "${LK_PING_BENCH_INNER:-}" != 1 ]; then
  export LK_PING_BENCH_INNER=1
  exec unshare --net -- "$here/../../scripts/sandbox-fs.sh" "$0" "$@"
fi

far=lkb-far-$$
trap 'ip netns del "$far" 2>/dev/null || true' EXIT
ip link set lo up
ip netns add "$far"
ip link add lkb0 type veth peer name lkb1 netns "$far"
ip addr add 192.0.2.1/24 dev lkb0
ip link set lkb0 up
ip -n "$far" addr add 192.0.2.2/24 dev lkb1
ip -n "$far" link set lkb1 up
ip -n "$far" link set lo up
ping -n -q -c 1 -w 10 192.0.2.2 >/dev/null  # until the link carries traffic
/usr/bin/python3 -B "$here/bench_ping.py" "$daemon" "$far" "${2:-1000}"
