#!/usr/bin/env bash
# A picture of the driver's window while the demo runs: the demo (simulated station,
# both reference servers, the driver) under a virtual X display, some seconds for the
# links to come up and events to flow, then the window into BUILD_DIR/screenshot.png.
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

# ImageMagick's own tools, not a stand-in that may be first on PATH.
import=/usr/bin/import
for tool in "$import" xwininfo xvfb-run; do
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
}
trap finish EXIT
trap 'exit 1' INT TERM

# The window appears once the driver has started: the top-level window with that title
# and a class (Qt also makes a 1x1 helper window of the same title).
window=
for _ in $(seq 1 300); do
  window=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$title\": (\"" | awk '{print $1}' | head -n1 || true)
  [[ -n $window ]] && break
  if ! kill -0 "$demo_pid" 2>/dev/null; then
    echo "screenshot: the demo ended early; its output:" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
done
if [[ -z $window ]]; then
  echo "screenshot: no window titled \"$title\" appeared; the demo's output:" >&2
  cat "$log" >&2
  exit 1
fi

echo "screenshot: window $window; waiting ${settle}s for events to flow"
sleep "$settle"
"$import" -window "$window" "$out"
echo "screenshot: $out"
echo "screenshot: the driver's output:"
sed 's/^/  /' "$demo_dir/driver.out" 2>/dev/null | tail -n 20 || true
