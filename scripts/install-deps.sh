#!/usr/bin/env bash
# Installs every Debian package Ostrel needs to build, run and test.
# Fast when everything is already installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
  libx264-dev libyuv-dev ffmpeg
  libprotobuf-dev protobuf-compiler
  libace-dev libgoogle-glog-dev libinih-dev
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-l10n-tools
  libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-randr0-dev libxcb-composite0-dev libxcb-xfixes0-dev
  libpulse-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb x11-utils x11-xserver-utils openbox xdotool trayer imagemagick
  pulseaudio pulseaudio-utils
  libpipewire-0.3-dev libsystemd-dev pipewire pipewire-bin pipewire-pulse wireplumber
  dbus-daemon gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base
  sway xdg-desktop-portal xdg-desktop-portal-wlr foot dpkg-dev
  libmfx-dev libffmpeg-nvenc-dev
  fonts-wqy-microhei
  nginx-light libnginx-mod-rtmp
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${#missing[@]} packages: ${missing[*]}"
echo "install-deps: updating the package lists"
$SUDO apt-get update -qq
# -q keeps apt's per-package lines (download, unpack, set up) as progress.
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
