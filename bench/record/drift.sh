#!/usr/bin/env bash
# Long-run A/V drift of a recording: the headless runner records MINUTES
# (default 60) of a private display that flashes white for 200 ms at the start
# of every second, while a click (20 ms of 1 kHz) starts every second in the
# sound. Both sources follow the system clock (the player's frame clock and the
# null sink's timer), so their offset is constant at the source; what changes
# between the start and the end of the file is drift added on the way.
# Prints the click-minus-flash offset over the first and the last ten seconds
# and their difference, and minute by minute the offset with how far the
# clicks and the flashes each moved from their own first one (a move of the
# sound alone is the sound path's, of the pictures alone the picture path's or
# the scene player's). Not a test; run by hand:
#     bash bench/record/drift.sh [MINUTES]
# OSTREL_BUILD_DIR picks the build (default build/); OSTREL_DRIFT_KEEP=DIR
# keeps the recording, the program's log and the measured event times there.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
MINUTES="${1:-60}"
BUILD_DIR="${OSTREL_BUILD_DIR:-$ROOT/build}"
BIN="$BUILD_DIR/bin"
[ -x "$BIN/ostrel" ] || "$ROOT/scripts/build.sh" "$BUILD_DIR" >/dev/null
WIDTH=640
HEIGHT=480
FPS=25

# shellcheck source=scripts/private-desktop.sh
. "$ROOT/scripts/private-desktop.sh"
ostrel_private_workdir ostrel-drift
# The scene and the sound, started together.
ostrel_private_display "$WORK" "$WIDTH" "$HEIGHT" 50 \
  "color=c=black:s=${WIDTH}x${HEIGHT}:r=50,drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='lt(mod(t,1),0.2)'"
ostrel_private_sound "$WORK" drift "aevalsrc='if(lt(mod(t,1),0.02),0.8*sin(2*PI*1000*t),0)':s=48000"
sleep 2

HOME_DIR="$WORK/home"
mkdir -p "$HOME_DIR/rec"
cat >"$HOME_DIR/config.ini" <<INI
[config]
min_log_level=warning
FPS=$FPS
EncodeType=1
AudioEnable=1
AudioSample=48000
PushFlowType=1
PrivatePort=$((17000 + RANDOM % 1000))
SyncRecord=1
RecordSplitType=0
RecordPath=$HOME_DIR/rec
INI
"$BIN/ostrel" --headless --home "$HOME_DIR" --duration "$(awk -v m="$MINUTES" 'BEGIN { print int(m * 60) }')" \
  >"$WORK/ostrel.out" 2>"$WORK/ostrel.err" || { cat "$WORK/ostrel.err" >&2; exit 1; }
FILE="$(ls "$HOME_DIR"/rec/*.mp4 | head -n1)"

# Flash onsets: the first picture of each second whose mean luma is high.
ffprobe -v error -f lavfi -i "movie=$FILE,signalstats" \
  -show_entries frame=pts_time:frame_tags=lavfi.signalstats.YAVG -of csv=p=0 >"$WORK/luma.csv"
# Click onsets: the ends of the silences between the clicks.
ffmpeg -nostdin -v info -i "$FILE" -vn -af silencedetect=noise=-30dB:d=0.3 -f null - 2>&1 |
  sed -n 's/.*silence_end: \([0-9.]*\).*/\1/p' >"$WORK/clicks.txt"

/usr/bin/python3 - "$WORK/luma.csv" "$WORK/clicks.txt" "$MINUTES" <<'PY'
import statistics, sys
flashes, prev = [], 0.0
for line in open(sys.argv[1]):
    parts = line.strip().split(",")
    if len(parts) < 2 or parts[0] in ("", "N/A"):
        continue
    t, y = float(parts[0]), float(parts[1])
    if y > 128 and prev <= 128:
        flashes.append(t)
    prev = y
clicks = [float(l) for l in open(sys.argv[2]) if l.strip()]
if len(flashes) < 20 or len(clicks) < 20:
    sys.exit(f"too few events: {len(flashes)} flashes, {len(clicks)} clicks")
def offsets(cs):
    return [(c - min(flashes, key=lambda f: abs(f - c))) * 1000 for c in cs]
start = statistics.median(offsets(clicks[1:11]))
end = statistics.median(offsets(clicks[-11:-1]))
print(f"recorded {sys.argv[3]} min: {len(flashes)} flashes, {len(clicks)} clicks")
# Each series alone repeats every second of its own source: where one of them
# moved against its first event shows which side the offset came from. The
# clicks are placed to the sample, the flashes to the picture (40 ms), so the
# picture side is a mean over the minute.
def residuals(ts):
    base = ts[0] % 1.0
    return [(t, ((t - base + 0.5) % 1.0 - 0.5) * 1000) for t in ts]
sound_side, picture_side = residuals(clicks), residuals(flashes)
# The offset minute by minute: a steady slope is a clock-rate drift, steps of
# one sound block (1024 samples) are blocks inserted or lost on the way.
for minute in range(0, int(clicks[-1] // 60) + 1):
    window = [c for c in clicks if minute * 60 <= c < (minute + 1) * 60]
    sound = [r for t, r in sound_side if minute * 60 <= t < (minute + 1) * 60]
    picture = [r for t, r in picture_side if minute * 60 <= t < (minute + 1) * 60]
    if len(window) >= 5 and picture:
        print(f"  minute {minute}: {statistics.median(offsets(window)):+.1f} ms"
              f" (sound {statistics.median(sound):+.1f}, picture {statistics.mean(picture):+.1f})")
print(f"A/V offset (click - flash) at start {start:+.1f} ms, at end {end:+.1f} ms, drift {end - start:+.1f} ms")
PY
if [ -n "${OSTREL_DRIFT_KEEP:-}" ]; then
  mkdir -p "$OSTREL_DRIFT_KEEP"
  cp "$FILE" "$WORK/luma.csv" "$WORK/clicks.txt" "$WORK/ostrel.out" "$WORK/ostrel.err" "$OSTREL_DRIFT_KEEP/"
  cp -r "$HOME_DIR/log" "$OSTREL_DRIFT_KEEP/" 2>/dev/null || true
fi
