#!/usr/bin/env bash
# A real NetworkManager that cannot reach this machine's network or D-Bus.
#
#   nm-sandbox.sh run CMD [ARGS...]        set up, run CMD inside, tear down; CMD's exit status
#   nm-sandbox.sh start DIR                set up, then supervise in the foreground until stopped
#   nm-sandbox.sh exec DIR CMD [ARGS...]   run CMD inside the sandbox started with DIR
#   nm-sandbox.sh stop DIR                 stop that sandbox and wait until it is gone
#   nm-sandbox.sh nm stop|start            (inside) stop or start NetworkManager again
#   nm-sandbox.sh bus stop|start           (inside) stop or start the private system bus again
#
# Inside: the scratch file system of sandbox-fs.sh (LK_SANDBOX_FS=1) plus empty tmpfs over
# NetworkManager's profile and state directories and a private /etc/resolv.conf; a network
# namespace holding veth0..veth<N-1> (N = LK_VETH, default 2, at most 16) managed by
# NetworkManager, whose peers far0..far<N-1> sit in a second namespace, the far-side test host
# ("ip netns exec $LK_FAR_NS ..."); a private system bus ($DBUS_SYSTEM_BUS_ADDRESS).
# Pair i: far side 192.0.2.(16i+1)/28 and 2001:db8:0:i::1/64; the sandbox side is free for
# tests to configure in 192.0.2.(16i+2 .. 16i+14) and 2001:db8:0:i::/64.
#
# DIR (start/exec/stop) is an empty or missing directory outside the sandbox; it receives
# "pid" (a process inside the namespaces), "env" (the variables above), "ready" and the logs.
# Everything the sandbox starts is stopped by PID when it ends, also on failure or signal.
set -euo pipefail

self=$(readlink -f "$0")
here=$(dirname "$self")

die() { echo "nm-sandbox: $*" >&2; exit 2; }

# Fails with the end of a daemon's log, which would otherwise vanish with the sandbox.
die_with_log() {
  echo "nm-sandbox: $2; last lines of $1:" >&2
  tail -n 40 "$1" >&2 || true
  exit 2
}

usage() { sed -n '2,7p' "$self" | sed 's/^# \{0,1\}//' >&2; exit 2; }

# ---------------------------------------------------------------------------------------------
# Outside the sandbox
# ---------------------------------------------------------------------------------------------

# The network namespace first, then sandbox-fs.sh's mount namespace; the inner half of this
# script then lives in both, as does every process it starts.
enter() {
  [ "$(id -u)" -eq 0 ] || die "needs root (namespaces, NetworkManager)"
  local veth=${LK_VETH:-2}
  if ! [[ $veth =~ ^[0-9]+$ ]] || [ "$veth" -lt 1 ] || [ "$veth" -gt 16 ]; then
    die "LK_VETH must be 1..16"
  fi
  export LK_VETH=$veth
  unset LK_SANDBOX_FS_INNER
  exec unshare --net -- "$here/sandbox-fs.sh" "$self" __inside "$@"
}

cmd_exec() {
  local dir=$1
  shift
  [ $# -ge 1 ] || usage
  [ -f "$dir/ready" ] || die "no running sandbox in $dir"
  local pid vars
  pid=$(<"$dir/pid")
  mapfile -t vars <"$dir/env"
  exec nsenter --target "$pid" --mount --net --wd="$PWD" -- env "${vars[@]}" "$@"
}

cmd_stop() {
  local dir=$1 pid
  [ -f "$dir/pid" ] || die "no sandbox in $dir"
  pid=$(<"$dir/pid")
  kill -TERM "$pid" 2>/dev/null || return 0
  # The supervisor's own clean-up bounds this wait; it removes "pid" as its last step.
  while [ -e "$dir/pid" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
}

# ---------------------------------------------------------------------------------------------
# Inside the sandbox (network namespace + sandbox-fs.sh's mount namespace)
# ---------------------------------------------------------------------------------------------

run_dir=/run/lk-nm
far_ns=lk-far-$$
bus_socket=$run_dir/system_bus_socket
daemon_pids=()
log_dir=$run_dir
state_dir=

# Waits up to $1 tenths of a second for the command that follows to succeed, as long as the
# daemon with PID $2 lives.
wait_for() {
  local tries=$1 pid=$2
  shift 2
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] && kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
}

private_files() {
  # Fresh sysfs for this network namespace, read-only: NetworkManager then takes devices as
  # initialised without udev and manages the veth devices at once.
  mount -t sysfs -o ro lk-sysfs /sys
  # /run is already sandbox-fs.sh's tmpfs; the profile directory would show the host's
  # profiles through the /etc overlay, and /var is not private at all.
  mkdir -p /etc/NetworkManager/system-connections /var/lib/NetworkManager
  mount -t tmpfs -o mode=0700 lk-nm-profiles /etc/NetworkManager/system-connections
  mount -t tmpfs -o mode=0755 lk-nm-state /var/lib/NetworkManager
  mkdir -p "$run_dir/conf.d" /run/NetworkManager
  # Whatever the host's file is (a symbolic link into /run, a bind mount), the sandbox's own
  # lands in the /etc overlay.
  rm -f /etc/resolv.conf
  printf '# linkKeeper sandbox: NetworkManager leaves this file alone (dns=none)\n' >/etc/resolv.conf
}

make_links() {
  ip link set lo up
  ip netns add "$far_ns"
  ip -n "$far_ns" link set lo up
  local i
  for ((i = 0; i < LK_VETH; i++)); do
    ip link add "veth$i" type veth peer name "far$i" netns "$far_ns"
    ip -n "$far_ns" addr add "192.0.2.$((16 * i + 1))/28" dev "far$i"
    ip -n "$far_ns" addr add "2001:db8:0:$(printf %x "$i")::1/64" dev "far$i" nodad
    ip -n "$far_ns" link set "far$i" up
  done
}

start_bus() {
  dbus-daemon --nofork --nopidfile --config-file="$here/sandbox-dbus.conf" \
    --address="unix:path=$bus_socket" >>"$log_dir/dbus.log" 2>&1 &
  daemon_pids+=($!)
  echo $! >"$run_dir/dbus-daemon.pid"
  wait_for 100 $! test -S "$bus_socket" || die_with_log "$log_dir/dbus.log" "private D-Bus did not come up"
}

write_nm_config() {
  cat >"$run_dir/NetworkManager.conf" <<'EOF'
[main]
plugins=keyfile
no-auto-default=*
dns=none
rc-manager=unmanaged
hostname-mode=none
auth-polkit=false
dhcp=internal

[logging]
# The journal's socket lives under the private /run, so nothing reaches the host's logs;
# --debug copies every line to standard error, which goes to NetworkManager.log.
backend=journal
level=INFO

[connectivity]
enabled=false
EOF
}

start_nm() {
  write_nm_config
  NetworkManager --no-daemon --debug --config="$run_dir/NetworkManager.conf" \
    --config-dir="$run_dir/conf.d" --system-config-dir="$run_dir/conf.d" \
    --intern-config="$run_dir/NetworkManager-intern.conf" \
    --state-file=/var/lib/NetworkManager/NetworkManager.state \
    >>"$log_dir/NetworkManager.log" 2>&1 &
  daemon_pids+=($!)
  # NetworkManager writes no PID file in the foreground; tests and benchmarks find it here.
  echo $! >"$run_dir/NetworkManager.pid"
  wait_for 300 $! all_veth_managed ||
    die_with_log "$log_dir/NetworkManager.log" "NetworkManager did not manage the veth devices"
}

# Managed: disconnected, or on its way to a profile or on one. After a restart NetworkManager
# may start a profile at once (a DHCP one then stays "connecting" for as long as DHCP tries).
all_veth_managed() {
  local states
  states=$(nmcli -t -f DEVICE,STATE device 2>/dev/null) || return 1
  local i
  for ((i = 0; i < LK_VETH; i++)); do
    grep -qE "^veth$i:(disconnected|connecting|connected)" <<<"$states" || return 1
  done
}

# Processes left in the sandbox's namespaces (daemons a test forgot, commands run with
# "exec") go too: nothing outlives the sandbox.
# Prints them, leaving out this shell, its parent (sandbox-fs.sh) and the PIDs given.
stragglers() {
  local far=/proc/$$/ns/net pid
  # "ip netns" keeps the far side as a bind mount of the namespace: same inode.
  [ -e "/run/netns/$far_ns" ] && far=/run/netns/$far_ns
  for pid in /proc/[0-9]*; do
    pid=${pid#/proc/}
    case " $$ $PPID $BASHPID $* " in *" $pid "*) continue ;; esac
    # -ef compares the namespaces' inodes without starting a process per PID.
    if [ "/proc/$pid/ns/net" -ef "/proc/$$/ns/net" ] || [ "/proc/$pid/ns/net" -ef "$far" ]; then
      echo "$pid"
    fi
  done 2>/dev/null
}

stop_pids() {
  local pid tries=100
  [ $# -ge 1 ] || return 0
  kill -TERM "$@" 2>/dev/null || true
  for pid in "$@"; do
    while kill -0 "$pid" 2>/dev/null && [ "$tries" -gt 0 ]; do
      sleep 0.1
      tries=$((tries - 1))
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
  wait "$@" 2>/dev/null || true
}

teardown() {
  local status=$?
  trap - EXIT INT TERM HUP
  local nm_pid=${daemon_pids[1]:-} bus_pid=${daemon_pids[0]:-}
  # NetworkManager first, while its bus is still there to see it go.
  [ -n "$nm_pid" ] && stop_pids "$nm_pid"
  local left
  left=$(stragglers "${bus_pid:-0}")
  # shellcheck disable=SC2086 # a list of PIDs
  stop_pids $left
  [ -n "$bus_pid" ] && stop_pids "$bus_pid"
  ip netns del "$far_ns" 2>/dev/null || true
  [ -n "$state_dir" ] && rm -f "$state_dir/ready" "$state_dir/env" "$state_dir/pid"
  exit "$status"
}

# Ends when the process that started the sandbox, or LK_SANDBOX_OWNER, is gone: a killed
# caller must not leave NetworkManager running in namespaces nobody can reach.
watch_owners() {
  local pid
  while true; do
    for pid in "$PPID" ${LK_SANDBOX_OWNER:-}; do
      kill -0 "$pid" 2>/dev/null || return 0
    done
    sleep 0.5
  done
}

export_env() {
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$bus_socket"
  export LK_NM_SANDBOX=1 LK_FAR_NS=$far_ns LK_VETH
  unset LK_SANDBOX_FS_INNER
}

inside() {
  local mode=$1
  shift
  if [ "$mode" = start ]; then
    state_dir=$1
    log_dir=$state_dir
  fi
  trap teardown EXIT
  trap 'exit 143' TERM
  trap 'exit 130' INT
  trap 'exit 129' HUP
  private_files
  make_links
  export_env
  start_bus
  start_nm
  watch_owners &
  local watcher=$! done_pid=
  if [ "$mode" = run ]; then
    # In the background, so that a signal to this shell tears down at once; stdin stays the
    # caller's.
    local status=0
    "$@" <&0 &
    local cmd_pid=$!
    wait -n -p done_pid "$cmd_pid" "$watcher" || status=$?
    [ "$done_pid" = "$cmd_pid" ] && exit "$status"
    echo "nm-sandbox: caller gone; stopping" >&2
    exit 1
  fi
  printf '%s\n' "DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS" "LK_NM_SANDBOX=1" \
    "LK_FAR_NS=$far_ns" "LK_VETH=$LK_VETH" "LK_SANDBOX_FS=1" >"$state_dir/env"
  echo $$ >"$state_dir/pid"
  touch "$state_dir/ready"
  # Supervise: a daemon that dies ends the sandbox, so tests fail instead of hanging.
  wait -n -p done_pid "${daemon_pids[@]}" "$watcher" || true
  if [ "$done_pid" = "$watcher" ]; then
    echo "nm-sandbox: caller gone; stopping" >&2
  else
    echo "nm-sandbox: a daemon exited; stopping (logs in $log_dir)" >&2
  fi
  exit 1
}

# Restarts from inside a running sandbox: what a device lives through when NetworkManager or
# the system bus is restarted. The sandbox's tear-down stops whatever runs in it, these too.
restart_cmd() {
  [ "${LK_NM_SANDBOX:-}" = 1 ] || die "$1 $2: only inside the sandbox"
  local daemon=$1 action=$2 pid_file
  case $daemon in
    nm) pid_file=$run_dir/NetworkManager.pid ;;
    bus) pid_file=$run_dir/dbus-daemon.pid ;;
    *) usage ;;
  esac
  case $action in
    stop) stop_pids "$(<"$pid_file")" ;;
    start) if [ "$daemon" = nm ]; then start_nm; else start_bus; fi ;;
    *) usage ;;
  esac
}

[ $# -ge 1 ] || usage
case $1 in
  nm | bus)
    [ $# -eq 2 ] || usage
    restart_cmd "$1" "$2"
    ;;
  run)
    [ $# -ge 2 ] || usage
    shift
    enter run "$@"
    ;;
  start)
    [ $# -eq 2 ] || usage
    mkdir -p "$2"
    [ ! -e "$2/pid" ] || die "$2 already holds a sandbox"
    enter start "$(readlink -f "$2")"
    ;;
  exec)
    [ $# -ge 3 ] || usage
    shift
    cmd_exec "$@"
    ;;
  stop)
    [ $# -eq 2 ] || usage
    cmd_stop "$2"
    ;;
  __inside)
    [ "${LK_SANDBOX_FS:-}" = 1 ] || die "__inside is internal"
    shift
    inside "$@"
    ;;
  *) usage ;;
esac
