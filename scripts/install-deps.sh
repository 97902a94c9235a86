#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, test and run orvelgate.
# Does nothing when every package is present. Extra packages can be named as arguments.
set -euo pipefail

# libxcb1-dev: the windows ask the X11 window manager for their frames. icewm, xdotool
# and x11-utils: the test of the windows under a window manager. libsystemd-dev (found
# through pkg-config): the service manager's notifications.
packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev qt6-base-dev libxcb1-dev
          libsystemd-dev xvfb xauth icewm xdotool x11-utils "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
