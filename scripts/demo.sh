#!/usr/bin/env bash
# Builds the Updater and shows its main job on the shipped defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target Updater >/dev/null
"$build/src/updater/Updater"
