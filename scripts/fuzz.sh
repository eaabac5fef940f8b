#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for N seconds
# (default 30), several at once. Usage: bash scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKIT_FUZZ=ON -DKIT_TESTS=OFF -DKIT_BENCH=OFF
cmake --build "$dir" -j"$(nproc)"
shopt -s nullglob
targets=("$dir"/fuzzers/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets"; exit 0; fi
mkdir -p "$dir/logs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
run_one() {
  local t=$1 name corpus
  name=$(basename "$t")
  corpus="$dir/corpus/$name"
  mkdir -p "$corpus"
  local seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  if "$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 "$corpus" "${seeds[@]}" \
       >"$dir/logs/$name.log" 2>&1; then
    echo "fuzz $name: ok ($(grep -c '' "$dir/logs/$name.log") log lines)"
  else
    echo "fuzz $name: FAILED"; tail -40 "$dir/logs/$name.log"; return 1
  fi
}
pids=()
for t in "${targets[@]}"; do
  run_one "$t" & pids+=($!)
  # at most 6 at once
  while [ "$(jobs -rp | wc -l)" -ge 6 ]; do sleep 1; done
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit $failed
