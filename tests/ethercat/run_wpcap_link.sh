#!/usr/bin/env bash
# Runs the master's Windows test program under wine against simulated slaves
# on a veth pair, inside a private network namespace: wine's wpcap sees the
# interfaces of the namespace its wineserver started in, so the server is
# started there, with a wine prefix of its own.
# Usage: run_wpcap_link.sh TEST_EXE SIM_SLAVE [SLAVES]
#   SIM_SLAVE: the native ethercat_sim_slave of a Linux build tree.
# Exits 77 (skip) with the reason where this machine cannot do it.
set -u
exe=$1
sim=$2
slaves=${3:-2}
skip() { echo "SKIP: $*"; exit 77; }
[ -x "$sim" ] || skip "no native ethercat_sim_slave at '$sim' (build it in a Linux tree)"
command -v wine >/dev/null || skip "wine is not installed"
command -v ip >/dev/null || skip "ip (iproute2) is not installed"
unshare -n true 2>/dev/null || skip "network namespaces are not allowed here (needs root or CAP_SYS_ADMIN)"

prefix=${KIT_ECAT_WINEPREFIX:-$(dirname "$(readlink -f "$exe")")/wine-ecat}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The test opens no COM name, and none of the prefix leads to a serial
# device of the machine.
"$(dirname "$0")/../windows/wine_com_ports.sh" "$prefix" || exit 1
export KIT_ECAT_IFNAME=ecm0 KIT_ECAT_SLAVE_IFNAME=ecs0 KIT_ECAT_SLAVES=$slaves
exec unshare -n bash -c '
  set -u
  ip link add ecm0 type veth peer name ecs0 && ip link set ecm0 up && ip link set ecs0 up || exit 1
  "$1" ecs0 "$KIT_ECAT_SLAVES" &
  sim_pid=$!
  wineserver -p
  wine "$2" 2>&1
  rc=$?
  kill "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  exit $rc
' run_wpcap_link "$sim" "$exe"
