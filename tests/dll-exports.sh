#!/usr/bin/env bash
# zindle.dll exports exactly the functions its header declares, by name and
# undecorated, as does zindle.def; it imports only Windows' own DLLs (the C
# runtime, libgcc and the stack protector's libssp are linked in; libssp
# seeds its canary through ADVAPI32). Without the DLL or the mingw-w64
# objdump it is skipped (77), except in CI.
#
#   tests/dll-exports.sh DLL DEF HEADER
set -euo pipefail
dll=$1 def=$2 header=$3
fail() { echo "dll-exports: $*" >&2; exit 1; }
objdump=x86_64-w64-mingw32-objdump
if [ ! -f "$dll" ] || ! command -v $objdump >/dev/null; then
  [ "${CI:-}" = true ] || [ -n "${ZINDLE_REQUIRE_WINE:-}" ] && fail "$dll and $objdump are needed"
  echo "skipped: no $dll (make windows, or configure ZINDLE_WINDOWS_EXE) or no $objdump"
  exit 77
fi

declared=$(grep -o 'ZINDLE_API [^(]*(' "$header" | grep -o 'zindle_[a-z_0-9]*' | sort -u)
[ -n "$declared" ] || fail "no declarations found in $header"
table=$($objdump -p "$dll")
exported=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' <<<"$table" | sort)
diff -u <(echo "$declared") <(echo "$exported") || fail "the DLL's exports differ from the header (- header, + DLL)"
[ "$(head -n 1 "$def" | tr -d '\r')" = "LIBRARY zindle.dll" ] || fail "$def does not name zindle.dll"
listed=$(sed -n '/^EXPORTS/,$p' "$def" | sed -n 's/^[[:space:]]\+\([^[:space:]@]*\).*/\1/p' | sort)
diff -u <(echo "$declared") <(echo "$listed") || fail "zindle.def differs from the header (- header, + def)"

imports=$(sed -n 's/^\tDLL Name: //p' <<<"$table" | tr '[:lower:]' '[:upper:]' | sort -u)
others=$(grep -Ev '^(KERNEL32|ADVAPI32|MSVCRT|UCRTBASE|API-MS-WIN-[A-Z0-9-]+)\.DLL$' <<<"$imports" || true)
[ -z "$others" ] || fail "zindle.dll needs DLLs Windows does not have: $others"
echo "zindle.dll exports the $(echo "$declared" | wc -l) functions of zindle.h by name, as zindle.def does;" \
  "imports $(echo $imports); $(stat -c %s "$dll") bytes"
