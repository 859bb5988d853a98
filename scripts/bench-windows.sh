#!/usr/bin/env bash
# Times a 1 MiB firmware update over USB emulation of one virtual module (the Linux program) by
# the Windows Updater.exe under wine and by the Linux Updater, alternately, in the same run, and
# prints the median of each and their ratio. Wine's own cost is part of the Windows figure.
#   bash scripts/bench-windows.sh [DIR] [RUNS]   (DIR: the folder of build-windows.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(realpath -m "${1:-build-windows}")
runs=${2:-3}
linux=$(realpath -m "${BUILD_DIR:-build}")
exe=$dir/project/src/updater/Updater.exe
[ -f "$exe" ] || { echo "no $exe: run scripts/build-windows.sh first" >&2; exit 1; }
cmake --build "$linux" -j "$(nproc)" --target Updater virtual-module birdtool >/dev/null
work=$(mktemp -d)
module_pid=""
cleanup() {
    if [ -n "$module_pid" ]; then
        kill "$module_pid" 2>/dev/null || true
        wait "$module_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all
wine=/usr/lib/wine/wine64
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1

# A 1 MiB image the virtual module takes: a loader, and firmware tagged with its build (1400)
# and version (2.10.5).
head -c 2048 /dev/urandom >"$work/loader.bin"
{ head -c 256 /dev/urandom; printf 'CVFW\x00\x00\x05\x78\x2a\x00\x00\x05'
  head -c $((1048576 - 268)) /dev/urandom; } >"$work/firmware.bin"
"$linux/tools/birdtool/birdtool" create -o "$work/image.bird" --loader 0x00001000 \
    "$work/loader.bin" --firmware 0x00010000 "$work/firmware.bin" --offsets 0x00010010 0 \
    --version 2.10.5 --model RouterBridge >/dev/null

# One update of a fresh module; prints its seconds.
update() {
    "$linux/tools/virtual-module/virtual-module" --serial 40F5849A --firmware-version 2.10.3 \
        >"$work/module.out" 2>/dev/null &
    module_pid=$!
    for _ in $(seq 100); do
        grep -q '^usb emulation:' "$work/module.out" && break
        sleep 0.1
    done
    local emulation started status=0
    emulation=$(sed -n 's/^usb emulation: CORVANE_USB_EMULATION=//p' "$work/module.out")
    started=$(date +%s%N)
    CORVANE_USB_EMULATION=$emulation HOME=$work/home "$@" -U -d 40F5849A -f "$work/image.bird" \
        >"$work/update.out" 2>&1 || status=$?
    local ended
    ended=$(date +%s%N)
    kill "$module_pid" 2>/dev/null || true
    wait "$module_pid" 2>/dev/null || true
    module_pid=""
    if [ "$status" -ne 0 ]; then
        echo "the update by $* failed (status $status):" >&2
        cat "$work/update.out" >&2
        exit 1
    fi
    awk -v ns=$((ended - started)) 'BEGIN {printf "%.3f\n", ns / 1e9}'
}

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
linux_times=()
windows_times=()
for _ in $(seq "$runs"); do
    linux_times+=("$(update "$linux/src/updater/Updater")")
    windows_times+=("$(update "$wine" "$exe")")
done
l=$(printf '%s\n' "${linux_times[@]}" | median)
w=$(printf '%s\n' "${windows_times[@]}" | median)
echo "linux_update_1mib: $l s"
echo "windows_update_1mib_under_wine: $w s (ratio $(awk -v w="$w" -v l="$l" 'BEGIN {printf "%.2f", w / l}') vs linux_update_1mib)"
