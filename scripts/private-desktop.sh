# Sourced by scripts/run.sh and the benchmarks: a private virtual display
# showing a scene (a moving test pattern unless told otherwise), and a private
# sound server playing a sound (a tone unless told otherwise). Started
# processes are appended to OSTREL_PIDS; the caller ends them, or lets
# ostrel_private_workdir's exit trap do it.

OSTREL_PIDS=()

# ostrel_private_display DIR WIDTH HEIGHT RATE [LAVFI_SCENE] — exports DISPLAY.
ostrel_private_display() {
  local dir="$1" width="$2" height="$3" rate="$4"
  local scene="${5:-testsrc2=size=${width}x${height}:rate=${rate}}"
  exec 9>"$dir/displayfd"
  Xvfb -displayfd 9 -screen 0 "${width}x${height}x24" -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  OSTREL_PIDS+=($!)
  for _ in $(seq 100); do [ -s "$dir/displayfd" ] && break; sleep 0.1; done
  exec 9>&-
  export DISPLAY=":$(head -n1 "$dir/displayfd")"
  ffplay -loglevel error -noborder -left 0 -top 0 -x "$width" -y "$height" -an \
    -f lavfi "$scene" >"$dir/scene.log" 2>&1 &
  OSTREL_PIDS+=($!)
}

# ostrel_private_sound DIR SINK [LAVFI_SOUND] — exports XDG_RUNTIME_DIR and
# PULSE_SERVER and plays the sound (a 440 Hz tone) into SINK, the default sink.
ostrel_private_sound() {
  local dir="$1" sink="$2" sound="${3:-sine=frequency=440:sample_rate=48000}"
  mkdir -p "$dir/pulse"
  export XDG_RUNTIME_DIR="$dir/pulse"
  pulseaudio --daemonize=no --exit-idle-time=-1 -n --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=$sink rate=48000" >"$dir/pulse.log" 2>&1 &
  OSTREL_PIDS+=($!)
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl set-default-sink "$sink" >/dev/null 2>&1 || true
  (ffmpeg -loglevel error -f lavfi -i "$sound" -ac 2 -f s16le - |
     pacat --raw --format=s16le --rate=48000 --channels=2 --device="$sink") >/dev/null 2>&1 &
  OSTREL_PIDS+=($!)
}

ostrel_stop_private() {
  for pid in "${OSTREL_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  # The tone pipeline runs in a subshell; end its members too.
  pkill -P $$ 2>/dev/null || true
}

# ostrel_private_workdir PREFIX — sets WORK to a new scratch directory; at exit
# the private desktop is stopped and the directory removed.
ostrel_private_workdir() {
  WORK="$(mktemp -d "/tmp/$1-XXXXXX")"
  trap 'ostrel_stop_private; wait 2>/dev/null || true; rm -rf "$WORK"' EXIT
}

# ostrel_cpu_ticks PID — user + system clock ticks of a process so far.
ostrel_cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
