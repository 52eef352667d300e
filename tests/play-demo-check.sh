#!/usr/bin/env bash
# scripts/play-demo, the player as `./run play` runs it, with the built
# player (ZINDLE_PLAYER):
# - no sound device (ALSA without any PCM): standard output is byte for byte
#   what the player alone writes and the exit code is the player's; the
#   guidance follows on standard error, from a line of its own, and the
#   render it suggests is for a module that exists;
# - a sound device (ALSA's file plugin) and Escape after a moment: the
#   demo's report, exit code 0 and nothing added.
set -uo pipefail
src=${1:?usage: play-demo-check.sh SOURCE_DIR PLAYER}
player=${2:?}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "play-demo-check: $*" >&2; exit 1; }
export ZINDLE_PLAYER=$player
# Where the user stands is told by ./run; the suite may itself run under it.
unset ZINDLE_CALLER_DIR

# ALSA splits ALSA_CONFIG_PATH at blanks: its files go by blank-free copies.
cp "$src/tests/alsa/no-device.conf" "$src/tests/alsa/capture.conf" "$scratch/"
export ALSA_CONFIG_PATH=$scratch/no-device.conf
(cd "$src" && "$player" examples/demo.mod) < /dev/null > "$scratch/alone" 2> /dev/null
alone=$?
[ "$alone" -ne 0 ] || fail "the player alone exited with 0 without a sound device"
[ "$alone" -eq 3 ] || fail "the player alone exited with $alone without a sound device, not 3"
(cd "$src" && scripts/play-demo) < /dev/null > "$scratch/out" 2> "$scratch/err"
status=$?
[ "$status" -eq "$alone" ] || fail "exit code $status, the player's is $alone"
cmp -s "$scratch/alone" "$scratch/out" || fail "standard output differs from the player's own: $(od -c "$scratch/out" | head -5)"
[ "$(tail -c 26 "$scratch/out")" = "Couldn't open sound device" ] || fail "the player's text is not last on standard output"
[ "$(head -c 1 "$scratch/err")" = "" ] && [ "$(head -n 1 "$scratch/err")" = "" ] ||
  fail "the guidance does not start on a line of its own"
grep -q '^zindle: nothing was played, because no sound device could be opened\.$' "$scratch/err" || fail "no guidance: $(cat "$scratch/err")"
grep -q '^      make render$' "$scratch/err" || fail "the guidance does not say how to build the renderer"
module=$(sed -n 's|^      build/bin/zindle-render \([^ ]*\) .*# writes demo.wav here$|\1|p' "$scratch/err")
[ -n "$module" ] && [ -f "$src/$module" ] || fail "the guidance's render is not of the demo: $(cat "$scratch/err")"

# From another folder (as ./run play run by its path), the commands name the
# checkout and work from where the user stands; the WAV is written there.
mkdir "$scratch/elsewhere"
(cd "$scratch/elsewhere" && "$src/scripts/play-demo") < /dev/null > /dev/null 2> "$scratch/err"
[ $? -eq 3 ] || fail "the exit code from elsewhere is not the player's"
make_line=$(sed -n 's|^      \(make .*render\)$|\1|p' "$scratch/err")
render_line=$(sed -n 's|^      \(.*zindle-render .*\)     # writes demo.wav here$|\1|p' "$scratch/err")
[ -n "$make_line" ] && [ -n "$render_line" ] || fail "no commands from elsewhere: $(cat "$scratch/err")"
checkout=$(cd "$scratch/elsewhere" && eval "set -- $make_line" && [ "$2" = -C ] && cd "$3" && pwd) ||
  fail "make is not pointed at the checkout: $make_line"
[ "$checkout" -ef "$src" ] || fail "make is pointed at $checkout, not the checkout"
renderer=$(eval "set -- $render_line" && echo "$1")
if [ -x "$renderer" ]; then
  (cd "$scratch/elsewhere" && eval "$render_line") > /dev/null 2>&1 || fail "the render from elsewhere failed: $render_line"
  [ -s "$scratch/elsewhere/demo.wav" ] || fail "the render from elsewhere wrote no demo.wav there"
fi

export ALSA_CONFIG_PATH=$scratch/capture.conf
export ZINDLE_PCM_CAPTURE=$scratch/pcm.raw
(sleep 1; printf '\033') | "$src/scripts/play-demo" > "$scratch/out" 2> "$scratch/err"
status=$?
[ "$status" -eq 0 ] || fail "exit code $status after Escape with a sound device"
[ "$(cat "$scratch/out")" = "$(printf 'channels: 00000006 \r\nsamples: 0000001F \r')" ] || fail "report: $(od -c "$scratch/out" | head -5)"
[ ! -s "$scratch/err" ] || fail "something was added with a sound device: $(cat "$scratch/err")"
[ -s "$scratch/pcm.raw" ] || fail "nothing reached the sound device"
echo "play-demo: the player's text and exit code, and the guidance only without a device"
