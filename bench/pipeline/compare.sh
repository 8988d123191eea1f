#!/usr/bin/env bash
# Two builds of Ostrel side by side: both headless runners stream the same
# private scene with a tone at the same time, each to its own ostrel-client,
# so whatever else loads the machine loads both alike. Prints each build's
# CPU seconds per second, latency p50/p99 and pictures per second received,
# the ratio B / A, and each build's per-stage times when it writes them. Not
# a test; run by hand after building both trees:
#     bash bench/pipeline/compare.sh BUILD_A BUILD_B [SECONDS] [FPS]
# Environment:
#   OSTREL_BENCH_SIZE=WxH     picture size (1920x1080)
#   OSTREL_BENCH_SCENE=still  a picture that changes once a minute instead of
#                             the moving test scene
#   OSTREL_BENCH_HOGS=N       N busy loops running alongside (0)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
A="${1:?build directory A}"
B="${2:?build directory B}"
SECONDS_PER_RUN="${3:-20}"
FPS="${4:-25}"
SIZE="${OSTREL_BENCH_SIZE:-1920x1080}"
SCENE="${OSTREL_BENCH_SCENE:-moving}"
HOGS="${OSTREL_BENCH_HOGS:-0}"
WARMUP=3

# shellcheck source=scripts/private-desktop.sh
. "$ROOT/scripts/private-desktop.sh"
ostrel_private_workdir ostrel-compare

HZ="$(getconf CLK_TCK)"
W="${SIZE%x*}"
H="${SIZE#*x}"

if [ "$SCENE" = still ]; then
  ostrel_private_display "$WORK" "$W" "$H" 50 "testsrc2=size=${SIZE}:rate=1/60"
else
  ostrel_private_display "$WORK" "$W" "$H" 50
fi
ostrel_private_sound "$WORK" bench
for _ in $(seq "$HOGS"); do
  (while :; do :; done) &
  OSTREL_PIDS+=($!)
done
sleep 2

# start_run TAG BUILD PORT: starts a runner and its client; sets RUN_PID.
# Builds that know per-stage timing write it to $WORK/stages-TAG.txt at exit.
start_run() {
  local tag="$1" build="$2" port="$3" home="$WORK/home-$1"
  mkdir -p "$home"
  printf '[config]\nmin_log_level=warning\nFPS=%s\nEncodeSample=3000000\nEncodeType=1\nAudioEnable=1\nAudioSample=48000\nPushFlowType=1\nPrivatePort=%s\n' \
    "$FPS" "$port" >"$home/config.ini"
  OSTREL_STAGE_TIMING="$WORK/stages-$tag.txt" \
    "$build/bin/ostrel" --headless --home "$home" >"$WORK/$tag.out" 2>"$WORK/$tag.err" &
  RUN_PID=$!
  for _ in $(seq 100); do grep -q "ostrel: running" "$WORK/$tag.out" 2>/dev/null && break; sleep 0.1; done
  "$build/bin/ostrel-client" -p "$port" -d $((WARMUP + SECONDS_PER_RUN + 1)) >/dev/null 2>"$WORK/client-$tag.err" &
}

start_run a "$A" 16101; PID_A=$RUN_PID
start_run b "$B" 16102; PID_B=$RUN_PID
sleep "$WARMUP"
t0="$(date +%s.%N)"; a0="$(ostrel_cpu_ticks "$PID_A")"; b0="$(ostrel_cpu_ticks "$PID_B")"
sleep "$SECONDS_PER_RUN"
t1="$(date +%s.%N)"; a1="$(ostrel_cpu_ticks "$PID_A")"; b1="$(ostrel_cpu_ticks "$PID_B")"
LOAD="$(cut -d' ' -f1-3 /proc/loadavg)"
sleep 2
kill -INT "$PID_A" "$PID_B"; wait "$PID_A" "$PID_B" || true

latency() { sed -n 's/.*video latency p50 \([0-9]*\) ms, p99 \([0-9]*\) ms.*/\1\/\2/p' "$WORK/client-$1.err"; }
# Pictures per second over the client's whole run (warm-up included).
received() {
  sed -n 's/.*: \([0-9]*\) video frames,.*/\1/p' "$WORK/client-$1.err" |
    awk -v d=$((WARMUP + SECONDS_PER_RUN + 1)) '{ printf "%.1f", $1 / d }'
}
awk -v a0="$a0" -v a1="$a1" -v b0="$b0" -v b1="$b1" -v t0="$t0" -v t1="$t1" -v hz="$HZ" \
    -v la="$(latency a)" -v lb="$(latency b)" -v ra="$(received a)" -v rb="$(received b)" \
    -v fps="$FPS" -v size="$SIZE" -v scene="$SCENE" -v hogs="$HOGS" 'BEGIN {
  ca = (a1 - a0) / hz / (t1 - t0); cb = (b1 - b0) / hz / (t1 - t0)
  printf "%s %s fps, %s scene, %d hogs\n", size, fps, scene, hogs
  printf "A cpu %.3f s/s, latency p50/p99 %s ms, %s pictures/s received\n", ca, (la == "" ? "n/a" : la), (ra == "" ? "n/a" : ra)
  printf "B cpu %.3f s/s, latency p50/p99 %s ms, %s pictures/s received\n", cb, (lb == "" ? "n/a" : lb), (rb == "" ? "n/a" : rb)
  if (ca > 0) printf "B / A cpu ratio %.2f\n", cb / ca
}'
for tag in a b; do
  if [ -s "$WORK/stages-$tag.txt" ]; then echo "${tag^^} stages:"; sed 's/^/  /' "$WORK/stages-$tag.txt"; fi
done
echo "machine: $(nproc) cores, load $LOAD"
