#!/usr/bin/env bash
# Runs the Windows build's tests under wine through CTest, inside a private network namespace
# (scripts/offline.sh): the cross-built unit suites, and the process tests in which a program of
# the Linux build runs Updater.exe against the Linux peers on 127.0.0.1 (and the Linux Updater
# against the Windows tools), and the installer installed and uninstalled.
#   bash scripts/test-windows.sh [DIR]      (DIR: the folder of build-windows.sh, build-windows/)
# The Linux build is ${BUILD_DIR:-build}; it is configured and built as far as needed.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(realpath -m "${1:-build-windows}")
linux=$(realpath -m "${BUILD_DIR:-build}")

if [ ! -f "$dir/project/CMakeCache.txt" ] || [ ! -f "$dir/corvane-windows-x86_64.zip" ]; then
    bash scripts/build-windows.sh "$dir"
fi
if [ ! -f "$linux/CMakeCache.txt" ]; then
    bash scripts/install-deps.sh
    cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$linux" -j "$(nproc)" --target updater_wine_tests
cmake "$dir/project" -DCORVANE_LINUX_BUILD="$linux" -DCORVANE_WINDOWS_PACKAGES="$dir" >/dev/null
cmake --build "$dir/project" -j "$(nproc)"

# A wine prefix of the tests' own, made once. Wine's server makes the programs' sockets, so it
# must start inside the namespace the tests run in. It stays up for the whole run (a server that
# quits while idle would drop the program starting just then) and ends with it; wineboot starts
# wine's own background processes once, away from the pipes through which CTest reads a test.
export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all
mkdir -p "$WINEPREFIX" # wineserver starts in it before wineboot fills it
wine=/usr/lib/wine
"$wine/wineserver" -k 2>/dev/null || true
bash scripts/offline.sh /bin/sh -c '
    set -e
    "$0/wineserver" -p
    "$0/wine64" wineboot --init </dev/null >/dev/null 2>&1
    status=0
    ctest --test-dir "$1" --output-on-failure -j "$(nproc)" || status=$?
    "$0/wineserver" -k 2>/dev/null || true
    exit $status' "$wine" "$dir/project"
