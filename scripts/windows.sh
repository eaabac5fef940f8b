#!/usr/bin/env bash
# The Windows side, from a fresh Debian machine: installs the mingw-w64
# cross compilers and wine, cross-builds the kit for 64-bit (build-win64,
# with its tests) and 32-bit Windows (build-win32, the three DLLs), checks
# the DLLs' export tables against tests/exports/ and that bin/ and an
# installation hold only what ships, links a host built the way Visual C++
# builds one against each installation, and runs the 64-bit tests under
# wine, the flat library's RS485 transport among them against a simulated
# hand on a pseudo-terminal mapped to a COM port.
# Usage: bash scripts/windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
start=$(date +%s)
jobs=$(nproc)

echo "== packages"
# The Linux side as well: the simulated hands and slaves run natively.
# llvm (llvm-dlltool) writes the import libraries; clang and lld build the
# Visual C++ style host.
bash scripts/deps.sh g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 googletest lld

# Fails when a build printed a compiler warning.
build_quietly() {
  local log=$1
  shift
  local status=0
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { grep -E -A8 '^FAILED' "$log" | head -n 60; tail -n 5 "$log"; exit 1; }
  if grep -E 'warning:' "$log"; then
    echo "compiler warnings in $log"
    exit 1
  fi
}

echo "== googletest for mingw (64-bit)"
gtest=$root/build-win64/googletest
if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-x86_64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null
  cmake --build "$gtest/build" -j"$jobs" >/dev/null
  cmake --install "$gtest/build" >/dev/null
fi

echo "== cross builds"
# bin/ is made anew, so nothing that an older build put there stays.
rm -rf build-win64/bin build-win32/bin
# -O2 as the Linux build has it (gcc 12's -O3 reports false array bounds in
# inlined standard library code).
opt=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")
cmake -S . -B build-win64 -G Ninja "${opt[@]}" -DKIT_BENCH=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake \
  -DGTest_DIR="$gtest/install/lib/cmake/GTest" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v wine)" \
  -DKIT_HOST_ETHERCAT_SIM_SLAVE="$root/build/sim/ethercat/ethercat_sim_slave" >/dev/null
build_quietly build-win64/build.log cmake --build build-win64 -j"$jobs"
# 32-bit: the DLLs only; many kernels cannot run 32-bit programs.
cmake -S . -B build-win32 -G Ninja "${opt[@]}" -DKIT_BENCH=OFF -DKIT_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake >/dev/null
build_quietly build-win32/build.log cmake --build build-win32 -j"$jobs" --target Morvane Tavrix Morvane_LV \
  rs485_demo rs485_bus_demo pcan_demo canfd_demo

echo "== export tables"
for b in build-win64 build-win32; do
  for lib in Morvane Tavrix Morvane_LV; do
    tests/check_exports.sh $b/bin/$lib.dll . tests/exports/$lib.txt
  done
  # Nothing but the system's own DLLs and ours is needed beside them.
  for dll in $b/bin/Morvane.dll $b/bin/Tavrix.dll $b/bin/Morvane_LV.dll; do
    imports=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ { print $3 }' | sort -u | tr '\n' ' ')
    extra=$(printf '%s\n' $imports | grep -v -i -E '^(KERNEL32|msvcrt|Morvane|Tavrix)\.dll$' || true)
    [ -z "$extra" ] || { echo "$dll needs $extra"; exit 1; }
  done
done
# The flat library imports the adapter's __stdcall functions by their plain
# names on 32-bit as well.
if x86_64-w64-mingw32-objdump -p build-win32/bin/Morvane_LV.dll | grep -E '\b(CAN|CANFD|USB)_[A-Za-z_]+@[0-9]+'; then
  echo "build-win32/bin/Morvane_LV.dll imports decorated names"
  exit 1
fi

echo "== what ships, and a Visual C++ host linking it (32-bit)"
# bin/ and an installation hold the DLLs and the demos, nothing else: no
# stand-in DLL, no test program (those live in <build>/tests/bin and the
# stand-ins' own folders).
ships=$(printf '%s\n' Morvane.dll Tavrix.dll Morvane_LV.dll rs485_demo.exe rs485_bus_demo.exe canfd_demo.exe pcan_demo.exe |
  LC_ALL=C sort)
for b in build-win64 build-win32; do
  held=$(ls -A $b/bin | LC_ALL=C sort)
  [ "$held" = "$ships" ] || { echo "$b/bin holds:"; echo "$held"; exit 1; }
  rm -rf $b/install-check
  cmake --install $b --prefix $b/install-check >/dev/null
  held=$(cd $b/install-check && find . -type f \( -iname '*.dll' -o -iname '*.exe' \) | LC_ALL=C sort)
  [ "$held" = "$(printf './bin/%s\n' $ships)" ] || { echo "the installation of $b holds:"; echo "$held"; exit 1; }
done
# Every installed pkg-config file resolves against its installation alone:
# none requires anything that the Windows build does not ship. A C program
# built with mingw-w64 links all three through what they give.
for b in build-win64:x86_64 build-win32:i686; do
  cc=${b#*:}-w64-mingw32-gcc
  b=${b%:*}
  pcdir=$root/$b/install-check/lib/pkgconfig
  for pc in morvane tavrix morvane_lv; do
    [ -f "$pcdir/$pc.pc" ] || { echo "the installation of $b has no $pc.pc"; exit 1; }
  done
  for pc in "$pcdir"/*.pc; do
    for how in "" --static; do
      env -u PKG_CONFIG_PATH PKG_CONFIG_LIBDIR="$pcdir" pkg-config $how --cflags --libs "$(basename "$pc" .pc)" >/dev/null ||
        { echo "pkg-config $how --cflags --libs fails for $pc against its installation alone"; exit 1; }
    done
  done
  # shellcheck disable=SC2046
  "$cc" -std=c99 -o $b/pkg-config-consumer.exe tests/install/consumer/consumer.c \
    $(env -u PKG_CONFIG_PATH PKG_CONFIG_LIBDIR="$pcdir" pkg-config --cflags --libs morvane tavrix morvane_lv)
done
# The import libraries link under /SAFESEH; the 64-bit host also runs below.
tests/windows/check_msvc_host.sh build-win32/install-check x86 build-win32/msvc-host

echo "== tests under wine"
# The simulated hand answers on a pseudo-terminal that the wine prefix maps
# to COM7; the demo tests point COM8 at their own. No other COM name of the
# prefix leads anywhere: wine would give the machine's serial devices COM
# names of their own (tests/windows/wine_com_ports.sh blocks them and checks
# the prefix), so the tests touch no serial port but their own.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target sim_hand_pty ethercat_sim_slave test_demos_wine_e2e >/dev/null
export WINEPREFIX=$root/build-win64/wine WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
hand_link=$root/build-win64/com7-hand
rm -f "$hand_link"
build/demos/tools/sim_hand_pty --link "$hand_link" >build-win64/sim_hand_pty.log 2>&1 &
sim_pid=$!
cleanup() {
  kill "$sim_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "$hand_link" ] && break; sleep 0.1; done
[ -e "$hand_link" ] || { echo "sim_hand_pty did not start"; cat build-win64/sim_hand_pty.log; exit 1; }

tests/windows/wine_com_ports.sh "$WINEPREFIX" COM7="$hand_link" COM8="$root/build-win64/com8-demo"
wineserver -p >/dev/null 2>&1
wine cmd /c exit >/dev/null 2>&1  # warm-up: the first program pays wine's start
tests/windows/check_msvc_host.sh build-win64/install-check x64 build-win64/msvc-host run
export KIT_WINE_COM_PORT=COM7
# Timing rules that hold natively can miss their window under wine on a
# loaded machine: a test that fails is run again, up to three times in all
# (the Linux suites run each once).
ctest --test-dir build-win64 --output-on-failure -j"$jobs" -LE "soak|long" --repeat until-pass:3

echo "== the demos under wine"
KIT_WIN_BIN_DIR=$root/build-win64/bin KIT_WIN_PCAN_STAND_IN_DIR=$root/build-win64/pcanbasic-stand-in \
  KIT_WIN_CANFD_STAND_IN_DIR=$root/build-win64/canfd-stand-in \
  KIT_WINE_DEMO_COM=COM8 KIT_WINE_DEMO_LINK=$root/build-win64/com8-demo \
  ctest --test-dir build --output-on-failure -R '^test_demos_wine_e2e$'

echo "windows.sh done in $(( $(date +%s) - start )) s"
