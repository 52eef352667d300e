#!/usr/bin/env bash
# The shared library exports exactly the functions its header declares,
# all named zindle_*, and carries the soname libzindle.so.<major>.
#
#   tests/library-exports.sh LIBRARY HEADER
set -euo pipefail
lib=$1 header=$2
fail() { echo "library-exports: $*" >&2; exit 1; }

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libzindle.so.0 ] || fail "soname is '${soname}'"

declared=$(grep -o 'ZINDLE_API [^(]*(' "$header" | grep -o 'zindle_[a-z_]*' | sort -u)
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort -u)
[ -n "$declared" ] || fail "no declarations found in $header"
diff -u <(echo "$declared") <(echo "$exported") || fail "exports differ from the header (- header, + library)"
# The data it defines for itself stays inside.
if nm -D --defined-only "$lib" | awk '{print $2}' | grep -qv '^T$'; then
  fail "exports something other than functions"
fi
echo "libzindle exports the $(echo "$declared" | wc -l) functions of zindle.h, soname $soname"
