#!/usr/bin/env bash
# Whole-pipeline benchmark: Ostrel's headless runner streaming to one
# ostrel-client, then an ffmpeg x11grab + libx264 command, on the same private
# virtual display with a moving scene and a tone. Prints CPU seconds per
# second of stream for each, their ratio, pictures per second (received by
# the client; encoded by ffmpeg) and Ostrel's capture-to-client latency
# p50/p99. Not a test; run by hand:
#     bash bench/pipeline/run.sh [SECONDS]
# OSTREL_BENCH_SIZE=WxH sets the picture size (1920x1080), OSTREL_BENCH_FPS
# the rates ("25 50").
# OSTREL_ENCODE_TYPE=3|4|5 measures the VA-API (AMD), QuickSync or NVENC
# back-end instead of x264 (1); the last column then says which back-end ran.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
SECONDS_PER_RUN="${1:-20}"
SIZE="${OSTREL_BENCH_SIZE:-1920x1080}"
RATES="${OSTREL_BENCH_FPS:-25 50}"
WARMUP=3
ENCODE_TYPE="${OSTREL_ENCODE_TYPE:-1}"
BUILD_DIR="${OSTREL_BUILD_DIR:-$ROOT/build}"
BIN="$BUILD_DIR/bin"
CLIENT="$BUILD_DIR/bin/ostrel-client"
[ -x "$BIN/ostrel" ] && [ -x "$CLIENT" ] || "$ROOT/scripts/build.sh" "$BUILD_DIR" >/dev/null

# shellcheck source=scripts/private-desktop.sh
. "$ROOT/scripts/private-desktop.sh"
ostrel_private_workdir ostrel-bench

HZ="$(getconf CLK_TCK)"

ostrel_private_display "$WORK" "${SIZE%x*}" "${SIZE#*x}" 50
ostrel_private_sound "$WORK" bench
sleep 2

# Measures a running process's CPU over SECONDS_PER_RUN after WARMUP; prints CPU s per s.
measure() {
  local pid="$1"
  sleep "$WARMUP"
  local t0 c0 t1 c1
  t0="$(date +%s.%N)"; c0="$(ostrel_cpu_ticks "$pid")"
  sleep "$SECONDS_PER_RUN"
  t1="$(date +%s.%N)"; c1="$(ostrel_cpu_ticks "$pid")"
  awk -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v hz="$HZ" 'BEGIN { printf "%.3f", (c1 - c0) / hz / (t1 - t0) }'
}

printf "%-10s %-6s %-16s %-16s %-8s %-14s %-22s %-10s %-6s %s\n" size fps "ostrel cpu s/s" "ffmpeg cpu s/s" ratio "pictures/s o/f" \
  "latency p50/p99 (ms)" "loss lines" "load" "video back-end"
for FPS in $RATES; do
  HOME_DIR="$WORK/home-$FPS"
  mkdir -p "$HOME_DIR"
  PORT=$((16000 + FPS))
  cat >"$HOME_DIR/config.ini" <<INI
[config]
min_log_level=warning
FPS=$FPS
EncodeSample=3000000
EncodeType=$ENCODE_TYPE
AudioEnable=1
AudioSample=48000
PushFlowType=1
PrivatePort=$PORT
INI
  "$BIN/ostrel" --headless --home "$HOME_DIR" >"$WORK/ostrel-$FPS.out" 2>"$WORK/ostrel-$FPS.err" &
  OSTREL=$!
  for _ in $(seq 100); do grep -q "ostrel: running" "$WORK/ostrel-$FPS.out" 2>/dev/null && break; sleep 0.1; done
  "$CLIENT" -p "$PORT" -d $((WARMUP + SECONDS_PER_RUN + 1)) >/dev/null 2>"$WORK/client-$FPS.err" &
  CLIENT_PID=$!
  OSTREL_CPU="$(measure "$OSTREL")"
  wait "$CLIENT_PID" || true
  kill -INT "$OSTREL"; wait "$OSTREL" || true
  LAT="$(sed -n 's/.*video latency p50 \([0-9]*\) ms, p99 \([0-9]*\) ms.*/\1\/\2/p' "$WORK/client-$FPS.err")"
  # Over the client's whole run, warm-up included.
  OSTREL_RATE="$(sed -n 's/.*: \([0-9]*\) video frames,.*/\1/p' "$WORK/client-$FPS.err" |
    awk -v d=$((WARMUP + SECONDS_PER_RUN + 1)) '{ printf "%.1f", $1 / d }')"
  LOSS="$(cat "$HOME_DIR"/log/* 2>/dev/null | grep -c 'Loss' || true)"
  # A hardware choice that did not open, or broke while running, says so in
  # the log; anything else ran on the back-end that was asked for.
  BACKEND="$(cat "$HOME_DIR"/log/* 2>/dev/null | grep -q -e 'did not open' -e 'failed while running' \
    && echo "x264 (fallback)" || echo "EncodeType $ENCODE_TYPE")"

  FFMPEG_START="$(date +%s.%N)"
  ffmpeg -loglevel error -progress "$WORK/ffmpeg-$FPS.progress" -f x11grab -framerate "$FPS" -video_size "$SIZE" \
    -i "$DISPLAY" -c:v libx264 -preset ultrafast -tune zerolatency -threads 1 -f null - >/dev/null 2>"$WORK/ffmpeg-$FPS.err" &
  FFMPEG=$!
  FFMPEG_CPU="$(measure "$FFMPEG")"
  kill -INT "$FFMPEG"; wait "$FFMPEG" || true
  FFMPEG_RATE="$(awk -F= -v t0="$FFMPEG_START" -v t1="$(date +%s.%N)" '$1 == "frame" { f = $2 } END { printf "%.1f", f / (t1 - t0) }' \
    "$WORK/ffmpeg-$FPS.progress")"

  RATIO="$(awk -v a="$OSTREL_CPU" -v b="$FFMPEG_CPU" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')"
  printf "%-10s %-6s %-16s %-16s %-8s %-14s %-22s %-10s %-6s %s\n" "$SIZE" "$FPS" "$OSTREL_CPU" "$FFMPEG_CPU" "$RATIO" \
    "${OSTREL_RATE:-n/a}/$FFMPEG_RATE" "${LAT:-n/a}" "$LOSS" "$(cut -d' ' -f1 /proc/loadavg)" "$BACKEND"
done
echo "machine: $(nproc) cores, $(awk '/model name/ {$1=$2=$3=""; print; exit}' /proc/cpuinfo | sed 's/^ *//'), load $(cut -d' ' -f1-3 /proc/loadavg)"
