#!/usr/bin/env bash
# The manual pages name what the programs do: every failure text the player
# writes, every option the renderer takes, the loader's report texts, and
# the sections a reader looks for.
set -uo pipefail
src=${1:?usage: man-coverage.sh SOURCE_DIR ZINDLE_RENDER}
renderer=${2:?usage: man-coverage.sh SOURCE_DIR ZINDLE_RENDER}
player=$src/man/zindle.1
render=$src/man/zindle-render.1
missing=0

# Looks for TEXT in PAGE as written in roff: each '-' as '\-'.
has() {
  local page=$1 text=$2
  local roff=${text//-/\\-}
  if ! grep -qF -- "$roff" "$page"; then
    echo "$(basename "$page"): missing \"$text\""
    missing=1
  fi
}

texts=$(grep -o 'fail("[^"]*")' "$src/host/startup.cpp" | sed 's/^fail("//; s/")$//')
[ -n "$texts" ] || { echo "no failure texts found in host/startup.cpp"; exit 1; }
while IFS= read -r text; do has "$player" "$text"; done <<<"$texts"

# The renderer's options as its --help lists them, from its option table.
options=$("$renderer" --help | sed -n 's/^  \(--[a-z-]*\).*/\1/p')
[ -n "$options" ] || { echo "no options listed by $renderer --help"; exit 1; }
while IFS= read -r option; do has "$render" "$option"; done <<<"$options"

reports=$(grep -o 'write_text("[^"]*")' "$src/engine/module_loader.cpp" | sed 's/^write_text("//; s/")$//; s/?\\?\\?/???/')
[ -n "$reports" ] || { echo "no report texts found in engine/module_loader.cpp"; exit 1; }
while IFS= read -r text; do
  text=${text% }
  has "$player" "$text"
  has "$render" "$text"
done <<<"$reports"

for page in "$player" "$render"; do
  for section in NAME SYNOPSIS DESCRIPTION "CONSOLE REPORT" "EXIT STATUS" DIAGNOSTICS ENVIRONMENT FILES EXAMPLES; do
    grep -qx "\.SH \"\?$section\"\?" "$page" || { echo "$(basename "$page"): no section $section"; missing=1; }
  done
done
for key in Escape Z; do grep -qx "\.B $key\|\.BR z \" or \" Z" "$player" || { echo "zindle.1: key $key not described"; missing=1; }; done

[ $missing -eq 0 ] && echo "the manual pages cover the programs"
exit $missing
