#!/usr/bin/env bash
# Pictures of the driver's windows as a desktop shows them, while the demo runs: the
# demo (simulated station, both reference servers, the driver) under a virtual X
# display with the icewm window manager, some seconds for the links to come up and
# events to flow, then, frames and titles included:
#   BUILD_DIR/screenshot.png              the main window
#   BUILD_DIR/screenshot-access-code.png  the access-code dialog (the close button pressed)
#   BUILD_DIR/screenshot-notice.png       the message box after a wrong code
# Everything started here is ended before the script returns.
#
#   scripts/screenshot.sh [BUILD_DIR]     (make screenshot installs what it needs first)
#
# SCREENSHOT_SETTLE: seconds between the window appearing and the picture (default 12).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
settle=${SCREENSHOT_SETTLE:-12}
out=$build/screenshot.png
title="Драйвер Orvel"
source "$root/scripts/window_manager.sh"

# ImageMagick's own tools, not a stand-in that may be first on PATH.
import=/usr/bin/import
for tool in "$import" xvfb-run "${WM_TOOLS[@]}"; do
  if ! command -v "$tool" >/dev/null; then
    echo "screenshot: $tool is missing (make screenshot installs it)" >&2
    exit 1
  fi
done

# Re-run under a fresh virtual display of our own.
if [[ -z ${SCREENSHOT_DISPLAY_READY:-} ]]; then
  exec env SCREENSHOT_DISPLAY_READY=1 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$build"
fi

demo_dir=$build/screenshot-demo
rm -rf "$demo_dir"
mkdir -p "$demo_dir"
log=$demo_dir/demo.log
mkdir -p "$demo_dir/icewm-home"
wm_start_icewm "$demo_dir/icewm-home" || { echo "screenshot: icewm did not come up" >&2; exit 1; }

# The demo in a session of its own, so that the terminal's Ctrl-C reaches us only; it
# ends its peers itself when told to end.
unset QT_QPA_PLATFORM
DEMO_DIR=$demo_dir setsid "$root/scripts/demo.sh" "$build" >"$log" 2>&1 &
demo_pid=$!
finish() {
  trap - EXIT INT TERM
  if kill -0 "$demo_pid" 2>/dev/null; then
    kill -TERM "$demo_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$demo_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$demo_pid" 2>/dev/null || true
  fi
  wait "$demo_pid" 2>/dev/null || true
  wm_stop
}
trap finish EXIT
trap 'exit 1' INT TERM

# The window appears once the driver has started.
if ! window=$(wm_find_window "$title" 30); then
  echo "screenshot: no window titled \"$title\" appeared; the demo's output:" >&2
  cat "$log" >&2
  exit 1
fi

echo "screenshot: window $window; waiting ${settle}s for events to flow"
sleep "$settle"
wm_picture "$window" "$out"
echo "screenshot: $out"

# The close button of the title strip asks for the code; a wrong one is told.
wm_click "$window" 431 12
dialog=$(wm_find_window "Закрытый доступ")
sleep 0.5
wm_picture "$dialog" "$build/screenshot-access-code.png"
echo "screenshot: $build/screenshot-access-code.png"
xdotool type --delay 20 00000
wm_click "$dialog" 103 70
box=$(wm_find_window "advsm")
sleep 0.5
wm_picture "$box" "$build/screenshot-notice.png"
echo "screenshot: $build/screenshot-notice.png"
wm_click "$box" 105 53

echo "screenshot: the driver's output:"
sed 's/^/  /' "$demo_dir/driver.out" 2>/dev/null | tail -n 20 || true
