#!/usr/bin/env bash
# The Python package as its users install it: a virtual environment made
# with Debian's python3 (--system-site-packages, for setuptools), then
# `pip install --no-index --no-build-isolation python/` from the checkout,
# then its unittest suite against zindle-render. Without python3's headers,
# venv or setuptools it is skipped (exit 77), except in CI.
# Usage: run.sh SOURCE_DIR WORK_DIR WRITE_SONGS
set -euo pipefail
source_dir=$1 work=$2 write_songs=$3
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3 || true)
missing=$("${python:-false}" - <<'PY' 2>/dev/null || echo "python3"
import importlib.util, os, sysconfig
need = [m for m in ("venv", "ensurepip", "setuptools") if importlib.util.find_spec(m) is None]
if not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    need.append("Python.h")
print(" ".join(need))
PY
)
if [ -n "$missing" ]; then
  [ "${CI:-}" = true ] && { echo "missing for the Python package: $missing (required in CI)"; exit 1; }
  echo "skipped, missing for the Python package: $missing (python3-dev python3-setuptools python3-venv)"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work/songs"
"$write_songs" "$work/songs"
"$python" -m venv --system-site-packages "$work/venv"
run=()
if [ "${ZINDLE_PYTHON_SANITIZE:-0}" = 1 ]; then
  # The extension under ASan and UBSan; Python itself is not instrumented,
  # so the runtimes are preloaded and its own leaks at exit are not counted.
  export CFLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  export LDFLAGS="-fsanitize=address,undefined"
  run=(env ASAN_OPTIONS=detect_leaks=0
       LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)")
fi
start=$SECONDS
"$work/venv/bin/pip" install --no-index --no-build-isolation --disable-pip-version-check -q "$source_dir/python"
echo "pip install: $((SECONDS - start)) s"
so=$(echo "$work"/venv/lib/python3*/site-packages/zindle/_zindle*.so)
echo "extension module (ZINDLE_KERNELS=${ZINDLE_KERNELS:-ON}): $(stat -c %s "$so") bytes"
# From the work folder, so that the checkout's python/zindle (which has no
# extension built in it) is not the one imported.
cd "$work"
ZINDLE_SONGS="$work/songs" "${run[@]}" "$work/venv/bin/python" -m unittest discover -s "$source_dir/python/tests" -v
