#!/usr/bin/env bash
# Every speed and size figure of the embedders' targets in one table: the
# in-process mixer on the 4-channel corpus (zindle-bench), calls of few
# frames through the library (zindle-library-bench), the WebAssembly module
# in node in whole and in 128-frame calls (web-speed.mjs), --stems on a
# 32-channel song (stems.sh) and every binary's size (sizes.sh). Run it on
# two checkouts for before and after. Parts whose tree is missing say so.
#
#   bench/speed-figures.sh [--seconds S]      (from the source tree; uses
#   build/release with the tests, build/windows and build/web-tree if there)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
if [ "${1:-}" = --seconds ]; then seconds=$2; fi
release=$source_dir/build/release
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT

figure() { printf '%-46s %-34s %s\n' "$1" "$2" "$3"; }
echo "zindle $(git -C "$source_dir" describe --always --dirty 2>/dev/null || echo '?') on $(nproc) cores, $(date -u +%F)"
figure "figure" "measured" "target"
figure "------" "--------" "------"

if [ -f "$release/CMakeCache.txt" ]; then
  cmake --build "$release" -j2 --target zindle-bench zindle-library-bench >/dev/null
  bin=$(sed -n "s/^ZINDLE_BIN_DIR:[A-Z]*=//p" "$release/CMakeCache.txt")
  "$bin/zindle-bench" --seconds "$seconds" >"$log/bench"
  summary=$(grep '^summary:' "$log/bench")
  ns=$(sed -n 's/.*corpus 4ch ([0-9]*) \([0-9]*\) x realtime, \([0-9.]*\) ns\/ch-frame.*/\2/p' <<<"$summary")
  x=$(sed -n 's/.*corpus 4ch ([0-9]*) \([0-9]*\) x realtime.*/\1/p' <<<"$summary")
  figure "mixer, 4-channel corpus, in-process" "$ns ns/ch-frame ($x x realtime)" "at most 0.30 ns/ch-frame"
  corpus=$source_dir/../shared/corpus
  if [ -d "$corpus" ]; then "$bin/zindle-library-bench" "$corpus"; else "$bin/zindle-library-bench"; fi >"$log/library"
  while read -r line; do
    calls=$(sed -n 's/^render 60 s in calls of *\([0-9]*\) frames: .*, \([-+][0-9.]*\) % against.*/\1 \2/p' <<<"$line")
    [ -n "$calls" ] || continue
    set -- $calls
    target="-"
    [ "$1" = 1 ] && target="at most +100 % (2 x per frame)"
    [ "$1" = 128 ] && target="within 3 %"
    figure "library, calls of $1 frames, against 2048" "$2 %" "$target"
  done <"$log/library"
  # Over the corpus: the small-call targets' own figures, and the floor.
  while read -r line; do
    case $line in
    "corpus calls of  128 frames:"*)
      figure "library, corpus, 128-frame calls" "$(sed 's/.*, \([-+][0-9.]* %\) against.*/\1/' <<<"$line")" "within 3 %" ;;
    "corpus calls of    7 frames:"*)
      figure "library, corpus, 7-frame calls" "$(sed 's/.*, \([-+][0-9.]* %\) against.*/\1/' <<<"$line")" "-" ;;
    "corpus calls of    1 frame:"*)
      figure "library, corpus, 1-frame calls" "$(sed 's/.*, \([0-9.]* x\) whole.*/\1/' <<<"$line") per frame" "at most 2 x" ;;
    "floor: an empty library function"*)
      figure "  floor: an empty function's call" "$(sed 's/.*at least \([0-9.]* x\).*/\1/' <<<"$line") per frame" "-" ;;
    esac
  done <"$log/library"
else
  figure "mixer and library" "no release tree in $release" ""
fi

if [ -f "$source_dir/build/web/zindle.wasm" ] && command -v node >/dev/null; then
  cmake --build "$source_dir/build/web-tree" -j2 --target zindle_wasm web_page >/dev/null 2>&1 || true
  node "$source_dir/bench/web-speed.mjs" --seconds "$seconds" >"$log/web"
  summary=$(grep '^summary:' "$log/web")
  whole=$(sed -n 's/.*corpus 4ch ([0-9]*) \([0-9]*\) x realtime, \([0-9]*\) x in 128-frame calls.*/\1/p' <<<"$summary")
  quanta=$(sed -n 's/.*corpus 4ch ([0-9]*) \([0-9]*\) x realtime, \([0-9]*\) x in 128-frame calls.*/\2/p' <<<"$summary")
  figure "zindle.wasm in node, 2048-frame calls" "$whole x realtime" "-"
  figure "zindle.wasm in node, 128-frame calls" "$quanta x realtime" "at least 6000 x"
  figure "zindle.wasm, 128 against 2048-frame calls" \
    "$(awk -v q="$quanta" -v w="$whole" 'BEGIN { printf "%+.1f %% cost", (w / q - 1) * 100 }')" "within 3 %"
else
  figure "zindle.wasm in node" "no build/web or no node (make web)" ""
fi

if [ -f "$release/CMakeCache.txt" ] && grep -q '^ZINDLE_TESTS:BOOL=ON' "$release/CMakeCache.txt"; then
  "$source_dir/bench/stems.sh" "$release" >"$log/stems"
  while read -r line; do
    channels=${line%% channels*}
    ratio=$(sed -n 's/.*: \([0-9.]*\) plain renders (at most \([0-9]*\)).*/\1 (at most \2)/p' <<<"$line")
    figure "--stems, $channels channels, in plain renders" "${ratio% (*}" "at most $((channels + 1))"
  done <"$log/stems"
else
  figure "--stems" "needs a release tree with ZINDLE_TESTS=ON" ""
fi

"$source_dir/bench/sizes.sh" >"$log/sizes"
while read -r line; do
  name=$(sed 's/ *[0-9]* bytes.*//; s/ *not built.*//' <<<"$line")
  bytes=$(sed -n 's/.* \([0-9]*\) bytes .*/\1/p' <<<"$line")
  limit=$(sed -n 's/.*limit \([0-9]*\) KiB.*/\1/p' <<<"$line")
  if [ -n "$bytes" ]; then
    figure "size, $name" "$bytes bytes" "at most $limit KiB ($((limit * 1024)))"
  else
    figure "size, $name" "${line#"$name"}" ""
  fi
done <"$log/sizes"
