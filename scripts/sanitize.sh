#!/usr/bin/env bash
# Builds with clang and runs the tests under a sanitizer.
# Usage: bash scripts/sanitize.sh address|thread [ctest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=$1; shift
dir=build-$kind
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKIT_SANITIZE="$kind" -DKIT_BENCH=OFF
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Newer kernels randomise mmap with more bits than clang 14's TSan expects;
# running without address randomisation avoids its spurious aborts.
runner=()
if [ "$kind" = thread ] && command -v setarch >/dev/null; then
  runner=(setarch "$(uname -m)" -R)
fi
# The tests that list serial ports run where the machine's serial devices
# are hidden; where that cannot be done they are skipped, and this says why.
sh tests/hide_serial_devices.sh true || true
"${runner[@]}" ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" "$@"
