#!/usr/bin/env bash
# The Debian package: two builds of this tree give the same bytes; the binaries carry the
# distribution's hardening; lintian finds no error or warning; man renders the pages; and,
# installed, upgraded and removed in a private mount namespace (overlays on /usr, /etc, /var,
# a tmpfs on /run, a systemctl that only records), the maintainer scripts enable the unit and
# have systemd reload, start, restart and stop it.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${LK_PACKAGE_INNER:-}" != 1 ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir "$scratch/tree"  # one snapshot of the tree, built twice
  git -C "$top" ls-files -z | (cd "$top" && xargs -0 cp --parents -t "$scratch/tree")
  first=$(bash "$scratch/tree/scripts/package.sh" "$scratch/one" | tail -n 1)
  second=$(bash "$scratch/tree/scripts/package.sh" "$scratch/two" | tail -n 1)
  cmp "$first" "$second" || { echo "two builds differ" >&2; exit 1; }
  dpkg -x "$first" "$scratch/root"
  for program in usr/sbin/linkKeeper usr/bin/lkctl; do
    # Read whole before grep: grep -q ends early and pipefail would count readelf's SIGPIPE.
    dynamic=$(readelf -d -h --dyn-syms -W "$scratch/root/$program")
    grep -Eq 'FLAGS_1.*NOW' <<<"$dynamic" || { echo "$program: no BIND_NOW" >&2; exit 1; }
    grep -q 'DYN (Position-Independent' <<<"$dynamic" || { echo "$program: no PIE" >&2; exit 1; }
    grep -Eq '__[a-z]+printf_chk' <<<"$dynamic" || { echo "$program: no fortified call" >&2; exit 1; }
  done
  grep -qx 'ExecStart=/usr/sbin/linkKeeper' "$scratch/root/lib/systemd/system/linkKeeper.service"
  for page in usr/share/man/man1/lkctl.1.gz usr/share/man/man8/linkKeeper.8.gz; do
    if LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$scratch/root/$page" 2>&1 >/dev/null | grep .; then exit 1; fi
  done
  lintian --fail-on error,warning "$first"
  LK_PACKAGE_INNER=1 unshare --mount --propagation private -- bash "$0" "$first"
  exit
fi

# Inside the namespace: nothing written below reaches the host.
deb=$1
scratch=$(mktemp -d)
mount -t tmpfs lk-package "$scratch"
trap 'umount -l "$scratch"; rmdir "$scratch"' EXIT
for dir in usr etc var; do
  mkdir -p "$scratch/$dir/upper" "$scratch/$dir/work"
  mount -t overlay "lk-$dir" -o "lowerdir=/$dir,upperdir=$scratch/$dir/upper,workdir=$scratch/$dir/work" "/$dir"
done
mount -t tmpfs lk-run /run
mkdir -p /run/systemd/system  # the maintainer scripts talk to systemd only when it runs
rm -f /usr/sbin/policy-rc.d
# systemctl works on the files (--root, offline) as it would; what would reach a running
# systemd is only recorded.
calls=$scratch/systemctl.calls
: >"$calls"
cp /usr/bin/systemctl "$scratch/systemctl.real"
cat >/usr/bin/systemctl <<STUB
#!/bin/sh
case "\$*" in
  --root=*) exec "$scratch/systemctl.real" "\$@" ;;
  *is-enabled*) for unit; do :; done; exec "$scratch/systemctl.real" --root=/ is-enabled "\$unit" ;;
  *is-active*) exit 3 ;;
esac
echo "\$*" >>"$calls"
STUB
chmod 755 /usr/bin/systemctl
expect() {  # the systemctl calls of one step, in order
  local got
  got=$(tr '\n' ';' <"$calls")
  [ "$got" = "$1" ] || { echo "$2: systemctl was called with \"$got\", not \"$1\"" >&2; exit 1; }
  : >"$calls"
}
dpkg -i "$deb" >/dev/null
[ -L /etc/systemd/system/multi-user.target.wants/linkKeeper.service ] || { echo "unit not enabled" >&2; exit 1; }
expect "--system daemon-reload;--quiet --system start linkKeeper.service;" install
dpkg -i "$deb" >/dev/null
expect "--system daemon-reload;--quiet --system restart linkKeeper.service;" upgrade
dpkg -r linkkeeper >/dev/null
expect "stop linkKeeper.service;--system daemon-reload;" removal
echo "package: reproducible, hardened, lintian clean; enabled and started on install, restarted on upgrade, stopped on removal"
