#!/bin/sh
# Runs a test program where it cannot reach a serial device of the machine:
# in a private mount namespace in which an empty file is bind-mounted over
# every /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* node. The kit's port lists
# scan exactly those names, so the test, and every demo it starts, sees its
# own pseudo-terminals and nothing else: no list probes, opens or writes a
# port of the machine. Root makes the mount namespace directly; another user
# makes it inside a user namespace and runs the program under its own ids
# again. Without such nodes the program runs as it is. Where they exist and
# no namespace can be made (a container without the right, a kernel without
# user namespaces), the test is skipped (exit 77) and says why.
# Usage: hide_serial_devices.sh <program> [argument ...]
set -eu

devices=""
for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
  if [ -c "$dev" ]; then devices="$devices $dev"; fi
done
[ -n "$devices" ] || exec "$@"
devices=${devices# }

if [ "$(id -u)" -eq 0 ]; then
  make_namespace="unshare --mount --propagation private"
  as_caller=""
else
  make_namespace="unshare --map-root-user --mount --propagation private"
  as_caller="unshare --map-user=$(id -u) --map-group=$(id -g) --"
fi
skip() {
  echo "SKIPPED: the serial devices of this machine ($devices) cannot be hidden here ($1);" \
    "the tests that list serial ports would reach them, so they do not run"
  exit 77
}
why=$($make_namespace true 2>&1) || skip "no mount namespace: $why"

# In the namespace: cover each node, drop the file (the mounts keep it),
# then run the program.
cover='empty=$1; shift
while [ "$1" != -- ]; do
  if ! mount --bind "$empty" "$1"; then
    echo "SKIPPED: $1 cannot be covered in a mount namespace, so this test does not run"
    rm -f "$empty"
    exit 77
  fi
  shift
done
shift
rm -f "$empty"
exec "$@"'
empty=$(mktemp)
# shellcheck disable=SC2086  # the namespace commands and the nodes are lists of words
exec $make_namespace sh -c "$cover" cover "$empty" $devices -- $as_caller "$@"
