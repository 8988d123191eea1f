#!/usr/bin/env bash
# Installs, builds and starts Ostrel streaming over its private protocol on
# port 6000. With a reachable X display it captures that display; otherwise it
# starts a private virtual display with a moving test scene and a tone played
# into a private sound server, and captures those.
# Extra arguments go to `ostrel --headless` (e.g. --duration 60).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${OSTREL_BUILD_DIR:-$ROOT/build}"

# Every step says what it does and shows its own progress: on a fresh machine
# the packages and the first build take several minutes.
echo "ostrel: [1/3] checking the Debian packages (missing ones are installed)"
"$ROOT/scripts/install-deps.sh"
echo "ostrel: [2/3] building into $BUILD_DIR (the first build takes several minutes, later ones seconds)"
BUILD_START=$SECONDS
"$ROOT/scripts/build.sh" "$BUILD_DIR"
echo "ostrel: built in $((SECONDS - BUILD_START)) s"
echo "ostrel: [3/3] starting the server"
BIN="$BUILD_DIR/bin"

# shellcheck source=scripts/private-desktop.sh
. "$ROOT/scripts/private-desktop.sh"
RUNTIME=""
cleanup() {
  ostrel_stop_private
  if [ -n "$RUNTIME" ]; then rm -rf "$RUNTIME"; fi
}
trap cleanup EXIT

AUDIO=0
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  RUNTIME="$(mktemp -d /tmp/ostrel-run-XXXXXX)"
  echo "ostrel: no X display reachable; starting a private one with a test scene and a tone"
  ostrel_private_display "$RUNTIME" 1920 1080 25
  ostrel_private_sound "$RUNTIME" ostrel
  AUDIO=1
elif pactl info >/dev/null 2>&1; then
  AUDIO=1
fi

# The first run writes a config.ini that streams over the private protocol;
# later runs keep whatever the operator changed in it.
if [ ! -f "$BIN/config.ini" ]; then
  cat >"$BIN/config.ini" <<INI
[config]
min_log_level=warning
enable_console_log=false
FPS=25
EncodeSample=3000000
EncodeCache=1000
EncodeType=1
AudioEnable=$AUDIO
AudioSample=48000
AudioBitRate=96000
RecordPath=$HOME/Videos
RecordSplitType=0
SyncRecord=0
PushFlowType=1
PrivatePort=6000
INI
fi

PORT="$(sed -n 's/^[Pp][Rr][Ii][Vv][Aa][Tt][Ee][Pp][Oo][Rr][Tt]=\([0-9]*\).*/\1/p' "$BIN/config.ini" | head -n1)"
echo "ostrel: watch the stream with:"
echo "    $BIN/ostrel-client --host 127.0.0.1 --port ${PORT:-6000} --output - | ffplay -fflags nobuffer -loglevel error -"
"$BIN/ostrel" --headless --home "$BIN" "$@"
