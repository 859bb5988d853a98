#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite with CTest, inside a
# private network namespace with nothing but loopback (scripts/offline.sh): no test can reach
# beyond this machine, and one that tries fails instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
bash scripts/offline.sh ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
