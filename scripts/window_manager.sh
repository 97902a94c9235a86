# Helpers for seeing the driver's windows as a desktop shows them: a virtual X display
# with the icewm window manager, windows found by their exact titles, their frames
# measured, clicks in their client areas. Sourced by scripts/screenshot.sh and by the
# window-manager test (tests/app/view/window_manager_test.sh); needs Xvfb (or a display of
# the caller's), icewm, xdotool, xprop and xwininfo.

WM_TOOLS=(Xvfb icewm xdotool xprop xwininfo)
wm_pids=()

# A virtual display on a number the X server picks itself (free at that moment);
# sets DISPLAY. $1: a folder for the server's answer.
wm_start_display() {
  local answer=$1/display
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$answer" 2>/dev/null &
  wm_pids+=($!)
  for _ in $(seq 1 100); do
    [[ -s $answer ]] && break
    sleep 0.1
  done
  [[ -s $answer ]] || return 1
  export DISPLAY=":$(head -n1 "$answer")"
}

# icewm with a home of its own (no settings of the user's), ready once it has put its
# check window on the root. $1: that home.
wm_start_icewm() {
  HOME=$1 icewm >"$1/icewm.log" 2>&1 &
  wm_pids+=($!)
  for _ in $(seq 1 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && return 0
    sleep 0.1
  done
  return 1
}

wm_stop() {
  local pid
  for pid in "${wm_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${wm_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  wm_pids=()
}

# The title a window carries for the desktop (_NET_WM_NAME).
wm_title() {
  xprop -id "$1" _NET_WM_NAME 2>/dev/null | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p'
}

# The titles of the visible windows, one a line: what there was instead.
wm_titles() {
  local window
  for window in $(xdotool search --onlyvisible --name "" 2>/dev/null); do
    wm_title "$window"
  done | sed '/^$/d; s/^/  "/; s/$/"/'
}

# The visible client window whose title is exactly $1, waiting up to $2 seconds
# (10 unless given) for it.
wm_find_window() {
  local window
  for _ in $(seq 1 $((${2:-10} * 10))); do
    for window in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
      if [[ $(wm_title "$window") == "$1" ]]; then
        echo "$window"
        return 0
      fi
    done
    sleep 0.1
  done
  return 1
}

# "x y width height" of the window with the frame the manager put round it: the client
# area grown by _NET_FRAME_EXTENTS (left, right, top, bottom).
wm_frame_geometry() {
  local x y w h l r t b
  read -r x y w h < <(xwininfo -id "$1" | awk '
    /Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /Width:/ {w=$NF} /Height:/ {h=$NF} END {print x, y, w, h}')
  read -r l r t b < <(xprop -id "$1" _NET_FRAME_EXTENTS | sed -n 's/.* = //p' | tr -d ',')
  echo "$((x - ${l:-0})) $((y - ${t:-0})) $((w + ${l:-0} + ${r:-0})) $((h + ${t:-0} + ${b:-0}))"
}

# "x y width height" of the desktop's work area (the screen less icewm's task bar).
wm_work_area() {
  xprop -root _NET_WORKAREA | sed -n 's/.* = //p' | tr -d ',' | awk '{print $1, $2, $3, $4}'
}

# A left click at client coordinates $2, $3 of window $1.
wm_click() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
}

# A picture of the window as the desktop shows it, frame included, into $2.
wm_picture() {
  local x y w h
  read -r x y w h < <(wm_frame_geometry "$1")
  /usr/bin/import -window root -crop "${w}x${h}+${x}+${y}" +repage "$2"
}
