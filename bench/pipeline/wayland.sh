#!/usr/bin/env bash
# Wayland against X11: the same 1280x720 moving scene (ffplay, full screen)
# captured by ostrel --headless through the X server (a private Xvfb, monitor
# mode: damage + MIT-SHM) and through the screen-cast portal (the headless
# Wayland rig of scripts/wayland-rig.sh, PipeWire shared memory; the whole
# output as a region, so both stream 1280x720), each streaming H.264 + AAC
# to one ostrel-client. Prints Ostrel's CPU seconds per second of stream, the
# desktop side's (the X server; or compositor, portal back-end and PipeWire,
# each of which also draws or carries the scene), the
# pictures per second the client received, its capture-to-client latency
# p50/p99, and the CPU ratio portal / x11. Not a test; run by hand as root:
#     bash bench/pipeline/wayland.sh [SECONDS]
# OSTREL_BUILD_DIR (build) names the build; its wayland-rig/ must hold the
# portal back-end (scripts/wayland-rig.sh build BUILD/wayland-rig).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
SECONDS_PER_RUN="${1:-20}"
FPS="${OSTREL_BENCH_FPS:-25}"
WIDTH=1280 HEIGHT=720
WARMUP=3
BUILD_DIR="${OSTREL_BUILD_DIR:-$ROOT/build}"
BIN="$BUILD_DIR/bin"
XDPW="$BUILD_DIR/wayland-rig/xdg-desktop-portal-wlr"
[ -x "$BIN/ostrel" ] && [ -x "$BIN/ostrel-client" ] || "$ROOT/scripts/build.sh" "$BUILD_DIR" >/dev/null
[ -x "$XDPW" ] || "$ROOT/scripts/wayland-rig.sh" build "$BUILD_DIR/wayland-rig"

# shellcheck source=scripts/private-desktop.sh
. "$ROOT/scripts/private-desktop.sh"
ostrel_private_workdir ostrel-bench-wayland
chmod 711 "$WORK"
trap '"$ROOT/scripts/wayland-rig.sh" down "$WORK/rig" 2>/dev/null; ostrel_stop_private; wait 2>/dev/null || true; rm -rf "$WORK"' EXIT
HZ="$(getconf CLK_TCK)"
SCENE="testsrc2=size=${WIDTH}x${HEIGHT}:rate=50"

ticks_of() { local sum=0 pid; for pid in "$@"; do sum=$((sum + $(ostrel_cpu_ticks "$pid"))); done; echo "$sum"; }

# run NAME "ARGS" [DESKTOP_PIDS...]: one ostrel run with its client in the
# current environment; prints "ostrel-cpu desktop-cpu pictures/s p50/p99".
run() {
  local name="$1" args="$2"; shift 2
  local home="$WORK/home-$name" port=$((17000 + RANDOM % 1000))
  mkdir -p "$home"
  printf '[config]\nmin_log_level=warning\nFPS=%s\nAudioEnable=1\nAudioSample=48000\nPushFlowType=1\nPrivatePort=%s\n' \
    "$FPS" "$port" >"$home/config.ini"
  # shellcheck disable=SC2086
  "$BIN/ostrel" --headless --home "$home" --capture "$name" $args >"$WORK/$name.out" 2>"$WORK/$name.err" &
  local ostrel=$!
  for _ in $(seq 200); do grep -q "ostrel: running" "$WORK/$name.out" 2>/dev/null && break; sleep 0.1; done
  "$BIN/ostrel-client" -p "$port" -d $((WARMUP + SECONDS_PER_RUN + 1)) >/dev/null 2>"$WORK/$name-client.err" &
  local client=$!
  sleep "$WARMUP"
  local t0 c0 d0 t1 c1 d1
  t0="$(date +%s.%N)"; c0="$(ticks_of "$ostrel")"; d0="$(ticks_of "$@")"
  sleep "$SECONDS_PER_RUN"
  t1="$(date +%s.%N)"; c1="$(ticks_of "$ostrel")"; d1="$(ticks_of "$@")"
  wait "$client" || true
  kill -INT "$ostrel"; wait "$ostrel" || true
  local lat rate
  lat="$(sed -n 's/.*video latency p50 \([0-9]*\) ms, p99 \([0-9]*\) ms.*/\1\/\2/p' "$WORK/$name-client.err")"
  rate="$(sed -n 's/.*: \([0-9]*\) video frames,.*/\1/p' "$WORK/$name-client.err" |
    awk -v d=$((WARMUP + SECONDS_PER_RUN + 1)) '{ printf "%.1f", $1 / d }')"
  awk -v c0="$c0" -v c1="$c1" -v d0="$d0" -v d1="$d1" -v t0="$t0" -v t1="$t1" -v hz="$HZ" \
    -v rate="${rate:-n/a}" -v lat="${lat:-n/a}" \
    'BEGIN { printf "%.3f %.3f %s %s\n", (c1 - c0) / hz / (t1 - t0), (d1 - d0) / hz / (t1 - t0), rate, lat }'
}

# X11: a private Xvfb showing the scene, a private PulseAudio playing a tone.
ostrel_private_display "$WORK" "$WIDTH" "$HEIGHT" 50 "$SCENE"
ostrel_private_sound "$WORK" bench
sleep 2
read -r X_CPU X_DESKTOP X_RATE X_LAT < <(run x11 "" "${OSTREL_PIDS[0]}")  # the Xvfb
ostrel_stop_private
unset DISPLAY

# Wayland: the rig, the same scene as a full-screen Wayland client, a tone
# into PipeWire's Pulse server.
"$ROOT/scripts/wayland-rig.sh" up "$WORK/rig" "$XDPW"
set -a; . "$WORK/rig/env"; set +a
SDL_VIDEODRIVER=wayland ffplay -loglevel error -noborder -fs -an -f lavfi "$SCENE" >"$WORK/scene-wl.log" 2>&1 &
OSTREL_PIDS+=($!)
(ffmpeg -loglevel error -f lavfi -i sine=frequency=440:sample_rate=48000 -ac 2 -f s16le - |
   pacat --raw --format=s16le --rate=48000 --channels=2) >/dev/null 2>&1 &
OSTREL_PIDS+=($!)
sleep 2
DESKTOP=()
while read -r pid _ name; do
  case "$name" in compositor|portal-backend|pipewire) DESKTOP+=("$pid");; esac
done <"$WORK/rig/pids"
# The whole output as a region: the same 1280x720 picture as the X11 run, and
# the same crop path the X11 region run takes.
read -r W_CPU W_DESKTOP W_RATE W_LAT < <(run portal "--mode region --region 0,0,$WIDTH,$HEIGHT" "${DESKTOP[@]}")

printf "%-8s %-10s %-6s %-16s %-24s %-14s %s\n" back-end size fps "ostrel cpu s/s" "desktop side cpu s/s" \
  "pictures/s" "latency p50/p99 (ms)"
printf "%-8s %-10s %-6s %-16s %-24s %-14s %s\n" x11 "${WIDTH}x$HEIGHT" "$FPS" "$X_CPU" "$X_DESKTOP" \
  "$X_RATE" "$X_LAT"
printf "%-8s %-10s %-6s %-16s %-24s %-14s %s\n" portal "${WIDTH}x$HEIGHT" "$FPS" "$W_CPU" "$W_DESKTOP" "$W_RATE" "$W_LAT"
echo "ostrel cpu portal / x11: $(awk -v a="$W_CPU" -v b="$X_CPU" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
