#!/usr/bin/env bash
# Runs one of the WebAssembly tests with node; without node it is skipped
# (exit 77), except in CI.
set -euo pipefail
if ! command -v node >/dev/null; then
  [ "${CI:-}" = true ] && { echo "node is missing (required in CI)"; exit 1; }
  echo "skipped, node is missing"
  exit 77
fi
exec node "$@"
