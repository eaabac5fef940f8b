#!/usr/bin/env bash
# Sets up the COM names of a test wine prefix: the given ones lead to paths
# of the tests' own (pseudo-terminals, or links to them), and no other leads
# anywhere, least of all to a serial device of the machine.
#
# At each start of a prefix wine names every /dev/ttyS*, /dev/ttyUSB* and
# /dev/ttyACM* of the machine (found by name; wine does not open them): it
# links dosdevices/comN to the device for the first N up to 256 that its
# port table (HKLM\Software\Wine\Ports) leaves free, and lists the name in
# HARDWARE\DEVICEMAP\SERIALCOMM. A directory standing at dosdevices/comN
# makes the link fail, and wine then makes neither the COM name nor the
# entry; wine replaces links but never a directory. So every comN except
# the mapped ones is a directory here, and the port table holds only the
# mapped names. A new prefix is created first; its first start may link
# machine devices before they are blocked, but nothing opens a COM name
# then. After a start the result is checked: any COM name that leads
# elsewhere, or a SERIALCOMM entry not mapped here, fails the script.
# Leaves the prefix's wineserver stopped.
# Usage: wine_com_ports.sh <prefix> [COMn=<path> ...]
set -euo pipefail
export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
shift
declare -A target=()
for map in "$@"; do
  name=${map%%=*}
  n=${name#COM}
  [[ "$name" == COM* && "$n" =~ ^[0-9]+$ && "$n" -ge 1 && "$n" -le 256 && "$map" == *=/* ]] ||
    { echo "wine_com_ports.sh: '$map' is not COMn=<absolute path>"; exit 2; }
  target[$n]=${map#*=}
done

stop_server() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }

[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
stop_server
dosdevices=$WINEPREFIX/dosdevices
block_all_but() {
  local n path
  for n in $(seq 256); do
    path=$dosdevices/com$n
    if [[ " $* " == *" $n "* ]]; then
      [ ! -d "$path" ] || [ -L "$path" ] || rmdir "$path"
    elif [ -L "$path" ] || [ ! -d "$path" ]; then
      rm -f "$path"
      mkdir "$path"
    fi
  done
}
# The port table is written while every name is blocked, so that no start
# in between links anything.
block_all_but
reg=$(mktemp --suffix=.reg)
{
  printf 'REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for n in "${!target[@]}"; do printf '"COM%d"="%s"\n' "$n" "${target[$n]}"; done
} >"$reg"
wine regedit /S "$(winepath -w "$reg")" >/dev/null 2>&1
rm -f "$reg"
stop_server
block_all_but "${!target[@]}"

# A start makes the mapped links; then every entry is checked.
# (Without any COM name wine makes no SERIALCOMM key, and the query fails.)
listed=$({ wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null || true; } |
  tr -d '\r' | awk '$2 == "REG_SZ" { print $3 }')
stop_server
bad=""
for n in $(seq 256); do
  path=$dosdevices/com$n
  if [ -n "${target[$n]:-}" ]; then
    [ "$(readlink "$path")" = "${target[$n]}" ] || bad="$bad\n  COM$n leads to '$(readlink "$path")', not to ${target[$n]}"
  elif [ -L "$path" ] || [ ! -d "$path" ]; then
    bad="$bad\n  COM$n is no longer blocked: $(ls -ld "$path" 2>&1)"
  fi
done
for name in $listed; do
  n=${name#COM}
  [ -n "${target[$n]:-}" ] || bad="$bad\n  SERIALCOMM lists $name"
done
if [ -n "$bad" ]; then
  printf 'wine_com_ports.sh: the prefix %s names COM ports it should not:%b\n' "$WINEPREFIX" "$bad"
  exit 1
fi
