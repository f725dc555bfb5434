#!/usr/bin/env bash
# Builds linkKeeper with gcc's coverage instrumentation, runs the whole CTest suite (unit,
# integration, fuzz smoke runs) and prints the line coverage of the product code: the C/C++
# sources and headers of app, platform, codec, bus, json, nm, tools and lkctl.
# Usage: scripts/coverage.sh        (build directory: LK_BUILD_DIR, default build-cov)
# Reports land in the build directory: coverage.txt (per file), coverage/index.html (annotated
# sources), coverage-summary.json. Exits non-zero when the build or any test fails; the figure
# is printed either way once the build has succeeded.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
build=$(realpath -m "${LK_BUILD_DIR:-build-cov}")

# Debug (-O0) keeps the code of each source line apart; atomic counter updates keep the
# figures of the multi-threaded parts (bus client, NetworkManager worker, probes) exact.
flags="--coverage -fprofile-update=atomic"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLK_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j2

# Counters of an earlier run would add up with this one's, and a rebuilt object no longer
# matches its old data file.
find "$build" -name '*.gcda' -delete
# Every instrumented process merges its counters into the .gcda files under the build directory
# when it exits (libgcov locks each file, so concurrent processes are fine). The sandboxed ones
# see the same paths: the sandboxes replace /run, /mnt, /etc and /usr/share, never the tree.
# A process that dies by a signal writes nothing.
tests_rc=0
ctest --test-dir "$build" --output-on-failure --timeout 600 || tests_rc=$?

# The clang-built fuzz targets carry no gcc notes files, so gcovr never sees them. CMake's
# compiler probes under CMakeFiles/<version>/ do, without their sources: skipped. The filters
# keep the test, fuzz and benchmark code and anything under the build directory out.
mkdir -p "$build/coverage"
product='(app|platform|codec|bus|json|nm|tools|lkctl)/'
gcovr --root "$root" --object-directory "$build" "$build" \
  --exclude-directories '.*/CMakeFiles/[0-9][0-9.]*/' \
  --filter "${product}.*\.(c|cpp|h)$" --exclude '.*/(tests|fuzz|bench)/' \
  --gcov-ignore-parse-errors -j 2 \
  --txt "$build/coverage.txt" \
  --html-details "$build/coverage/index.html" \
  --json-summary "$build/coverage-summary.json"

/usr/bin/python3 - "$build/coverage-summary.json" <<'EOF'
import collections, json, re, sys
# Headers reached through a library's layer directory (build/layers/<folder>/<folder>/...)
# are the folder's own files: counted once, under their real name.
files = {}
for f in json.load(open(sys.argv[1]))["files"]:
    name = re.sub(r"^.*/layers/([a-z]+)/\1/", r"\1/", f["filename"])
    if name not in files or f["line_covered"] > files[name]["line_covered"]:
        files[name] = f
folders = collections.defaultdict(lambda: [0, 0])
for name, f in files.items():
    entry = folders[name.split("/", 1)[0]]
    entry[0] += f["line_covered"]
    entry[1] += f["line_total"]
def pct(covered, total):
    return 100.0 * covered / total if total else 0.0
for name, (covered, total) in sorted(folders.items()):
    print(f"  {name + '/':10} {pct(covered, total):5.1f}% ({covered} of {total} lines)")
covered = sum(c for c, _ in folders.values())
total = sum(t for _, t in folders.values())
print(f"product line coverage: {pct(covered, total):.1f}% ({covered} of {total} lines)")
EOF
echo "coverage reports: $build/coverage.txt, $build/coverage/index.html"

if [ "$tests_rc" -ne 0 ]; then
  echo "coverage: tests failed (ctest exit $tests_rc); the figure above is from a partial run" >&2
fi
exit "$tests_rc"
