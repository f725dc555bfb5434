#!/usr/bin/env bash
# Installs every Debian package linkKeeper needs to build, test, fuzz and benchmark.
# Idempotent: when everything is present it prints nothing and exits 0.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev clang-format
  libnm-dev libglib2.0-dev libglib2.0-doc libsystemd-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  rapidjson-dev libsimdjson-dev libcjson-dev
  network-manager dbus dbus-daemon libglib2.0-bin iproute2 iputils-ping util-linux procps
  python3 python3-pytest python3-dbusmock python3-dbus python3-gi gcovr
  dpkg-dev debhelper file lintian man-db groff-base tmux bash-completion
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: need root to install: ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
# Package scripts must not start daemons (NetworkManager, D-Bus) on this machine:
# the tests run their own copies inside private namespaces.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  created_policy=1
fi
# An if, not "test && rm": the trap's last status would otherwise become the script's.
cleanup() {
  if [ "$created_policy" -eq 1 ]; then rm -f "$policy"; fi
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
