#!/usr/bin/env bash
# Runs bench_tools inside private network namespaces (root needed) and Debian's ping next to it.
# Usage: run-ping-bench.sh path/to/bench_tools   (LK_PING_COUNT, LK_PING_INTERVAL_MS: loopback
# request count and interval, default 50 and 100)
set -euo pipefail
bench=${1:?usage: $0 path/to/bench_tools}
export LK_PING_COUNT=${LK_PING_COUNT:-50} LK_PING_INTERVAL_MS=${LK_PING_INTERVAL_MS:-100}
interval_s=$(awk -v ms="$LK_PING_INTERVAL_MS" 'BEGIN { printf "%.3f", ms / 1000 }')

# Each block runs in a network namespace of its own that ends with it; 127.0.0.1 there is
# silent when the kernel ignores echo requests.
silent='ip link set lo up && sysctl -qw net.ipv4.icmp_echo_ignore_all=1 && '
answering='ip link set lo up && '

echo "== linkKeeper engine: 10-second probe of a silent host"
unshare --net sh -c "$silent \"\$0\" --benchmark_filter=SilentHostProbe" "$bench"
echo
echo "== Debian ping: 10 requests 1 s apart to the same silent host (CPU time)"
unshare --net sh -c "$silent /usr/bin/time -f 'user %U s, system %S s, elapsed %e s' \
  ping -n -q -c 10 -i 1 -W 1 127.0.0.1 >/dev/null || true"
echo
echo "== linkKeeper engine: $LK_PING_COUNT requests to 127.0.0.1, $LK_PING_INTERVAL_MS ms apart"
unshare --net sh -c "$answering \"\$0\" --benchmark_filter=LoopbackRoundTrip" "$bench"
echo
echo "== Debian ping: the same count and interval"
unshare --net sh -c "$answering ping -n -q -c $LK_PING_COUNT -i $interval_s 127.0.0.1 | tail -2"
