#!/usr/bin/env bash
# A private headless Wayland desktop with the screen-cast portal, for the
# Wayland capture tests: its own session bus, PipeWire with its Pulse server,
# a headless compositor (software rendering, one 1280x720 output HEADLESS-1),
# the desktop portal and a patched wlroots portal back-end, and a small
# terminal window that keeps changing so the compositor keeps sending frames.
# Every socket, setting and file lives under one directory, so rigs of
# parallel tests never meet each other or the machine's own desktop.
#
#   wayland-rig.sh build CACHE_DIR        builds the patched portal back-end
#                                         into CACHE_DIR once (root: installs
#                                         its build dependencies from Debian)
#   wayland-rig.sh up RIG_DIR XDPW        starts the desktop with the back-end
#                                         binary XDPW; writes RIG_DIR/env
#   wayland-rig.sh down RIG_DIR           stops what 'up' started, by PID
#
# RIG_DIR/env holds KEY=VALUE lines (XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS,
# WAYLAND_DISPLAY, SWAYSOCK, PULSE_SERVER, ...): `set -a; . RIG_DIR/env`.
# Knobs for 'up':
#   RIG_CHOOSER=none   (default) the portal grants HEADLESS-1 without asking
#   RIG_CHOOSER=fail   the portal's chooser always fails: only a restore token
#                      from an earlier grant starts a cast
#   RIG_KEEP_TOKENS=1  keep the permission store (the restore tokens) of the
#                      previous 'up' in the same RIG_DIR
# Change the picture: swaymsg output HEADLESS-1 bg '#ff0000' solid_color
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
PATCH="$HERE/../tests/support/wayland/xdpw-0.7.0-headless.patch"
XDPW_VERSION=0.7.0
XDPW_DEBIAN_VERSION=0.7.0-1
# The compositor refuses to run as root; it runs as this unprivileged user.
COMPOSITOR_UID="${RIG_COMPOSITOR_UID:-65534}"

T0=$(date +%s%N)
say() { echo "wayland-rig: [+$(( ($(date +%s%N) - T0) / 1000000 )) ms] $*" >&2; }
# A failing 'up' stops what it had started before it exits.
# A failing 'build' leaves its reason beside the binary for the tests to print.
fail() {
  say "FAILED: $*"
  [ "${cmd:-}" = up ] && down
  [ "${cmd:-}" = build ] && [ -d "${CACHE:-}" ] && echo "$*" >"$CACHE/unavailable"
  exit 1
}

# Polls a command for up to $1 seconds.
wait_until() {
  local tries=$(( $1 * 20 )); shift
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.05
  done
}

# ---------------------------------------------------------------- build ---

# Debian's source packages need a deb-src entry; a deb822 system gets one for
# bookworm main beside its debian.sources.
ensure_deb_src() {
  if grep -qsE '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources ||
     grep -qsE '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list; then
    return 0
  fi
  local uri
  uri=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
  say "adding a deb-src entry for bookworm main (${uri:-http://deb.debian.org/debian})"
  cat >/etc/apt/sources.list.d/ostrel-deb-src.sources <<EOS
Types: deb-src
URIs: ${uri:-http://deb.debian.org/debian}
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOS
  apt-get update -qq || return 1
}

build() {
  CACHE="$1"
  local cache="$1" binary="$1/xdg-desktop-portal-wlr"
  local stamp="$cache/patch.sha256" want
  want=$(sha256sum "$PATCH" | cut -d' ' -f1)
  if [ -x "$binary" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then
    say "patched portal back-end already built: $binary"
    return 0
  fi
  mkdir -p "$cache/src" || fail "cannot create $cache"
  rm -f "$cache/unavailable"
  [ "$(id -u)" -eq 0 ] || fail "building the portal back-end installs Debian packages: run as root"
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300)
  ensure_deb_src || fail "cannot add a deb-src entry"
  say "installing the build dependencies of xdg-desktop-portal-wlr"
  "${apt[@]}" build-dep -y xdg-desktop-portal-wlr >"$cache/build-dep.log" 2>&1 ||
    fail "apt-get build-dep xdg-desktop-portal-wlr (see $cache/build-dep.log)"
  local tree="$cache/src/xdg-desktop-portal-wlr-$XDPW_VERSION"
  rm -rf "$tree"
  say "fetching Debian's source of xdg-desktop-portal-wlr $XDPW_DEBIAN_VERSION"
  (cd "$cache/src" && "${apt[@]}" source "xdg-desktop-portal-wlr=$XDPW_DEBIAN_VERSION") \
    >"$cache/source.log" 2>&1 || fail "apt-get source (see $cache/source.log)"
  say "applying $(basename "$PATCH")"
  patch -d "$tree" -p1 --forward --quiet <"$PATCH" || fail "the patch does not apply"
  say "building (meson + ninja)"
  { meson setup "$tree/build" "$tree" -Dsd-bus-provider=libsystemd &&
    ninja -C "$tree/build"; } >"$cache/build.log" 2>&1 || fail "build (see $cache/build.log)"
  cp "$tree/build/xdg-desktop-portal-wlr" "$binary" || fail "cannot copy the binary"
  echo "$want" >"$stamp"
  say "built $binary"
}

# ------------------------------------------------------------- up / down ---

# Each started process is one line "PID START_TIME NAME" in $PIDS; the start
# time (field 22 of /proc/PID/stat) keeps 'down' from ever signalling another
# process that got a recycled PID.
start_time() { awk '{ print $22 }' "/proc/$1/stat" 2>/dev/null; }
remember() { echo "$1 $(start_time "$1") $2" >>"$PIDS"; }
spawn() {
  local name="$1"; shift
  "$@" >"$LOGS/$name.log" 2>&1 &
  remember $! "$name"
  say "started $name (pid $!)"
}
# Alive (not a zombie) and not a recycled PID.
still_ours() {
  [ -n "$2" ] && [ "$(start_time "$1")" = "$2" ] &&
    [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

down() {
  [ -f "$PIDS" ] || return 0
  # Helpers the bus started on demand are ours as well.
  if [ -S "$RT/bus" ]; then
    local n p
    for n in org.freedesktop.impl.portal.desktop.wlr org.freedesktop.portal.Documents \
             org.freedesktop.impl.portal.PermissionStore; do
      p=$(DBUS_SESSION_BUS_ADDRESS="unix:path=$RT/bus" timeout 2 busctl --user status "$n" 2>/dev/null |
          sed -n 's/^PID=//p')
      [ -n "$p" ] && ! grep -q "^$p " "$PIDS" && remember "$p" "$n"
    done
  fi
  local pid st name
  while read -r pid st name; do
    still_ours "$pid" "$st" && kill "$pid" 2>/dev/null && say "stopping $name (pid $pid)"
  done < <(tac "$PIDS")
  for _ in $(seq 40); do
    local alive=0
    while read -r pid st name; do still_ours "$pid" "$st" && alive=1; done <"$PIDS"
    [ "$alive" -eq 0 ] && break
    sleep 0.05
  done
  while read -r pid st name; do
    still_ours "$pid" "$st" && kill -9 "$pid" 2>/dev/null && say "killed $name (pid $pid)"
  done <"$PIDS"
  mountpoint -q "$RT/doc" 2>/dev/null && fusermount -u "$RT/doc"
  rm -f "$PIDS"
  say "down"
}

write_configs() {
  cat >"$CFG/sway.conf" <<'EOC'
xwayland disable
default_border none
output HEADLESS-1 mode 1280x720 bg #336699 solid_color
# The animated window stays small in the top-left corner, so the rest of the
# output shows the background colour that tests change.
for_window [title="^rig-anim$"] floating enable, resize set 320 96, move position 0 0
EOC
  local chooser
  if [ "${RIG_CHOOSER:-none}" = fail ]; then
    chooser=$'chooser_type=simple\nchooser_cmd=/bin/false'
  else
    chooser=$'chooser_type=none\noutput_name=HEADLESS-1'
  fi
  printf '[screencast]\n%s\nmax_fps=60\n' "$chooser" >"$CFG/xdpw.conf"
  # The bus starts the back-end on demand too: our service file comes first,
  # so it is never the unpatched one of the system.
  printf '#!/bin/sh\nexec "%s" -l DEBUG -c "%s" >>"%s" 2>&1\n' "$XDPW" "$CFG/xdpw.conf" \
    "$LOGS/xdpw.log" >"$CFG/xdpw.sh"
  chmod +x "$CFG/xdpw.sh"
  mkdir -p "$CFG/services"
  printf '[D-BUS Service]\nName=org.freedesktop.impl.portal.desktop.wlr\nExec=%s\n' "$CFG/xdpw.sh" \
    >"$CFG/services/org.freedesktop.impl.portal.desktop.wlr.service"
  cat >"$CFG/bus.conf" <<EOC
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <servicedir>$CFG/services</servicedir>
  <include>/usr/share/dbus-1/session.conf</include>
</busconfig>
EOC
  printf '#!/bin/sh\nwhile :; do date +%%T.%%N; sleep 0.02; done\n' >"$CFG/anim.sh"
  chmod +x "$CFG/anim.sh"
}

up() {
  [ -x "$XDPW" ] || fail "no portal back-end at $XDPW (run: $0 build DIR)"
  for tool in dbus-daemon pipewire wireplumber pipewire-pulse pactl sway swaymsg foot busctl; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh)"
  done
  [ -x /usr/libexec/xdg-desktop-portal ] || fail "xdg-desktop-portal is not installed"
  down
  rm -rf "$RT" "$LOGS" "$CFG"
  [ "${RIG_KEEP_TOKENS:-0}" = 1 ] || rm -rf "$HOMEDIR"
  mkdir -p "$RT" "$LOGS" "$CFG" "$HOMEDIR" || fail "cannot create $RIG_DIR"
  chmod 700 "$RT"
  local as_compositor=()
  if [ "$(id -u)" -eq 0 ]; then
    # The runtime directory must belong to the compositor's user; root's
    # processes reach its sockets all the same.
    chown "$COMPOSITOR_UID" "$RT" "$HOMEDIR"
    as_compositor=(setpriv --reuid="$COMPOSITOR_UID" --regid="$COMPOSITOR_UID" --clear-groups)
    chmod 711 "$RIG_DIR"
    "${as_compositor[@]}" test -w "$RT" ||
      fail "user $COMPOSITOR_UID cannot reach $RT: every directory above it must be searchable (chmod o+x)"
  fi
  write_configs

  export XDG_RUNTIME_DIR="$RT" HOME="$HOMEDIR"
  export XDG_CONFIG_HOME="$HOMEDIR/.config" XDG_DATA_HOME="$HOMEDIR/.local/share"
  export XDG_STATE_HOME="$HOMEDIR/.local/state" XDG_CACHE_HOME="$HOMEDIR/.cache"
  # The desktop portal picks the wlroots back-end only for this desktop name.
  export XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland
  export WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS=1 WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1
  export WAYLAND_DISPLAY=wayland-1 DBUS_SESSION_BUS_ADDRESS="unix:path=$RT/bus"
  export PULSE_SERVER="unix:$RT/pulse/native"
  unset DISPLAY SWAYSOCK PIPEWIRE_REMOTE

  spawn bus dbus-daemon --config-file="$CFG/bus.conf" --nofork --nopidfile \
    --address="$DBUS_SESSION_BUS_ADDRESS"
  wait_until 5 test -S "$RT/bus" || fail "the session bus did not start (log: $LOGS/bus.log)"

  spawn pipewire pipewire
  wait_until 5 test -S "$RT/pipewire-0" || fail "pipewire did not start (log: $LOGS/pipewire.log)"
  spawn wireplumber wireplumber
  spawn pipewire-pulse pipewire-pulse
  wait_until 5 pactl info || fail "PipeWire's Pulse server did not answer (log: $LOGS/pipewire-pulse.log)"
  # No sound card here: a null sink is the default output whose monitor the
  # sound capture records.
  pactl load-module module-null-sink sink_name=rig_sink rate=48000 >/dev/null &&
    pactl set-default-sink rig_sink || fail "cannot create the null sink"

  spawn compositor "${as_compositor[@]}" env HOME="$HOMEDIR" sway -c "$CFG/sway.conf"
  wait_until 10 test -S "$RT/$WAYLAND_DISPLAY" || fail "the compositor did not start (log: $LOGS/compositor.log)"
  wait_until 10 sh -c "ls '$RT'/sway-ipc.*.sock" || fail "the compositor's IPC socket is missing"
  SWAYSOCK=$(ls "$RT"/sway-ipc.*.sock | head -1)
  export SWAYSOCK
  wait_until 10 swaymsg -t get_outputs || fail "the compositor does not answer"
  swaymsg "exec foot --title rig-anim $CFG/anim.sh" >/dev/null || fail "cannot start the animated window"

  spawn portal-backend "$CFG/xdpw.sh"
  wait_until 10 busctl --user status org.freedesktop.impl.portal.desktop.wlr ||
    fail "the portal back-end did not start (log: $LOGS/xdpw.log)"
  spawn portal /usr/libexec/xdg-desktop-portal --replace
  wait_until 10 busctl --user status org.freedesktop.portal.Desktop ||
    fail "the desktop portal did not start (log: $LOGS/portal.log)"

  {
    for k in XDG_RUNTIME_DIR DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY SWAYSOCK PULSE_SERVER \
             XDG_SESSION_TYPE XDG_CURRENT_DESKTOP; do
      echo "$k=${!k}"
    done
  } >"$RIG_DIR/env"
  say "up in $(( ($(date +%s%N) - T0) / 1000000 )) ms; environment in $RIG_DIR/env"
}

cmd="${1:-}"
case "$cmd" in
  build)
    [ $# -eq 2 ] || { echo "usage: $0 build CACHE_DIR" >&2; exit 2; }
    build "$(realpath -m "$2")"
    ;;
  up|down)
    if [ "$cmd" = up ]; then
      [ $# -eq 3 ] || { echo "usage: $0 up RIG_DIR XDPW" >&2; exit 2; }
      XDPW="$(realpath -m "$3")"
    else
      [ $# -eq 2 ] || { echo "usage: $0 down RIG_DIR" >&2; exit 2; }
    fi
    RIG_DIR="$(realpath -m "$2")"
    RT="$RIG_DIR/rt" LOGS="$RIG_DIR/log" CFG="$RIG_DIR/cfg" HOMEDIR="$RIG_DIR/home" PIDS="$RIG_DIR/pids"
    mkdir -p "$RIG_DIR"
    "$cmd"
    ;;
  *)
    echo "usage: $0 build CACHE_DIR | up RIG_DIR XDPW | down RIG_DIR" >&2
    exit 2
    ;;
esac
