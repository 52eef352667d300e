#!/usr/bin/env bash
# What --stems costs: a render with stems of a generated 32-channel song
# against plain renders of it. One pass of the mix and one of each stem
# make at most channels + 1 plain renders.
#
#   bench/stems.sh BUILD_DIR [BUFFERS]     (a release tree with the tests)
set -euo pipefail
build=$(cd "${1:?usage: bench/stems.sh BUILD_DIR [BUFFERS]}" && pwd)
buffers=${2:-1500}
cmake --build "$build" -j2 --target zindle-render zindle-write-songs >/dev/null
bin=$(sed -n "s/^ZINDLE_BIN_DIR:[A-Z]*=//p" "$build/CMakeCache.txt")
writer=$(find "$build" -name zindle-write-songs -type f -perm -u+x | head -1)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$writer" "$scratch" >/dev/null

# The best of three runs, in milliseconds.
best_ms() {
  local best=
  for _ in 1 2 3; do
    local start end
    start=$(date +%s%N)
    "$@" 2>/dev/null
    end=$(date +%s%N)
    local ms=$(((end - start) / 1000000))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

for channels in 4 8 32; do
  song=$scratch/busy-${channels}ch.mod
  mkdir -p "$scratch/out"
  plain=$(best_ms "$bin/zindle-render" --buffers "$buffers" "$song" "$scratch/out/mix.raw")
  stems=$(best_ms "$bin/zindle-render" --stems --buffers "$buffers" "$song" "$scratch/out/mix.raw")
  files=$(find "$scratch/out" -type f | wc -l)
  rm -rf "$scratch/out"
  [ "$plain" -gt 0 ] || plain=1
  ratio=$(awk -v s="$stems" -v p="$plain" 'BEGIN { printf "%.2f", s / p }')
  echo "$channels channels, $buffers buffers: plain $plain ms, --stems $stems ms ($files files):" \
    "$ratio plain renders (at most $((channels + 1)))"
done
