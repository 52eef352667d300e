#!/usr/bin/env bash
# A program using libzindle, built the two ways users build one, against
# the build tree installed into a scratch prefix: with pkg-config, and as a
# CMake project with find_package(zindle). Both builds of examples/
# render_wav.c must render each demo exactly as zindle-render does, and
# the pkg-config build also linked statically.
#
#   tests/consumer-check.sh BUILD_DIR SOURCE_DIR
# Exits 77 (skipped) where pkg-config or a C compiler is missing, unless CI.
set -euo pipefail
build=$(cd "${1:?usage: consumer-check.sh BUILD_DIR SOURCE_DIR}" && pwd)
src=$(cd "${2:?}" && pwd)
fail() { echo "consumer-check: $*" >&2; exit 1; }
cc=${CC:-cc}
for tool in pkg-config "$cc"; do
  if ! command -v "$tool" >/dev/null; then
    [ "${CI:-}" = true ] && fail "$tool is not installed"
    echo "$tool is not installed: skipped"; exit 77
  fi
done
bin=$(sed -n 's/^ZINDLE_BIN_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
start=$(date +%s%N)

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name zindle.pc)")/..
libdir=$(cd "$libdir" && pwd)

# 1. pkg-config, shared and static.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion zindle)" = "$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")" ] ||
  fail "pkg-config --modversion zindle: $(pkg-config --modversion zindle)"
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Werror -o "$scratch/render_wav_pc" "$src/examples/render_wav.c" \
  $(pkg-config --cflags --libs zindle) -Wl,-rpath,"$libdir"
readelf -d "$scratch/render_wav_pc" | grep -q 'NEEDED.*libzindle.so.0' || fail "the pkg-config build is not linked to libzindle.so.0"
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Werror -o "$scratch/render_wav_static" "$src/examples/render_wav.c" \
  $(pkg-config --cflags zindle) "$libdir/libzindle.a"
! readelf -d "$scratch/render_wav_static" | grep -q 'libzindle' || fail "the static build needs libzindle.so"

# 2. CMake, find_package(zindle) and zindle::zindle.
cmake -S "$src/examples/consumer" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
readelf -d "$scratch/cmake-build/render_wav" | grep -q 'NEEDED.*libzindle.so.0' || fail "the CMake build is not linked to libzindle.so.0"

# Each build renders each demo as zindle-render does, report and all.
for demo in demo.mod demo-extended.mod; do
  "$bin/zindle-render" "$src/examples/$demo" "$scratch/expected.wav" 2>"$scratch/expected.err"
  for program in render_wav_pc render_wav_static cmake-build/render_wav; do
    "$scratch/$program" "$src/examples/$demo" "$scratch/got.wav" 2>"$scratch/got.err"
    cmp "$scratch/expected.wav" "$scratch/got.wav" || fail "$program renders $demo differently"
    cmp "$scratch/expected.err" "$scratch/got.err" || fail "$program reports $demo differently"
  done
  echo "$demo: the pkg-config, static and CMake builds write zindle-render's $(stat -c %s "$scratch/expected.wav") bytes"
done
# A missing file and an empty song fail cleanly, writing nothing.
: >"$scratch/empty.mod"
if "$scratch/render_wav_pc" "$scratch/empty.mod" "$scratch/empty.wav" 2>/dev/null; then fail "an empty song succeeded"; fi
[ ! -e "$scratch/empty.wav" ] || fail "an empty song left a file"
echo "consumer-check: done in $(( ($(date +%s%N) - start) / 1000000 )) ms"
