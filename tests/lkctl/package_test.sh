#!/bin/sh
# The package of build $1 holds what it should, lintian finds no error, man renders the pages.
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G DEB -B "$scratch/out" --config "$1/CPackConfig.cmake" >/dev/null
deb=$(ls "$scratch"/out/*.deb)
dpkg -x "$deb" "$scratch/root"
cd "$scratch/root"
ls usr/bin/linkKeeper usr/bin/lkctl usr/share/bash-completion/completions/lkctl \
  usr/share/doc/linkkeeper/examples/yeb.properties usr/share/doc/linkkeeper/copyright >/dev/null
grep -qx 'ExecStart=/usr/bin/linkKeeper' lib/systemd/system/linkKeeper.service
dpkg-deb -f "$deb" Depends | grep -q 'libnm0'
for page in usr/share/man/man1/lkctl.1.gz usr/share/man/man8/linkKeeper.8.gz; do
  LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null | grep . && exit 1
done
lintian --fail-on error "$deb"  # shows its warnings and notes; fails on errors only
