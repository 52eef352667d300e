#!/usr/bin/env bash
# Every shipped binary's size against its limit: the stripped Linux player
# and libzindle.so from a release tree, zindle.exe from the windows tree,
# zindle.wasm from the web folder. A tree that is not configured is left
# out with a note; the ones there are built first.
#
#   bench/sizes.sh [RELEASE_DIR [WINDOWS_DIR [WEB_DIR]]]
#   (defaults: build/release, build/windows and build/web in the source tree)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
release=${1:-$source_dir/build/release}
windows=${2:-$source_dir/build/windows}
web=${3:-$source_dir/build/web}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# name, bytes, limit in KiB
row() {
  local verdict=over
  [ "$2" -le $(($3 * 1024)) ] && verdict=met
  printf '%-22s %8d bytes  %6.1f KiB  limit %2d KiB (%d)  %s\n' \
    "$1" "$2" "$(awk -v b="$2" 'BEGIN { print b / 1024 }')" "$3" $(($3 * 1024)) "$verdict"
}
missing() { printf '%-22s %s\n' "$1" "not built: $2"; }

if [ -f "$release/CMakeCache.txt" ]; then
  cmake --build "$release" -j2 --target zindle zindle_shared >/dev/null
  bin=$(sed -n "s/^ZINDLE_BIN_DIR:[A-Z]*=//p" "$release/CMakeCache.txt")
  strip -o "$scratch/zindle" "$bin/zindle"
  row "zindle (stripped)" "$(stat -c %s "$scratch/zindle")" 64
  lib=$(readlink -f "$release/lib/libzindle.so")  # not a copy CPack left behind
  strip -o "$scratch/libzindle.so" "$lib"
  row "libzindle.so (stripped)" "$(stat -c %s "$scratch/libzindle.so")" 48
else
  missing zindle "no release tree in $release (cmake --preset release)"
fi

if [ -f "$windows/CMakeCache.txt" ]; then
  cmake --build "$windows" -j2 --target zindle >/dev/null
  exe=$(find "$windows" -name zindle.exe -type f | head -1)
  row "zindle.exe" "$(stat -c %s "$exe")" 48
else
  missing zindle.exe "no windows tree in $windows (make windows)"
fi

web_tree=$source_dir/build/web-tree
if [ -f "$web_tree/CMakeCache.txt" ] && [ "$web" = "$source_dir/build/web" ]; then
  cmake --build "$web_tree" -j2 --target zindle_wasm >/dev/null
fi
if [ -f "$web/zindle.wasm" ]; then
  row "zindle.wasm" "$(stat -c %s "$web/zindle.wasm")" 48
else
  missing zindle.wasm "none in $web (make web)"
fi
