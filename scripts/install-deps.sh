#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, test and run orvelgate.
# Does nothing when every package is present. Extra packages can be named as arguments.
set -euo pipefail

# libxcb1-dev: the windows ask the X11 window manager for their frames. icewm, xdotool
# and x11-utils: the test of the windows under a window manager. libsystemd-dev (found
# through pkg-config): the service manager's notifications. prometheus: for promtool,
# which checks the driver's metrics in the tests. libfuse3-dev and fuse3: the power-cut
# disk of the fault runs, a FUSE file system that forgets what was never synced.
packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev qt6-base-dev libxcb1-dev
          libsystemd-dev xvfb xauth icewm xdotool x11-utils prometheus libfuse3-dev fuse3 "$@")

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
# No package starts its service during this install: prometheus is wanted for promtool
# only, and in a container without systemd its postinst would start the server from its
# init script (or fail the install when it cannot). Where no policy-rc.d exists, one that
# refuses every start is put in place for the install and taken away after it.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# orvelgate install-deps: no service starts while it installs\nexit 101\n' |
    $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  trap '$sudo rm -f "$policy"' EXIT
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
