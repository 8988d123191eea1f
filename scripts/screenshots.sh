#!/usr/bin/env bash
# Takes the documentation's screenshots on private X servers (Xvfb + openbox +
# trayer): the main dialog idle and running, the settings dialog, the region
# frame over a desktop and the monitor markers, in Chinese and English, at the
# normal size (440 x 350, on a 1280 x 800 screen) and the large one (720 x 580,
# on a 3840 x 2160 screen). Xvfb has one RandR monitor, so two monitors are
# simulated with OSTREL_FAKE_MONITORS (a test aid read by the dialog).
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default build/; needs the
# ostrel_ui_screens target, built with the tests)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${1:-$ROOT/build}"
DRIVER="$BUILD_DIR/tests/app/ui/ostrel_ui_screens"
OUT="$ROOT/docs/screenshots"
[ -x "$DRIVER" ] || cmake --build "$BUILD_DIR" --target ostrel_ui_screens
for tool in Xvfb openbox trayer xsetroot import; do
  command -v "$tool" > /dev/null || { echo "screenshots: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
mkdir -p "$OUT"
# The settings dialog and the region frame are optional parts of a build.
SKIP=()
[ -f "$ROOT/src/app/ui/ViZaroduDezoSetDlg.cpp" ] || SKIP+=(--skip-settings)
[ -f "$ROOT/src/app/ui/ViZaroduDezoDlg.cpp" ] || SKIP+=(--skip-region)
[ ${#SKIP[@]} -eq 0 ] || echo "screenshots: no settings dialog or region frame in this tree; skipping ${SKIP[*]}"

WORK="$(mktemp -d /tmp/ostrel-shots-XXXXXX)"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# shoot LANG_TAG LOCALE SCREEN_W SCREEN_H SIZE_TAG
shoot() {
  local tag=$1 locale=$2 sw=$3 sh=$4 size=$5
  local home="$WORK/$tag-$size" fifo="$WORK/dpy-$tag-$size"
  mkdir -p "$home"
  printf '[config]\nmin_log_level=warning\nPushFlowType=1\nPrivatePort=%d\nSyncRecord=0\n' $((46000 + RANDOM % 1000)) \
    > "$home/config.ini"
  Xvfb -displayfd 3 -screen 0 "${sw}x${sh}x24" -nolisten tcp -noreset 3> "$fifo" 2> /dev/null &
  local xpid=$!
  PIDS+=("$xpid")
  for _ in $(seq 100); do [ -s "$fifo" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$fifo")"
  xsetroot -mod 16 16 -fg '#34679a' -bg '#2b5883'
  openbox --sm-disable > /dev/null 2>&1 &
  PIDS+=("$!")
  sleep 1
  trayer --edge bottom --align right --widthtype pixel --width 64 --height 24 > /dev/null 2>&1 &
  PIDS+=("$!")
  sleep 1
  # The first simulated monitor is the real screen, so the running picture
  # streams what the capture really sees; the second only needs its marker.
  local hw=$((sw / 2)) hh=$((sh / 2))
  coproc DRIVE {
    LANG="$locale" LC_ALL="$locale" LANGUAGE= ASAN_OPTIONS=detect_leaks=0 \
      OSTREL_FAKE_MONITORS="${sw}x${sh}+0+0,${hw}x${hh}+${hw}+0" \
      exec "$DRIVER" --home "$home" "${SKIP[@]}" 2> "$home/driver.err"
  }
  local verb name geometry
  while read -r -u "${DRIVE[0]}" verb name geometry; do
    [ "$verb" = DONE ] && break
    [ "$verb" = SHOT ] || continue
    # Whole-screen pictures only at the normal size: the large screen adds nothing but bytes.
    if [ "$size" = normal ] || [[ "$name" == main-* || "$name" == settings ]]; then
      import -window root -crop "$geometry" +repage "$OUT/$tag-$size-$name.png"
      echo "screenshots: $tag-$size-$name.png"
    fi
    echo next >&"${DRIVE[1]}"
  done
  wait "$DRIVE_PID" 2> /dev/null || true
  for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null || true; done
  PIDS=()
  sleep 0.5
}

shoot zh zh_CN.UTF-8 1280 800 normal
shoot en en_US.UTF-8 1280 800 normal
shoot zh zh_CN.UTF-8 3840 2160 large
shoot en en_US.UTF-8 3840 2160 large
echo "screenshots: written to $OUT"
