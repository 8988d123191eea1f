#!/usr/bin/env bash
# Latency of each publishing path, measured on one machine without a screen:
# the test display's background turns white or black at a known instant, and
# a reader (ffmpeg, as a viewer's player would) decodes the published stream
# and notes when the change arrives. Capture timestamp -> arrival in the
# reader, plus at most one capture interval (40 ms at 25 fps) of waiting for
# the next tick. Usage: bench/publish/latency.sh BUILD_DIR [TOGGLES]
# Needs nginx with libnginx-mod-rtmp (scripts/install-deps.sh).
set -euo pipefail
BUILD="$(cd "${1:?build directory}" && pwd)"
TOGGLES="${2:-8}"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/../../scripts/private-desktop.sh"
ostrel_private_workdir ostrel-publish-latency

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
RTMP_PORT=$(free_port); HTTP_PORT=$(free_port); SRT_PORT=$(free_port)

exec 9>"$WORK/displayfd"
Xvfb -displayfd 9 -screen 0 1280x720x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
OSTREL_PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/displayfd" ] && break; sleep 0.1; done
exec 9>&-
export DISPLAY=":$(head -n1 "$WORK/displayfd")"
xsetroot -solid black

mkdir -p "$WORK/hls" "$WORK/tmp"
cat >"$WORK/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
$( [ "$(id -u)" = 0 ] && echo "user root root;" )
daemon off;
pid $WORK/nginx.pid;
error_log $WORK/nginx.log info;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:$RTMP_PORT;
  application live { live on; hls on; hls_path $WORK/hls; hls_fragment 1s; hls_playlist_length 4s; } } }
http { access_log off;
  client_body_temp_path $WORK/tmp; proxy_temp_path $WORK/tmp; fastcgi_temp_path $WORK/tmp;
  uwsgi_temp_path $WORK/tmp; scgi_temp_path $WORK/tmp;
  types { application/vnd.apple.mpegurl m3u8; video/mp2t ts; }
  server { listen 127.0.0.1:$HTTP_PORT; location /hls/ { alias $WORK/hls/; add_header Cache-Control no-cache; } } }
CONF
nginx -p "$WORK/" -c "$WORK/nginx.conf" -e "$WORK/nginx.log" &
OSTREL_PIDS+=($!)

printf '[config]\nmin_log_level=warning\nFPS=25\nEncodeSample=3000000\nPushFlowType=0\nAudioEnable=0\n' >"$WORK/config.ini"

# measure NAME PUBLISH_URL READER_URL [READER_OPTIONS...]
measure() {
  local name="$1" publish="$2" reader="$3"; shift 3
  # A region rather than a monitor: the monitor list of a fresh Xvfb is
  # sometimes empty (RandR's current resources).
  "$BUILD/bin/ostrel" --headless --home "$WORK" --mode region --region 0,0,1280,720 --publish "$publish" >"$WORK/ostrel-$name.log" 2>&1 &
  local ostrel=$!
  OSTREL_PIDS+=($ostrel)
  /usr/bin/python3 -u - "$name" "$reader" "$TOGGLES" "$@" <<'PY'
import subprocess, sys, threading, time
name, url, toggles, extra = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
W, H = 32, 18
cmd = ["ffmpeg", "-nostdin", "-loglevel", "error", "-fflags", "nobuffer", "-flags", "low_delay",
       *extra, "-i", url, "-an", "-vf", f"scale={W}:{H},format=gray", "-f", "rawvideo", "-"]
frames = []  # (arrival, mean)
lock = threading.Lock()
def read(proc):
    while True:
        buf = proc.stdout.read(W * H)
        if len(buf) < W * H:
            return
        with lock:
            frames.append((time.monotonic(), sum(buf) / len(buf)))
proc = None
deadline = time.monotonic() + 120
while time.monotonic() < deadline:  # the stream needs a few seconds to exist
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE)
    reader = threading.Thread(target=read, args=(proc,), daemon=True)
    reader.start()
    while reader.is_alive() and not frames:
        time.sleep(0.1)
    if frames: break
    proc.wait()
    time.sleep(1)
latencies = []
white = False
for i in range(toggles + 1):
    white = not white
    with lock:
        seen = len(frames)
    t0 = time.monotonic()
    subprocess.run(["xsetroot", "-solid", "white" if white else "black"], check=True)
    arrival = None
    while time.monotonic() - t0 < 20 and arrival is None:
        time.sleep(0.005)
        with lock:
            for t, mean in frames[seen:]:
                if (mean > 128) == white:
                    arrival = t
                    break
    print(f"{name}: change {i} {'white' if white else 'black'}: "
          f"{'none' if arrival is None else f'{(arrival - t0) * 1000:.0f} ms'} ({len(frames)} frames)",
          file=sys.stderr)
    if arrival is not None and i > 0:  # the first change also waits for the player to settle
        latencies.append((arrival - t0) * 1000)
    time.sleep(1.5)
proc.kill()
latencies.sort()
if latencies:
    print(f"{name}: {len(latencies)} changes, min {latencies[0]:.0f} ms, "
          f"median {latencies[len(latencies)//2]:.0f} ms, max {latencies[-1]:.0f} ms")
else:
    print(f"{name}: no change arrived")
PY
  kill -INT "$ostrel"; wait "$ostrel" || true
}

measure rtmp "rtmp://127.0.0.1:$RTMP_PORT/live/lat" "rtmp://127.0.0.1:$RTMP_PORT/live/lat"
measure hls "rtmp://127.0.0.1:$RTMP_PORT/live/hls" "http://127.0.0.1:$HTTP_PORT/hls/hls.m3u8"
# SRT: the reader listens (ffplay 'srt://...?mode=listener' works the same way).
measure srt "srt://127.0.0.1:$SRT_PORT" "srt://127.0.0.1:$SRT_PORT?mode=listener"
