#!/usr/bin/env bash
# What the Linux player costs while it plays: CPU time per second of audio,
# share of one core, peak RSS, and the time from start to the first buffer
# reaching ALSA with the device open left out. The sound goes to the ALSA
# file sink of the tests, so audio seconds are counted from the bytes that
# arrive there, not from the clock. Beside it, the machine's floor: what a
# process costs that only wakes every 17 ms (the host's timer period) on
# the same clock, measured over the same seconds.
#   bench/player-cost.sh [SECONDS [MODULE]]   default: 20 s of examples/demo.mod
#   ZINDLE_PLAYER=path   the player (default build/bin/zindle)
#   RUNS=N               runs; the figures are their medians (default 3)
#   ZINDLE_ALSA_CONFIG=path  another ALSA configuration, such as one leading
#                        to a sound server (bench/player-cost-pulse.sh); with
#                        no file sink, audio seconds are the clock's, which
#                        the server's pace keeps
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
module="${2:-examples/demo.mod}"
player="${ZINDLE_PLAYER:-build/bin/zindle}"
runs="${RUNS:-3}"
[ -x "$player" ] || { echo "player-cost: $player not built" >&2; exit 2; }
[ -r "$module" ] || { echo "player-cost: cannot read $module" >&2; exit 2; }
command -v cc >/dev/null || { echo "player-cost: needs cc for its ALSA probe" >&2; exit 2; }

work=$(mktemp -d)
floor_pid=""
trap '[ -z "$floor_pid" ] || kill "$floor_pid" 2>/dev/null; rm -rf "$work"' EXIT

# A probe preloaded into the player notes, on the monotonic clock, when it
# starts (before main), when the device open begins and ends, and when the
# first frames are written. The player itself is not changed.
cat >"$work/probe.c" <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static long long started, open_begin, open_end, first_write;

static long long now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void report(void) {
    const char* path = getenv("ZINDLE_PROBE_OUT");
    FILE* f = path ? fopen(path, "w") : NULL;
    if (!f) return;
    fprintf(f, "%lld %lld %lld %lld\n", started, open_begin, open_end, first_write);
    fclose(f);
}

__attribute__((constructor)) static void probe_start(void) { started = now(); }

int snd_pcm_open(void** pcm, const char* name, int stream, int mode) {
    int (*real)(void**, const char*, int, int) = (int (*)(void**, const char*, int, int))dlsym(RTLD_NEXT, "snd_pcm_open");
    open_begin = now();
    return real(pcm, name, stream, mode);
}

int snd_pcm_set_params(void* pcm, int format, int access, unsigned channels, unsigned rate, int resample,
                       unsigned latency) {
    int (*real)(void*, int, int, unsigned, unsigned, int, unsigned) =
        (int (*)(void*, int, int, unsigned, unsigned, int, unsigned))dlsym(RTLD_NEXT, "snd_pcm_set_params");
    int result = real(pcm, format, access, channels, rate, resample, latency);
    open_end = now();
    return result;
}

long snd_pcm_writei(void* pcm, const void* buffer, unsigned long frames) {
    long (*real)(void*, const void*, unsigned long) = (long (*)(void*, const void*, unsigned long))dlsym(RTLD_NEXT, "snd_pcm_writei");
    if (first_write == 0) {
        first_write = now();
        report();
    }
    return real(pcm, buffer, frames);
}
EOF
cc -O2 -shared -fPIC -o "$work/probe.so" "$work/probe.c" -ldl

# The floor: wakes on an absolute 17 ms schedule and does nothing else.
cat >"$work/floor.c" <<'EOF'
#include <time.h>

int main(void) {
    struct timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (;;) {
        due.tv_nsec += 17000000;
        if (due.tv_nsec >= 1000000000) {
            due.tv_nsec -= 1000000000;
            ++due.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, 0) != 0) {
        }
    }
}
EOF
cc -O2 -o "$work/floor" "$work/floor.c"

# ALSA splits its configuration path at blanks: a copy in the scratch
# folder (from mktemp, without blanks) is read from any checkout.
cp "${ZINDLE_ALSA_CONFIG:-tests/alsa/capture.conf}" "$work/alsa.conf"
export ALSA_CONFIG_PATH="$work/alsa.conf"

# Sum of the run time of all the player's threads, in nanoseconds.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%d", s}'; }

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }

for run in $(seq "$runs"); do
  capture="$work/capture-$run.raw"
  : >"$capture"
  # The player wants a terminal for its keys: script gives it one, with a
  # standard input that stays open and silent until the end.
  exec 3< <(sleep $((seconds + 30)))
  ZINDLE_PCM_CAPTURE="$capture" ZINDLE_PROBE_OUT="$work/probe-$run" LD_PRELOAD="$work/probe.so" \
    script -q -e -c "exec $player $module" /dev/null <&3 >/dev/null 2>&1 &
  wrapper=$!
  pid=""
  for _ in $(seq 100); do
    pid=$(pgrep -P "$wrapper" || true)
    [ -n "$pid" ] && break
    sleep 0.05
  done
  [ -n "$pid" ] || { echo "player-cost: the player did not start" >&2; exit 1; }
  # The floor runs beside the player, so both see the machine as it is.
  "$work/floor" &
  floor_pid=$!
  # The first second holds the start-up; the cost of playing is measured
  # from there.
  sleep 1
  floor0=$(cpu_ns "$floor_pid")
  cpu0=$(cpu_ns "$pid")
  bytes0=$(stat -c %s "$capture")
  sleep "$seconds"
  kill -0 "$pid" 2>/dev/null || { echo "player-cost: the player ended early" >&2; exit 1; }
  cpu1=$(cpu_ns "$pid")
  floor1=$(cpu_ns "$floor_pid")
  bytes1=$(stat -c %s "$capture")
  kill "$floor_pid" 2>/dev/null || true
  wait "$floor_pid" 2>/dev/null || true
  floor_pid=""
  hwm=$(awk '/^VmHWM:/ {print $2}' /proc/"$pid"/status)
  kill "$pid" 2>/dev/null || true
  wait "$wrapper" 2>/dev/null || true
  exec 3<&-
  read -r started open_begin open_end first_write <"$work/probe-$run"
  awk -v c0="$cpu0" -v c1="$cpu1" -v b0="$bytes0" -v b1="$bytes1" -v hwm="$hwm" \
      -v f0="$floor0" -v f1="$floor1" -v secs="$seconds" \
      -v s="$started" -v ob="$open_begin" -v oe="$open_end" -v fw="$first_write" -v run="$run" 'BEGIN {
    audio = b1 > b0 ? (b1 - b0) / 176400 : secs; cpu = (c1 - c0) / 1e9; floor = (f1 - f0) / 1e9 / secs
    printf "run %d: audio %.2f s, CPU %.4f s, %.3f ms CPU per audio second (%.4f %% of one core; floor %.3f ms per second, %.4f %%), peak RSS %d KiB, first buffer %.2f ms after start (%.2f ms without the device open of %.2f ms)\n",
      run, audio, cpu, 1000 * cpu / audio, 100 * cpu / audio, 1000 * floor, 100 * floor, hwm, (fw - s) / 1e6, (fw - s - (oe - ob)) / 1e6, (oe - ob) / 1e6
    print 1000 * cpu / audio, 100 * cpu / audio, hwm, (fw - s - (oe - ob)) / 1e6, 1000 * floor, 100 * floor > "/dev/stderr"
  }' 2>>"$work/figures"
done

for field in 1 2 3 4 5 6; do awk -v f="$field" '{print $f}' "$work/figures" | median; done | paste -sd' ' | awk '{
  printf "median of %d: %.3f ms CPU per audio second (%.4f %% of one core), peak RSS %d KiB (%.2f MiB), first buffer %.2f ms after start without the device open\n",
    '"$runs"', $1, $2, $3, $3 / 1024, $4
  printf "floor, a process that only wakes every 17 ms, over the same seconds: %.3f ms CPU per second (%.4f %% of one core)\n", $5, $6 }'
