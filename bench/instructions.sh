#!/bin/sh
# Instructions per channel-frame of the fast and the reference mixer, counted
# by callgrind (repeatable where timings are not).
# Usage: bench/instructions.sh ZINDLE_BENCH NAME_FILTER [SECONDS [LEVEL]]
# LEVEL caps the fast mixer's kernels (plain, sse2, ssse3, avx2).
set -eu
bench=$1
only=$2
seconds=${3:-10}
level=${4:-avx2}
out=$(mktemp -d)
line=$("$bench" --seconds "$seconds" --runs 1 --only "$only" --level "$level" | head -1)
channels=$(echo "$line" | awk '{print $2}')
frames=$(echo "$line" | awk '{printf "%d", $5 * 44100 / 2048 + 0.5}')
frames=$((frames * 2048))
for fn in fill_buffer fill_buffer_reference; do
    valgrind --tool=callgrind --callgrind-out-file="$out/$fn" --toggle-collect="zindle::$fn()" \
        "$bench" --seconds "$seconds" --runs 1 --only "$only" --level "$level" >/dev/null 2>&1
    ir=$(callgrind_annotate "$out/$fn" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
    awk -v ir="$ir" -v f="$frames" -v c="$channels" -v n="$fn" \
        'BEGIN {printf "%-22s %14d instructions  %7.2f per channel-frame\n", n, ir, ir / (f * c)}'
done
rm -rf "$out"
