#!/usr/bin/env bash
# Installs the kit from a build tree into a fresh prefix, checks what landed
# there, then builds a C and a C++ program against it twice (CMake packages,
# then pkg-config with the plain compilers) and runs them.
# Usage: check_install.sh <build dir> <libdir> <C compiler> <C++ compiler> <generator>
set -euo pipefail
build=$1 libdir=$2 cc=$3 cxx=$4 generator=$5
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*"; exit 1; }
for lib in Morvane Tavrix Morvane_LV; do
  [ -L "$prefix/$libdir/lib$lib.so" ] || fail "no development link lib$lib.so"
  [ -L "$prefix/$libdir/lib$lib.so.1" ] || fail "no soname link lib$lib.so.1"
  soname=$(objdump -p "$prefix/$libdir/lib$lib.so" | awk '/SONAME/ {print $2}')
  [ "$soname" = "lib$lib.so.1" ] || fail "lib$lib.so has soname '$soname'"
done
for f in include/morvane/morvane.h include/morvane/morvane_c.h include/tavrix/tavrix.h \
         include/morvane_lv/morvane_lv.h bin/rs485_demo bin/rs485_bus_demo bin/canfd_demo \
         lib/udev/rules.d/70-tavrix-adapter.rules \
         "$libdir/cmake/Morvane/MorvaneConfig.cmake" "$libdir/cmake/Tavrix/TavrixConfig.cmake" \
         "$libdir/cmake/MorvaneLV/MorvaneLVConfig.cmake" "$libdir/pkgconfig/morvane.pc" \
         "$libdir/pkgconfig/tavrix.pc" "$libdir/pkgconfig/morvane_lv.pc"; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
# The installed demos find their libraries without help.
if ldd "$prefix/bin/canfd_demo" | grep -q "not found"; then fail "canfd_demo misses a library"; fi

echo "== find_package"
cmake -S "$here/consumer" -B "$work/cmake" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer_c"
"$work/cmake/consumer_cxx"

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# A static link of libTavrix on Linux needs libusb.
[ "$(pkg-config --print-requires-private tavrix)" = "libusb-1.0" ] ||
  fail "tavrix.pc requires privately '$(pkg-config --print-requires-private tavrix)', not libusb-1.0"
# shellcheck disable=SC2046
"$cc" -std=c99 -o "$work/pc_c" "$here/consumer/consumer.c" $(pkg-config --cflags --libs morvane tavrix morvane_lv)
# shellcheck disable=SC2046
"$cxx" -std=c++17 -o "$work/pc_cxx" "$here/consumer/consumer.cpp" $(pkg-config --cflags --libs morvane tavrix)
LD_LIBRARY_PATH=$prefix/$libdir "$work/pc_c"
LD_LIBRARY_PATH=$prefix/$libdir "$work/pc_cxx"
