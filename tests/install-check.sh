#!/usr/bin/env bash
# `cmake --install` of a build tree into a scratch prefix: exactly the two
# programs, the library with its header, pkg-config and CMake files, the
# manual pages and the two demo modules, and the
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
./include/zindle.h
./lib/cmake/zindle/zindleConfig.cmake
./lib/cmake/zindle/zindleConfigVersion.cmake
./lib/cmake/zindle/zindleTargets-release.cmake
./lib/cmake/zindle/zindleTargets.cmake
./lib/libzindle.a
./lib/libzindle.so.0.2.0
./lib/pkgconfig/zindle.pc
./share/man/man1/zindle-render.1
./share/man/man1/zindle.1
./share/man/man3/zindle.3
./share/zindle/demo-extended.mod
./share/zindle/demo.mod
LIST
# The version in the file names comes from the project's one version.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
# The CMake package's per-configuration file is named after the build type.
config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" | tr '[:upper:]' '[:lower:]')
sed -i "s/0\.2\.0/$version/; s|^\./lib/|./$libdir/|; s/Targets-release/Targets-${config:-noconfig}/" "$scratch/expected"
sort -o "$scratch/expected" "$scratch/expected"
diff -u "$scratch/expected" "$scratch/files"
[ "$(readlink "$scratch/prefix/$libdir/libzindle.so.0")" = "libzindle.so.$version" ] || { echo "no libzindle.so.0 link"; exit 1; }
[ "$(readlink "$scratch/prefix/$libdir/libzindle.so")" = libzindle.so.0 ] || { echo "no libzindle.so link"; exit 1; }
# Every function of the header has its name in the manual's folder.
for name in $(grep -o 'ZINDLE_API [^(]*(' "$src/include/zindle.h" | grep -o 'zindle_[a-z_]*'); do
  [ "$(readlink "$scratch/prefix/share/man/man3/$name.3")" = zindle.3 ] || { echo "no man3/$name.3 link"; exit 1; }
done
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
