#!/usr/bin/env bash
# Two builds of Ostrel side by side: both headless runners stream the same
# private 1920x1080 moving scene with a tone at the same time, each to its own
# ostrel-client, so whatever else loads the machine loads both alike. Prints
# each build's CPU seconds per second and latency p50/p99, and the ratio
# B / A. Not a test; run by hand after building both trees:
#     bash bench/pipeline/compare.sh BUILD_A BUILD_B [SECONDS] [FPS]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
A="${1:?build directory A}"
B="${2:?build directory B}"
SECONDS_PER_RUN="${3:-20}"
FPS="${4:-25}"
WARMUP=3

# shellcheck source=scripts/private-desktop.sh
. "$ROOT/scripts/private-desktop.sh"
ostrel_private_workdir ostrel-compare

HZ="$(getconf CLK_TCK)"

ostrel_private_display "$WORK" 1920 1080 50
ostrel_private_sound "$WORK" bench
sleep 2

# start_run TAG BUILD PORT: starts a runner and its client; sets RUN_PID.
start_run() {
  local tag="$1" build="$2" port="$3" home="$WORK/home-$1"
  mkdir -p "$home"
  printf '[config]\nmin_log_level=warning\nFPS=%s\nEncodeSample=3000000\nEncodeType=1\nAudioEnable=1\nAudioSample=48000\nPushFlowType=1\nPrivatePort=%s\n' \
    "$FPS" "$port" >"$home/config.ini"
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
sleep 2
kill -INT "$PID_A" "$PID_B"; wait "$PID_A" "$PID_B" || true

latency() { sed -n 's/.*video latency p50 \([0-9]*\) ms, p99 \([0-9]*\) ms.*/\1\/\2/p' "$WORK/client-$1.err"; }
awk -v a0="$a0" -v a1="$a1" -v b0="$b0" -v b1="$b1" -v t0="$t0" -v t1="$t1" -v hz="$HZ" \
    -v la="$(latency a)" -v lb="$(latency b)" -v fps="$FPS" 'BEGIN {
  ca = (a1 - a0) / hz / (t1 - t0); cb = (b1 - b0) / hz / (t1 - t0)
  printf "%s fps   A cpu %.3f s/s, latency p50/p99 %s ms\n", fps, ca, (la == "" ? "n/a" : la)
  printf "%s fps   B cpu %.3f s/s, latency p50/p99 %s ms\n", fps, cb, (lb == "" ? "n/a" : lb)
  if (ca > 0) printf "B / A cpu ratio %.2f\n", cb / ca
}'
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
