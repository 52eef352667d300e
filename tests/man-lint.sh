#!/usr/bin/env bash
# Lints the manual pages given with mandoc and groff, whichever are
# installed; any warning fails. Exits 77 (skipped) when neither is there.
set -uo pipefail
[ $# -gt 0 ] || { echo "usage: man-lint.sh PAGE..." >&2; exit 2; }
linted=0
failed=0
if command -v mandoc >/dev/null; then
  linted=1
  out=$(mandoc -T lint -W warning "$@" 2>&1)
  rc=$?
  if [ $rc -ne 0 ] || [ -n "$out" ]; then
    printf 'mandoc -T lint (exit %s):\n%s\n' "$rc" "$out"
    failed=1
  fi
fi
if command -v groff >/dev/null; then
  linted=1
  out=$(groff -ww -man -z "$@" 2>&1)
  rc=$?
  if [ $rc -ne 0 ] || [ -n "$out" ]; then
    printf 'groff -ww -man -z (exit %s):\n%s\n' "$rc" "$out"
    failed=1
  fi
fi
if [ $linted -eq 0 ]; then
  echo "neither mandoc nor groff is installed: skipped"
  exit 77
fi
[ $failed -eq 0 ] && echo "clean: $*"
exit $failed
