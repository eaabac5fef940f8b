#!/usr/bin/env bash
# Shows the kit working end to end without hardware: a SIMULATED hand sits
# behind a pseudo-terminal, and the unchanged rs485_demo talks to it over
# that "serial port" at 500000 baud, answering its own prompts from a script.
# Then two simulated hands share one line for rs485_bus_demo. Nothing waits
# for the user; every run is bounded in time.
#
# Usage: bash scripts/demo.sh [build-dir]      (default: build; built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
bash scripts/deps.sh

SIM="$BUILD/demos/tools/sim_hand_pty"
DEMO="$BUILD/demos/rs485_demo/rs485_demo"
BUS_DEMO="$BUILD/demos/rs485_bus_demo/rs485_bus_demo"
if [[ ! -x "$SIM" || ! -x "$DEMO" || ! -x "$BUS_DEMO" ]]; then
  echo "== Building the demo programs and the hand simulator in $BUILD"
  [[ -f "$BUILD/CMakeCache.txt" ]] || cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j"$(nproc)" --target sim_hand_pty rs485_demo rs485_bus_demo
fi

WORK="$(mktemp -d)"
SIM_PID=""
stop_sim() {
  if [[ -n "$SIM_PID" ]]; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=""
  fi
}
cleanup() {
  stop_sim
  rm -rf "$WORK"
}
trap cleanup EXIT

# start_sim <nodes>: a simulated line behind a pty, linked at $WORK/hand.pty.
start_sim() {
  rm -f "$WORK/hand.pty"
  "$SIM" --nodes "$1" --link "$WORK/hand.pty" --seconds 120 >"$WORK/sim.log" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 100); do
    [[ -e "$WORK/hand.pty" ]] && break
    sleep 0.05
  done
  [[ -e "$WORK/hand.pty" ]] || { cat "$WORK/sim.log"; echo "simulator did not start"; exit 1; }
  cat "$WORK/sim.log"
}

banner() {
  echo
  echo "=================================================================="
  echo "  $1"
  echo "  The hand is SIMULATED (sim_hand_pty): no hardware is involved."
  echo "=================================================================="
}

ESC=$'\033'

banner "rs485_demo, motion test: enable, home, then cyclic target rows"
start_sim 1
# Port 0 is the simulator's pty (named on the command line), mode 0; Esc
# after three rows of the motion test (1 s enable + 5 s homing + 1 s a row).
{ printf '0\n0\n'; sleep 9.5; printf '%s' "$ESC"; } | timeout 60 "$DEMO" "$WORK/hand.pty"

banner "rs485_demo, tactile display: six sensor channels redrawn every 50 ms"
{ printf '0\n1\n'; sleep 2; printf '%s' "$ESC"; } | timeout 60 "$DEMO" "$WORK/hand.pty"
stop_sim

banner "rs485_bus_demo: two hands (node ids 1 and 2) on one RS485 line"
start_sim 2
# Port 0; 7 = enable and home both; 4 = move node 2 joint 3 to 7000;
# 6 = print both nodes' joint states; empty line = exit.
{ printf '\n7\n'; sleep 7.5; printf '4\n2\n3\n7000\n'; sleep 1.5; printf '6\n'; sleep 0.5; printf '\n'; } |
  timeout 60 "$BUS_DEMO" "$WORK/hand.pty"
stop_sim

echo
echo "Done. Every reading above came from the SIMULATED hand over a pseudo-terminal."
