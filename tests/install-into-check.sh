#!/usr/bin/env bash
# make install's all-or-nothing install (scripts/install-into) of a built
# tree, and cmake --install of a tree where nothing is built:
# - into a fresh prefix: exactly what cmake --install puts there;
# - a prefix where a folder to be written is a file: named, nothing copied;
# - a copy that fails half-way: the files it added are taken away again;
# - a tree configured but not built: the missing files are named and the
#   prefix is not even made.
set -uo pipefail
cmake=${1:?usage: install-into-check.sh CMAKE BUILD_DIR SOURCE_DIR}
build=${2:?}
src=${3:?}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "install-into-check: $*" >&2; exit 1; }
listing() { (cd "$1" && find . | sort); }

"$cmake" --install "$build" --prefix "$scratch/plain" >/dev/null || fail "cmake --install failed"
"$src/scripts/install-into" "$scratch/staged" "$build" >"$scratch/out" 2>&1 || fail "install-into failed: $(cat "$scratch/out")"
diff <(listing "$scratch/plain") <(listing "$scratch/staged") || fail "install-into installs other files than cmake --install"
cmp "$scratch/plain/bin/zindle-render" "$scratch/staged/bin/zindle-render" || fail "the renderer differs"
"$src/scripts/install-into" "$scratch/staged" "$build" >/dev/null 2>&1 || fail "installing over an install failed"

mkdir -p "$scratch/blocked"
touch "$scratch/blocked/share"
if "$src/scripts/install-into" "$scratch/blocked" "$build" >"$scratch/out" 2>&1; then fail "installed under a file"; fi
grep -q "cannot write to $scratch/blocked/share$" "$scratch/out" || fail "the unwritable place is not named: $(cat "$scratch/out")"
[ "$(listing "$scratch/blocked")" = "$(printf '.\n./share')" ] || fail "something was installed: $(listing "$scratch/blocked")"

mkdir -p "$scratch/half/bin/zindle-render"
if "$src/scripts/install-into" "$scratch/half" "$build" >"$scratch/out" 2>&1; then fail "installed over a folder"; fi
grep -q "files this run added were removed again" "$scratch/out" || fail "no word of the undo: $(cat "$scratch/out")"
[ "$(listing "$scratch/half")" = "$(printf '.\n./bin\n./bin/zindle-render')" ] || fail "left behind: $(listing "$scratch/half")"

"$cmake" -S "$src" -B "$scratch/tree" -DCMAKE_BUILD_TYPE=Release -DZINDLE_TESTS=OFF >/dev/null || fail "configure failed"
if "$cmake" --install "$scratch/tree" --prefix "$scratch/unbuilt" >"$scratch/out" 2>&1; then fail "an unbuilt tree installed"; fi
for name in zindle zindle-render libzindle.a libzindle.so; do
  grep -q "/$name[^/]*$" "$scratch/out" || fail "$name is not named as missing: $(cat "$scratch/out")"
done
[ ! -e "$scratch/unbuilt" ] || fail "the unbuilt tree made the prefix: $(listing "$scratch/unbuilt")"
echo "install-into: as cmake --install, nothing under a file, undone when a copy fails; an unbuilt tree names what is missing"
