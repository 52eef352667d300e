#!/usr/bin/env bash
# `cmake --install` of a build tree into a scratch prefix: exactly the two
# programs, the two manual pages and the two demo modules, and the
# installed renderer renders the installed demo byte for byte as the build
# tree's renderer renders the source tree's demo.
set -euo pipefail
cmake=${1:?usage: install-check.sh CMAKE BUILD_DIR SOURCE_DIR}
build=${2:?}
src=${3:?}
bin=$(sed -n 's/^ZINDLE_BIN_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null
# The browser player's folder is installed where it has been built (make
# web), and then as it was built.
web=$(sed -n 's/^ZINDLE_WEB_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ -d "$web" ]; then
  diff -r "$web" "$scratch/prefix/share/zindle/web"
  rm -r "$scratch/prefix/share/zindle/web"
fi
(cd "$scratch/prefix" && find . -type f | sort) >"$scratch/files"
cat >"$scratch/expected" <<'LIST'
./bin/zindle
./bin/zindle-render
./share/man/man1/zindle-render.1
./share/man/man1/zindle.1
./share/zindle/demo-extended.mod
./share/zindle/demo.mod
LIST
diff -u "$scratch/expected" "$scratch/files"
for program in zindle zindle-render; do
  [ -x "$scratch/prefix/bin/$program" ] || { echo "bin/$program is not executable"; exit 1; }
done
for demo in demo.mod demo-extended.mod; do
  cmp "$src/examples/$demo" "$scratch/prefix/share/zindle/$demo"
  "$scratch/prefix/bin/zindle-render" --buffers 64 "$scratch/prefix/share/zindle/$demo" "$scratch/installed.raw" 2>/dev/null
  "$bin/zindle-render" --buffers 64 "$src/examples/$demo" "$scratch/built.raw" 2>/dev/null
  [ "$(stat -c %s "$scratch/built.raw")" -eq $((64 * 8192)) ] || { echo "$demo: short render"; exit 1; }
  cmp "$scratch/built.raw" "$scratch/installed.raw"
done
"$scratch/prefix/bin/zindle-render" --version
echo "install layout and installed renderer as expected"
