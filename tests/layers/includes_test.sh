#!/bin/sh
# The include check of the layers over a scratch tree: one file with one include per row, and
# whether the check must accept it. (Includes that point up a layer with a public header are
# stopped by the layer directories at compile time, not by this check.)
set -u
script=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0
while read -r file include expect; do
    rm -rf "${tree:?}"/*
    mkdir -p "$tree/${file%/*}"
    printf '#include %s\n' "$include" >"$tree/$file"
    if cmake -DLK_ROOT="$tree" -P "$script" >/dev/null 2>&1; then got=pass; else got=fail; fi
    if [ "$got" != "$expect" ]; then
        echo "$file: #include $include: expected $expect, got $got"
        failures=$((failures + 1))
    fi
done <<'ROWS'
bus/a.cpp "bus/trel.h" pass
app/a.cpp "nm/nm.h" pass
app/a.cpp <sys/socket.h> pass
bus/a.cpp "../nm/nm.h" fail
bus/a.h "./trel.h" fail
nm/inner/a.h "tools/ping_engine.h" fail
lkctl/a.cpp "bus/../nm/nm_worker.h" fail
app/a.cpp "nm/nm_worker.h" fail
app/a.cpp <nm/nm_worker.h> fail
tools/a.c LK_HEADER fail
ROWS
exit "$failures"
