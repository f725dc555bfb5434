#!/usr/bin/env bash
# Builds the Debian package linkkeeper from the files git tracks in this tree (edits included)
# with dpkg-buildpackage; prints the .deb's path last. Output directory: $1, default
# build-deb/. Two builds of one commit give the same bytes: the time stamps come from
# debian/changelog, the build runs in a scratch copy whose path never reaches the binaries.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$top/build-deb}" && cd "${1:-$top/build-deb}" && pwd)
bash "$top/scripts/install-deps.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
source="$scratch/linkkeeper"
mkdir "$source"
# Deletions not committed yet are still listed: only what exists is copied. Outside a git
# work tree (a copy of one), everything but build directories is.
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$top" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      if [ -e "$top/$file" ]; then printf '%s\0' "$file"; fi
    done | (cd "$top" && xargs -0 cp --parents -t "$source")
else
  tar -C "$top" --exclude='./build*' -cf - . | tar -C "$source" -xf -
fi
(cd "$source" && dpkg-buildpackage -b -uc -us --no-sign >"$scratch/build.log" 2>&1) || {
  tail -n 25 "$scratch/build.log" >&2
  exit 1
}
for deb in "$scratch"/linkkeeper_*.deb; do cp "$deb" "$out/"; done
echo "$out/$(basename "$scratch"/linkkeeper_*.deb)"
