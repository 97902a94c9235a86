#!/usr/bin/env bash
# The demo: the driver wired to a simulated station on a pseudo-terminal and to the two
# reference servers on loopback, in a folder of its own. The station sends a mix of
# frames every few seconds; both servers print what reaches them. The driver reports to
# a stand-in for systemd's notification socket, as under its unit (Type=notify,
# WatchdogSec=30); its STATUS lines are shown as `systemctl status` would show them.
# Ctrl-C ends it all.
#
#   scripts/demo.sh [BUILD_DIR]        (make run does this after building)
#
# The demo folder (BUILD_DIR/demo, or DEMO_DIR) holds the driver's orvelgate.ini, its
# packet log, error log and spool files, and the output of every process (*.out).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
demo=${DEMO_DIR:-$build/demo}

driver=$build/src/app/orvelgate
station_sim=$build/tools/station-sim/station-sim
t8_server=$build/tools/t8-server/t8-server
t7_server=$build/tools/t7-server/t7-server
notify_listener=$build/tools/notify-listener/notify-listener
for program in "$driver" "$station_sim" "$t8_server" "$t7_server" "$notify_listener"; do
  if [[ ! -x $program ]]; then
    echo "demo: $program is missing; build first (make run builds it)" >&2
    exit 1
  fi
done

mkdir -p "$demo"
cd "$demo"
rm -f ./*.out
# Qt wants a private runtime folder; a desktop session has one already.
if [[ -z ${XDG_RUNTIME_DIR:-} ]]; then
  export XDG_RUNTIME_DIR=$demo/.runtime
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi

pids=()
tails=()
finish() {
  trap - INT TERM EXIT
  echo
  # What `systemctl status orvelgate` would show of the driver as it was.
  local status
  status=$(grep '^STATUS=' notify.out 2>/dev/null | tail -n 1 || true)
  if [[ -n $status ]]; then
    echo "demo: systemctl status would show:  Status: \"${status#STATUS=}\""
    echo "demo: watchdog pings so far: $(grep -c '^WATCHDOG=1$' notify.out || true)"
  fi
  echo "demo: ending"
  # The driver first, so it ends in order while its peers are still there.
  if [[ -n ${driver_pid:-} ]]; then kill -TERM "$driver_pid" 2>/dev/null || true; fi
  if [[ -n ${driver_pid:-} ]]; then wait "$driver_pid" 2>/dev/null || true; fi
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  sleep 0.3  # the last lines reach the screen
  for pid in "${tails[@]}"; do kill "$pid" 2>/dev/null || true; done
  echo "demo: the folder $demo keeps the logs and any spool files"
}
trap finish EXIT
trap 'exit 0' INT TERM

# Shows a process's output on the terminal, each line marked with its name.
show() {
  local name=$1 file=$2
  tail -n +1 -F "$file" 2>/dev/null | sed -u "s/^/$(printf '%-10s' "[$name]") /" &
  tails+=($!)
}

# Waits for "READY <text>" in a process's output and prints <text>.
ready() {
  local file=$1 pid=$2 line
  for _ in $(seq 1 200); do
    line=$(grep -m1 '^READY ' "$file" 2>/dev/null || true)
    if [[ -n $line ]]; then
      echo "${line#READY }"
      return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.05
  done
  echo "demo: $(basename "$file" .out) did not start; see $demo/$(basename "$file")" >&2
  return 1
}

# systemd's notification socket, as the unit would give it (a socket path must be short).
notify_socket=$demo/notify.sock
if (( ${#notify_socket} > 100 )); then notify_socket=$(mktemp -u /tmp/orvelgate-notify.XXXXXX); fi
"$notify_listener" "$notify_socket" >notify.out 2>&1 &
pids+=($!)
ready notify.out "${pids[-1]}" >/dev/null

# The monitoring server (T8) on a free port, the message server (T7) on its fixed 7788.
"$t8_server" --port 0 --quiet >t8-server.out 2>&1 &
pids+=($!)
t8_port=$(ready t8-server.out "${pids[-1]}")
"$t7_server" >t7-server.out 2>&1 &
pids+=($!)
if ! ready t7-server.out "${pids[-1]}" >/dev/null; then
  echo "demo: is another demo (or message server) using port 7788?" >&2
  exit 1
fi

# The station: a mix of GB, CN and ASCII frames, one every few seconds, for ever.
cat >frames.txt <<'EOF'
# Frames the simulated station sends, over and over (see station-sim --help).
ascii,group=1,object=0123,code=E1
sleep 3000
gb,object=42,group=3,code=BA
sleep 3000
cn,object=1234,code=AB
sleep 3000
ascii,group=7,object=0456,code=R3
sleep 3000
gb:noevent
sleep 3000
EOF
"$station_sim" --pty --baud 9600 --wait-open 60000 --repeat 0 --script frames.txt \
  >station.out 2>&1 &
pids+=($!)
pty=$(ready station.out "${pids[-1]}")

# Metrics for Prometheus: curl http://127.0.0.1:9488/metrics while the demo runs.
metrics_port=${METRICS_PORT:-9488}

cat >orvelgate.ini <<EOF
; The demo's configuration; see the README for every key.
[main]
ComPort=COM3
ComBaudRate=9600
FirstNumber=4
PathForSoob=
host=127.0.0.1
Attention=00:00:20
SendT7=1
SendT8=1

[ServerHost]
Address=127.0.0.1
Port=$t8_port

[ports]
; COM3 is the simulated station's pseudo-terminal; a real receiver's device goes here
COM3=$pty

[metrics]
; Prometheus metrics on http://127.0.0.1:$metrics_port/metrics
Port=$metrics_port
EOF

echo "demo: folder $demo"
echo "demo: station on $pty (COM3), T8 server on 127.0.0.1:$t8_port, T7 server on 127.0.0.1:7788"
echo "demo: metrics on http://127.0.0.1:$metrics_port/metrics"
echo "demo: Ctrl-C ends everything"
show t8-server t8-server.out
show t7-server t7-server.out
show station station.out

# As under the unit: NOTIFY_SOCKET for READY, STATUS and the watchdog (WatchdogSec=30).
# As root the driver runs without CAP_SYS_TIME: a clock record typed at the T7 server
# stand-in must not set this machine's clock.
run_driver=("$driver")
if [[ $(id -u) -eq 0 ]]; then
  run_driver=(setpriv --inh-caps=-sys_time --bounding-set=-sys_time -- "$driver")
fi
NOTIFY_SOCKET=$notify_socket WATCHDOG_USEC=30000000 "${run_driver[@]}" >driver.out 2>&1 &
driver_pid=$!
show driver driver.out
# Each new STATUS line, as `systemctl status` shows it.
tail -n +1 -F notify.out 2>/dev/null | sed -un 's/^STATUS=\(.*\)$/[systemd]  Status: "\1"/p' &
tails+=($!)

# Runs until Ctrl-C, or until the driver ends by itself (a close record, say).
wait "$driver_pid" || true
driver_pid=
