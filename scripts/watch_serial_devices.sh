#!/usr/bin/env bash
# Runs a command and fails when, while it ran, anything opened, read, wrote
# or changed the attributes of a serial device of the machine: the tests
# must reach only their own pseudo-terminals (and, under wine, COM names
# that lead to them).
#
# How: inotify watches on every /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM*
# node (inotifywait, Debian package inotify-tools). The kernel reports each
# open, read, write and attribute change of a watched node, whichever
# process makes it and from whichever mount namespace, wine's server
# included; an open alone counts, since opening a UART already switches its
# modem lines. The watch does not open the devices. A marker file watched
# alongside is touched at the end, so every event of the command has been
# read when the marker's has.
#
# What it cannot see: a node that appears while the command runs (a USB
# adapter plugged in); serial devices under other names (/dev/ttyAMA*,
# /dev/rfcomm*, ...); the same device reached through another node
# (made with mknod elsewhere, or a container's own /dev); an open that
# failed; the kernel's own use of a port (a serial console). Nor who did it:
# another program of the machine using a watched port at the same time (a
# getty, a modem manager) is reported as well.
#
# Without such nodes there is nothing to watch: it says so and runs the
# command. Exit status: the command's, or 1 when it succeeded and a device
# was touched.
# Usage: bash scripts/watch_serial_devices.sh <command> [argument ...]
set -euo pipefail
cd "$(dirname "$0")/.."

devices=()
for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
  if [ -c "$dev" ]; then devices+=("$dev"); fi
done
if [ ${#devices[@]} -eq 0 ]; then
  echo "watch_serial_devices: no serial device (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*) on this machine:" \
    "nothing to watch"
  exec "$@"
fi
command -v inotifywait >/dev/null || bash scripts/deps.sh inotify-tools

work=$(mktemp -d)
marker=$work/marker
: >"$marker"
inotifywait -m -e open,access,modify,attrib --format '%w %e' "${devices[@]}" "$marker" \
  >"$work/events" 2>"$work/setup" &
watcher=$!
stop_watch() { kill "$watcher" 2>/dev/null || true; wait "$watcher" 2>/dev/null || true; }
trap 'stop_watch; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  grep -q 'Watches established' "$work/setup" && break
  kill -0 "$watcher" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q 'Watches established' "$work/setup"; then
  echo "watch_serial_devices: cannot watch ${devices[*]}:"
  cat "$work/setup"
  exit 1
fi
echo "watch_serial_devices: watching ${devices[*]} while: $*"

status=0
"$@" || status=$?

touch "$marker"
for _ in $(seq 100); do
  grep -q "^$marker " "$work/events" && break
  sleep 0.1
done
if ! grep -q "^$marker " "$work/events"; then
  echo "watch_serial_devices: the watch stopped reporting (the command's events may be lost)"
  [ "$status" -ne 0 ] || status=1
fi
touched=$(grep -v "^$marker " "$work/events" | sort | uniq -c || true)
if [ -n "$touched" ]; then
  echo "watch_serial_devices: serial devices of the machine were used while '$*' ran (count, device, event):"
  echo "$touched"
  [ "$status" -ne 0 ] || status=1
else
  echo "watch_serial_devices: no serial device of the machine was opened, read or written"
fi
exit "$status"
