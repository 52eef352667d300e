#!/usr/bin/env bash
# The library and the programs carry the platform's hardening: a stack
# canary (they call __stack_chk_fail), every relocation bound at load and
# then made read-only (BIND_NOW and a GNU_RELRO segment), and no executable
# stack. Run on a release tree built with ZINDLE_HARDENING.
#
#   tests/hardening-check.sh FILE...
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: hardening-check.sh FILE..." >&2; exit 2; }
failed=0
for file in "$@"; do
  name=$(basename "$file")
  problems=()
  # Whole outputs first: grep -q stopping early would break readelf's pipe.
  symbols=$(readelf --dyn-syms -W "$file")
  dynamic=$(readelf -d "$file")
  segments=$(readelf -lW "$file")
  grep -q ' UND __stack_chk_fail' <<<"$symbols" || problems+=("no stack canary (__stack_chk_fail unreferenced)")
  grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || problems+=("relocations bound lazily (no BIND_NOW)")
  grep -q 'GNU_RELRO' <<<"$segments" || problems+=("no read-only relocations (no GNU_RELRO)")
  awk '$1 == "GNU_STACK" && $7 ~ /E/ {found = 1} END {exit !found}' <<<"$segments" && problems+=("executable stack")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "$name: stack canary, BIND_NOW, RELRO, no executable stack"
  else
    for p in "${problems[@]}"; do echo "hardening-check: $name: $p" >&2; done
    failed=1
  fi
done
exit $failed
