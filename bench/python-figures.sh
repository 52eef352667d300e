#!/usr/bin/env bash
# The Python package's figures: the extension module's size and how many
# times real time it renders, built with the x86 kernels (the default) and
# with ZINDLE_KERNELS=OFF, each installed into a scratch virtual environment
# as users install it. Printed, never judged.
#
#   bench/python-figures.sh BUILD_DIR     (a release tree, for the generated songs)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: bench/python-figures.sh BUILD_DIR}" && pwd)
cmake --build "$build" -j2 --target zindle-write-songs >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$(find "$build" -name zindle-write-songs -type f | head -1)" "$scratch"
for kernels in ON OFF; do
  /usr/bin/python3 -m venv --system-site-packages "$scratch/$kernels"
  ZINDLE_KERNELS=$kernels "$scratch/$kernels/bin/pip" install -q --no-index --no-build-isolation \
    --disable-pip-version-check "$source_dir/python"
  so=$(echo "$scratch/$kernels"/lib/python3*/site-packages/zindle/_zindle*.so)
  echo "== ZINDLE_KERNELS=$kernels: extension module $(stat -c %s "$so") bytes"
  "$scratch/$kernels/bin/python" - "$source_dir/examples/demo.mod" "$scratch"/busy-{4,32}ch.mod "$scratch"/busy-32ch-ext.mod <<'PY'
import hashlib, os, sys, time
import zindle
SECONDS = 120
for path in sys.argv[1:]:
    data = open(path, "rb").read()
    best = None
    for _ in range(3):
        song = zindle.Song(data)
        start = time.perf_counter()
        pcm = song.render(zindle.SAMPLE_RATE * SECONDS)
        took = time.perf_counter() - start
        best = took if best is None else min(best, took)
    print("%-20s %7.0f x real time  sha256 %s" % (os.path.basename(path), SECONDS / best,
                                                  hashlib.sha256(pcm).hexdigest()[:16]))
PY
done
# Two Songs used in turn: each switch reloads the song and renders it
# unheard from its start to where it was.
"$scratch/ON/bin/python" - "$source_dir/examples/demo.mod" "$scratch/busy-32ch.mod" <<'PY'
import sys, time
import zindle
first, second = (open(p, "rb").read() for p in sys.argv[1:3])
for seconds in (0, 60, 180):
    a, b = zindle.Song(first), zindle.Song(second)
    a.seek(44100 * seconds)
    b.seek(44100 * seconds)
    start = time.perf_counter()
    for _ in range(20):
        a.render(1024)
        b.render(1024)
    print("two Songs in turn, %3d s in: %6.1f ms a switch" % (seconds, (time.perf_counter() - start) / 40 * 1000))
PY
