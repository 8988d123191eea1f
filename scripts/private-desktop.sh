# Sourced by scripts/run.sh and bench/pipeline/run.sh: a private virtual
# display showing a moving test scene, and a private sound server playing a
# tone. Started processes are appended to OSTREL_PIDS; the caller ends them.

OSTREL_PIDS=()

# ostrel_private_display DIR WIDTH HEIGHT RATE — exports DISPLAY.
ostrel_private_display() {
  local dir="$1" width="$2" height="$3" rate="$4"
  exec 9>"$dir/displayfd"
  Xvfb -displayfd 9 -screen 0 "${width}x${height}x24" -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  OSTREL_PIDS+=($!)
  for _ in $(seq 100); do [ -s "$dir/displayfd" ] && break; sleep 0.1; done
  exec 9>&-
  export DISPLAY=":$(head -n1 "$dir/displayfd")"
  ffplay -loglevel error -noborder -left 0 -top 0 -x "$width" -y "$height" -an \
    -f lavfi "testsrc2=size=${width}x${height}:rate=${rate}" >"$dir/scene.log" 2>&1 &
  OSTREL_PIDS+=($!)
}

# ostrel_private_sound DIR SINK — exports XDG_RUNTIME_DIR and PULSE_SERVER and
# plays a 440 Hz tone into SINK, the default sink.
ostrel_private_sound() {
  local dir="$1" sink="$2"
  mkdir -p "$dir/pulse"
  export XDG_RUNTIME_DIR="$dir/pulse"
  pulseaudio --daemonize=no --exit-idle-time=-1 -n --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=$sink rate=48000" >"$dir/pulse.log" 2>&1 &
  OSTREL_PIDS+=($!)
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl set-default-sink "$sink" >/dev/null 2>&1 || true
  (ffmpeg -loglevel error -f lavfi -i "sine=frequency=440:sample_rate=48000" -ac 2 -f s16le - |
     pacat --raw --format=s16le --rate=48000 --channels=2 --device="$sink") >/dev/null 2>&1 &
  OSTREL_PIDS+=($!)
}

ostrel_stop_private() {
  for pid in "${OSTREL_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  # The tone pipeline runs in a subshell; end its members too.
  pkill -P $$ 2>/dev/null || true
}
