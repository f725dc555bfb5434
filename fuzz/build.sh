#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 into the given directory (default: build-fuzz beside
# the repository). Fuzz builds stand outside the layering: they see every folder from the root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/../build-fuzz}
cxx=${CXX_FUZZ:-clang++-14}
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -Wall -Wextra -I "$root")
reader=("$root"/json/*.cpp)
"$cxx" "${flags[@]}" "$root/fuzz/fuzz_json_read.cpp" "${reader[@]}" -o "$out/fuzz_json_read"
"$cxx" "${flags[@]}" "$root/fuzz/fuzz_json_differential.cpp" "${reader[@]}" -lsimdjson \
  -o "$out/fuzz_json_differential"
# The request decoders need the message buffer and GLib besides the reader.
"$cxx" "${flags[@]}" "$root/fuzz/fuzz_nm_request.cpp" "$root/nm/nmjson_unmarshal.cpp" \
  "$root/codec/encoder.cpp" "${reader[@]}" $(pkg-config --cflags --libs glib-2.0) \
  -o "$out/fuzz_nm_request"
# The frame reader of bus/ with the header code it decodes with.
"$cxx" "${flags[@]}" "$root/fuzz/fuzz_frame_reader.cpp" "$root/bus/trel_peer.cpp" \
  "$root/bus/trel_header.cpp" -o "$out/fuzz_frame_reader"
