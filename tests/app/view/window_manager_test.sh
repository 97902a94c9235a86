#!/usr/bin/env bash
# The driver's windows under a real window manager (icewm on a virtual display), where
# offscreen tests cannot look: the titles the desktop shows, the main window and the
# access-code dialog centred by their frames, and the message box as wide as its rule
# says, frame included, on its first and later showings. The operator's part is played
# with xdotool: the title strip's close button, a wrong code, "ОК".
#
#   window_manager_test.sh DRIVER SCRIPTS_DIR      (exits 77, "skipped", without the tools)
set -uo pipefail

driver=$(realpath "$1")
source "$2/window_manager.sh"

for tool in "${WM_TOOLS[@]}" setpriv; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (scripts/install-deps.sh installs it)"
    exit 77
  fi
done

tmp=$(mktemp -d)
driver_pid=
finish() {
  [[ -n $driver_pid ]] && kill -KILL "$driver_pid" 2>/dev/null
  wm_stop
  rm -rf "$tmp"
}
trap finish EXIT

failures=0
check() {  # check WHAT CONDITION...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
near() { local d=$(($1 - $2)); ((d >= -$3 && d <= $3)); }

# Centred by the frame: twice the frame's middle against twice the work area's (so
# that odd sizes need no halving), within two pixels of the doubled middle.
check_centred() {
  local name=$1 x y w h ax ay aw ah
  read -r x y w h < <(wm_frame_geometry "$2")
  read -r ax ay aw ah < <(wm_work_area)
  echo "  $name: frame ${w}x${h} at $x,$y; work area ${aw}x${ah} at $ax,$ay"
  check "$name centred across by its frame" near $((2 * x + w)) $((2 * ax + aw)) 2
  check "$name centred down by its frame" near $((2 * y + h)) $((2 * ay + ah)) 2
}

check_title() {
  local title
  title=$(wm_title "$1")
  echo "  title: \"$title\""
  check "title exactly \"$2\"" test "$title" = "$2"
}

wm_start_display "$tmp" || { echo "FAILED: no virtual display"; exit 1; }
wm_start_icewm "$tmp" || { echo "FAILED: icewm did not come up"; exit 1; }
echo "display $DISPLAY with icewm"

mkdir -p "$tmp/run" "$tmp/runtime"
chmod 700 "$tmp/runtime"
printf '[main]\nComPort=COM255\nSendT8=0\nSendT7=0\n' >"$tmp/run/orvelgate.ini"
(cd "$tmp/run" && exec env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$tmp/runtime" \
  setpriv --inh-caps=-sys_time --bounding-set=-sys_time "$driver" >driver.out 2>driver.err) &
driver_pid=$!

main=$(wm_find_window "Драйвер Orvel") || {
  echo "FAILED: no main window; the driver said:"
  cat "$tmp/run/driver.out" "$tmp/run/driver.err"
  exit 1
}
echo "main window"
check_title "$main" "Драйвер Orvel"
check_centred "main window" "$main"

# "Не правильный пароль." has 21 characters: 210 pixels in the 12-point font.
for showing in 1 2; do
  echo "close, showing $showing"
  wm_click "$main" 431 12  # the title strip's close button
  dialog=$(wm_find_window "Закрытый доступ") || { echo "FAILED: no access-code dialog; the windows:"; wm_titles; failures=$((failures + 1)); break; }
  check_title "$dialog" "Закрытый доступ"
  check_centred "access-code dialog" "$dialog"
  xdotool type --delay 20 00000  # never a code: codes run from 10000
  wm_click "$dialog" 103 70      # "ОК"
  box=$(wm_find_window "advsm") || { echo "FAILED: no message box; the windows:"; wm_titles; failures=$((failures + 1)); break; }
  check_title "$box" "advsm"
  read -r _ _ width _ < <(wm_frame_geometry "$box")
  check "message box 210 wide with its frame on showing $showing (is $width)" test "$width" = 210
  check_centred "message box" "$box"
  wm_click "$box" 105 53  # "ОК"
  for _ in $(seq 1 50); do
    xdotool search --onlyvisible --name "^advsm$" >/dev/null 2>&1 || break
    sleep 0.1
  done
done

kill -TERM "$driver_pid"
wait "$driver_pid"
status=$?
driver_pid=
check "the driver ended in order (status $status)" test "$status" = 0
[[ $status == 0 ]] || { echo "the driver said:"; tail -n 40 "$tmp/run/driver.err"; }
check "the driver told both wrong codes" test "$(grep -c '^MESSAGE Не правильный пароль.$' "$tmp/run/driver.out")" = 2

echo "$failures failed"
((failures == 0))
