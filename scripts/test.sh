#!/usr/bin/env bash
# Fresh machine to green tests: installs dependencies, builds, runs every test
# except the long soak (label "soak"). Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" -LE "soak|long"
