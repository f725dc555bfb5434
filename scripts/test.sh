#!/usr/bin/env bash
# Builds linkKeeper and runs every test (unit, integration, fuzz smoke runs).
# Installs missing Debian packages first, so it works on a fresh Debian 12 machine (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${LK_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure --timeout 600
