#!/usr/bin/env bash
# One build alone: its headless runner streams a private 1920x1080 scene with
# a tone to one ostrel-client, and the script prints each thread's CPU (clock
# ticks over the run), the client's latency and the per-stage times the
# runner writes (OSTREL_STAGE_TIMING). Not a test; run by hand:
#     bash bench/pipeline/stages.sh BUILD_DIR [moving|still] [FPS] [SECONDS]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${1:?build directory}"
SCENE="${2:-moving}"
FPS="${3:-25}"
SECONDS_PER_RUN="${4:-20}"
WARMUP=3

# shellcheck source=scripts/private-desktop.sh
. "$ROOT/scripts/private-desktop.sh"
ostrel_private_workdir ostrel-stages

if [ "$SCENE" = still ]; then
  ostrel_private_display "$WORK" 1920 1080 50 "testsrc2=size=1920x1080:rate=1/60"
else
  ostrel_private_display "$WORK" 1920 1080 50
fi
ostrel_private_sound "$WORK" bench
sleep 2

HOME_DIR="$WORK/home"
mkdir -p "$HOME_DIR"
printf '[config]\nmin_log_level=warning\nFPS=%s\nEncodeSample=3000000\nEncodeType=1\nAudioEnable=1\nAudioSample=48000\nPushFlowType=1\nPrivatePort=16201\n' \
  "$FPS" >"$HOME_DIR/config.ini"
OSTREL_STAGE_TIMING="$WORK/stages.txt" "$BUILD/bin/ostrel" --headless --home "$HOME_DIR" >"$WORK/ostrel.out" 2>"$WORK/ostrel.err" &
PID=$!
for _ in $(seq 100); do grep -q "ostrel: running" "$WORK/ostrel.out" 2>/dev/null && break; sleep 0.1; done
"$BUILD/bin/ostrel-client" -p 16201 -d $((WARMUP + SECONDS_PER_RUN + 1)) >/dev/null 2>"$WORK/client.err" &
CLIENT=$!
sleep "$WARMUP"
declare -A BEFORE
for t in /proc/"$PID"/task/*; do BEFORE[${t##*/}]="$(awk '{print $14 + $15}' "$t/stat")"; done
sleep "$SECONDS_PER_RUN"
echo "thread CPU over ${SECONDS_PER_RUN} s, in clock ticks of 1/$(getconf CLK_TCK) s:"
for t in /proc/"$PID"/task/*; do
  echo "  $(cat "$t/comm") $(( $(awk '{print $14 + $15}' "$t/stat") - ${BEFORE[${t##*/}]:-0} ))"
done | sort -k2 -n -r
wait "$CLIENT" || true
kill -INT "$PID"; wait "$PID" || true
tail -2 "$WORK/client.err"
[ -s "$WORK/stages.txt" ] && cat "$WORK/stages.txt"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
