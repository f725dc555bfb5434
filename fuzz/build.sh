#!/usr/bin/env bash
# Builds the libFuzzer targets of the JSON reader with clang 14 into the given directory.
# Usage: fuzz/build.sh [output-dir]     (default: build-fuzz beside the repository root)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/../build-fuzz}
cxx=${CXX_FUZZ:-clang++-14}
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -Wall -Wextra -I "$root")
lib=("$root"/json/json_validate.cpp "$root"/json/json_navigate.cpp "$root"/json/json_value.cpp)

# The reader is compiled once, without the fuzzer's main, and linked into every target.
objs=()
for src in "${lib[@]}"; do
  obj="$out/$(basename "$src" .cpp).o"
  "$cxx" "${flags[@]/-fsanitize=fuzzer,address,undefined/-fsanitize=fuzzer-no-link,address,undefined}" \
    -c "$src" -o "$obj"
  objs+=("$obj")
done

targets=(fuzz_json_validate fuzz_json_path fuzz_json_strings)
# The differential target needs simdjson (Debian libsimdjson-dev).
if echo '#include <simdjson.h>' | "$cxx" -x c++ -std=c++20 -fsyntax-only - 2>/dev/null; then
  targets+=(fuzz_json_differential)
fi
for target in "${targets[@]}"; do
  extra=()
  [ "$target" = fuzz_json_differential ] && extra=(-lsimdjson)
  "$cxx" "${flags[@]}" "$root/fuzz/$target.cpp" "${objs[@]}" -o "$out/$target" "${extra[@]}"
done

# The NetworkManager adapter's request decoders: the reader, the message buffer and GLib.
"$cxx" "${flags[@]}" "$root/fuzz/fuzz_nm_request.cpp" "$root/nm/nmjson_unmarshal.cpp" \
  "$root/codec/encoder.cpp" "${objs[@]}" $(pkg-config --cflags --libs glib-2.0) \
  -o "$out/fuzz_nm_request"
