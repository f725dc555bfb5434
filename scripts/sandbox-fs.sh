#!/usr/bin/env bash
# Runs a command in a private mount namespace in which the platform's directories are scratch:
#   /run                  fresh tmpfs (holds /run/yeb and /run/yeb/boot)
#   /mnt                  fresh tmpfs (holds /mnt/datafs/boot and /mnt/datafs/peerKeeper)
#   /etc, /usr/share      overlays whose writes land in a tmpfs
# The product keeps its real paths; nothing written there reaches the host.
# Usage: sandbox-fs.sh COMMAND [ARGS...]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 command [args...]" >&2; exit 2; }

if [ "${LK_SANDBOX_FS_INNER:-}" != 1 ]; then
  export LK_SANDBOX_FS_INNER=1
  exec unshare --mount --propagation private -- "$0" "$@"
fi

scratch=$(mktemp -d /tmp/lk-sandbox-fs.XXXXXX)
mount -t tmpfs lk-scratch "$scratch"
overlay() {
  local dir=$1 name=$2
  mkdir -p "$scratch/$name/upper" "$scratch/$name/work"
  mount -t overlay "lk-$name" -o "lowerdir=$dir,upperdir=$scratch/$name/upper,workdir=$scratch/$name/work" "$dir"
}
overlay /etc etc
overlay /usr/share share
mount -t tmpfs lk-run /run
mount -t tmpfs lk-mnt /mnt
mkdir -p /run/yeb/boot /mnt/datafs/boot /mnt/datafs/peerKeeper /usr/share/yeb/boot
# The scratch directory is only reachable inside this namespace; remove the empty mount point
# it left on the host's /tmp once the command ends.
trap 'umount -l "$scratch" 2>/dev/null; rmdir "$scratch" 2>/dev/null' EXIT
export LK_SANDBOX_FS=1
"$@"
