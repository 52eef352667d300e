#!/usr/bin/env bash
# bench/player-cost.sh through a real sound server: a private PulseAudio
# server with a null sink at s16le, 44100 Hz, stereo (the test's set-up),
# started and stopped here by its PID. Same arguments as player-cost.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v pulseaudio >/dev/null || { echo "player-cost-pulse: needs pulseaudio" >&2; exit 2; }
work=$(mktemp -d)
server=""
trap '[ -z "$server" ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; }; rm -rf "$work"' EXIT
mkdir -p "$work/runtime"
cat >"$work/server.pa" <<PA
load-module module-null-sink sink_name=zindle format=s16le rate=44100 channels=2
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/native
set-default-sink zindle
set-sink-volume zindle 65536
PA
cat >"$work/alsa.conf" <<ALSA
pcm.!default { type pulse server "unix:$work/native" }
ctl.!default { type pulse server "unix:$work/native" }
ALSA
echo "autospawn = no" >"$work/client.conf"
export HOME="$work" XDG_RUNTIME_DIR="$work/runtime" PULSE_RUNTIME_PATH="$work/runtime" \
  PULSE_STATE_PATH="$work/state" PULSE_CLIENTCONFIG="$work/client.conf"
pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
  -F "$work/server.pa" 2>"$work/server.log" &
server=$!
for _ in $(seq 100); do [ -S "$work/native" ] && break; sleep 0.05; done
[ -S "$work/native" ] || { echo "player-cost-pulse: the server did not start" >&2; cat "$work/server.log" >&2; exit 1; }
ZINDLE_ALSA_CONFIG="$work/alsa.conf" bench/player-cost.sh "$@"
