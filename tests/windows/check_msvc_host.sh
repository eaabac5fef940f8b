#!/usr/bin/env bash
# Builds tests/windows/msvc_caller.c the way a Visual C++ host is built
# (clang for the *-pc-windows-msvc target, lld-link with /safeseh on 32-bit,
# no C runtime) against an installed Windows build of the kit: its headers,
# import libraries and DLLs. Checks that the program imports each function by
# its plain exported name; with "run" it then runs it under wine (the wine
# environment as the caller set it up) beside copies of the DLLs.
# Usage: check_msvc_host.sh PREFIX x86|x64 OUT_DIR [run]
set -euo pipefail
prefix=$1
arch=$2
out=$3
run=${4:-}
src=$(dirname "$0")/msvc_caller.c
case $arch in
  x86) target=i686-pc-windows-msvc link=(/machine:x86 /safeseh) ;;
  x64) target=x86_64-pc-windows-msvc link=(/machine:x64) ;;
  *) echo "arch must be x86 or x64"; exit 2 ;;
esac
fail() { echo "msvc host ($arch): $*"; exit 1; }

mkdir -p "$out"
# Freestanding: clang's own stdint.h and stdbool.h stand in for the SDK's.
clang --target=$target -ffreestanding -O2 -Wall -Wextra -Werror -I"$prefix/include" \
  -c "$src" -o "$out/msvc_caller.obj"
lld-link "${link[@]}" /subsystem:console /entry:start /nodefaultlib /out:"$out/msvc_caller.exe" \
  "$out/msvc_caller.obj" "$prefix/lib/Morvane.lib" "$prefix/lib/Tavrix.lib" "$prefix/lib/Morvane_LV.lib" ||
  fail "lld-link refused the import libraries"

# Every import, as "DLL name": no leading underscore, no @n.
imports=$(llvm-objdump -p "$out/msvc_caller.exe" |
  awk '/DLL Name:/ { dll = $3 } dll != "" && $1 ~ /^[0-9]+$/ && NF == 2 { print dll, $2 }' | sort)
expected=$(printf '%s\n' "Morvane.dll morvane_create" "Morvane.dll morvane_destroy" \
  "Morvane_LV.dll lv_is_connected" "Tavrix.dll CAN_OpenDevice" "Tavrix.dll CAN_ScanDevice" | sort)
[ "$imports" = "$expected" ] || fail "imports differ from the plain names:"$'\n'"$imports"

if [ "$run" = run ]; then
  cp "$prefix/bin/Morvane.dll" "$prefix/bin/Tavrix.dll" "$prefix/bin/Morvane_LV.dll" "$out/"
  status=0
  (cd "$out" && timeout 120 wine ./msvc_caller.exe) || status=$?
  # Bits of the exit code: see msvc_caller.c.
  [ "$status" -eq 0 ] || fail "msvc_caller.exe exited with $status"
fi
echo "msvc host ($arch): links, imports plain names${run:+, runs}"
