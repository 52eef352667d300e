#!/usr/bin/env bash
# The library's figures: seek and odd-sized render costs from
# zindle-library-bench, and the stripped size of libzindle.so.
#
#   bench/library-figures.sh BUILD_DIR [CORPUS_DIR]    (a release tree;
#   the corpus defaults to ../shared/corpus beside the source tree)
set -euo pipefail
build=$(cd "${1:?usage: bench/library-figures.sh BUILD_DIR}" && pwd)
cmake --build "$build" -j2 --target zindle_shared zindle-library-bench >/dev/null
# The tree's own library (older versions and package staging copies may
# lie elsewhere in the tree).
lib=$(readlink -f "$build/lib/libzindle.so")
[ -f "$lib" ] || { echo "library-figures: no $build/lib/libzindle.so" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
strip -o "$scratch/libzindle.so" "$lib"
size=$(stat -c %s "$scratch/libzindle.so")
echo "libzindle.so stripped: $size bytes ($((size * 10 / 1024 / 10)).$((size * 10 / 1024 % 10)) KiB; target at most 48 KiB)"
bin=$(sed -n "s/^ZINDLE_BIN_DIR:[A-Z]*=//p" "$build/CMakeCache.txt")
corpus=${2:-$(dirname "$0")/../../shared/corpus}
if [ -d "$corpus" ]; then "$bin/zindle-library-bench" "$corpus"; else "$bin/zindle-library-bench"; fi
