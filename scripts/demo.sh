#!/usr/bin/env bash
# Builds the Updater and shows its main job on the shipped defaults: a local update server serves a
# sample catalogue, and the Updater lists a module's builds, fetches the latest into a scratch
# store and lists what it stored; then it discovers a virtual module, updates it with a fetched
# build and discovers it again running the new version; then it updates a rack of three more
# virtual modules at once and shows a discovery as JSON. Where usb-testbed is built (umockdev's
# development files are there), the virtual module sits on an emulated USB bus that the Updater
# reaches through libusb as it does real modules; elsewhere through USB emulation. The module part
# runs inside a private network namespace when one can be made, so TCP/IP discovery never leaves
# the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ -z "${DEMO_NETNS:-}" ]; then
  bash scripts/install-deps.sh
  echo "Configuring and building Updater, update-server, birdtool and virtual-module in $build/ (a minute the first time)"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target Updater update-server birdtool virtual-module
  # The target exists where umockdev's development files are. The list is read whole: grep -q
  # would stop at the match and break the pipe under pipefail.
  targets=$(cmake --build "$build" --target help)
  if grep -q usb-testbed <<<"$targets"; then
    cmake --build "$build" -j "$(nproc)" --target usb-testbed
  fi
fi

# Discovery traffic must not reach the real interfaces: run everything below in a private
# network namespace with loopback and a veth pair, when the system lets us make one.
if [ -z "${DEMO_NETNS:-}" ] && command -v unshare >/dev/null && command -v ip >/dev/null; then
  for option in -rn -n; do
    if unshare "$option" true 2>/dev/null; then
      exec unshare "$option" env DEMO_NETNS=1 BUILD_DIR="$build" /bin/sh -c \
        'ip link set lo up multicast on && ip link add demo0 type veth peer name demo1 &&
         ip addr add 10.77.0.1/24 dev demo0 && ip link set demo0 up multicast on &&
         ip link set demo1 up multicast on &&
         exec bash "$0" "$@"' "$0" "$@"
    fi
  done
fi

updater="$build/src/updater/Updater"
server="$build/tools/update-server/update-server"
birdtool="$build/tools/birdtool/birdtool"
testbed="$build/tools/usb-testbed/usb-testbed"
serial=40F5849A

work=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo-XXXXXX")
server_pid=""
module_pid=""
testbed_pid=""
rack_pids=()
cleanup() {
  for pid in "${rack_pids[@]}" "$testbed_pid" "$module_pid" "$server_pid"; do
    if [ -n "$pid" ]; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A sample catalogue: two builds of one module, its firmware identifier and its device token.
catalogue="$work/catalogue"
mkdir -p "$catalogue/$serial"
head -c 65536 /dev/urandom >"$work/firmware.bin"
"$birdtool" create -o "$catalogue/$serial/1234.bird" --firmware 0x00010000 "$work/firmware.bin" \
  --text "demo image" --version 2.11.4 --serial "$serial" --model DEMO >/dev/null
"$birdtool" create -o "$catalogue/$serial/1300.bird" --firmware 0x00010000 "$work/firmware.bin" \
  --text "demo image" --version 2.11.10 --serial "$serial" --model DEMO >/dev/null
# Build 1400 is one the virtual module takes: a boot loader, and firmware that names its build
# and version (2.10.5) with the virtual module's "CVFW" tag.
head -c 2048 /dev/urandom >"$work/loader.bin"
{ head -c 256 /dev/urandom; printf 'CVFW\x00\x00\x05\x78\x2a\x00\x00\x05'; head -c 8192 /dev/urandom; } \
  >"$work/firmware-1400.bin"
"$birdtool" create -o "$catalogue/$serial/1400.bird" --loader 0x00001000 "$work/loader.bin" \
  --firmware 0x00010000 "$work/firmware-1400.bin" --offsets 0x00010010 0 \
  --text "demo image" --version 2.10.5 --model RouterBridge >/dev/null
echo "CVN-DEMO" >"$catalogue/$serial/firmware"
echo "eyJhbGciOiJub25lIn0.eyJmZWF0dXJlcyI6W119.c2ln" >"$catalogue/$serial/token"

# The local update server on a free loopback port; it prints its URL once it listens.
"$server" --listen 127.0.0.1 --port 0 "$catalogue" >"$work/server.out" 2>"$work/server.log" &
server_pid=$!
url=""
for _ in $(seq 100); do
  url=$(grep -o 'http://[^ ]*' "$work/server.out" || true)
  [ -n "$url" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$url" ]; then
  echo "The update server did not start:" >&2
  cat "$work/server.log" >&2
  exit 1
fi
echo "Update server: $url (catalogue $catalogue)"

# The Updater keeps its store under HOME; a scratch HOME keeps the real one untouched. On the
# emulated USB bus it also gets the testbed's variables (usb_env).
usb_env=()
run() {
  echo
  echo "\$ Updater $*"
  env HOME="$work/home" "${usb_env[@]}" "$updater" "$@" -u "$url"
}
run -B -d "$serial"
run -G -d "$serial"
run -L -d "$serial"

echo
echo "Stored in $work/home/.quendra/updater/$serial:"
ls -l "$work/home/.quendra/updater/$serial"
cat "$work/home/.quendra/updater/$serial/.settings"

# A virtual module with this serial number, running firmware 2.10.3.
discovery=()
if [ -n "${DEMO_NETNS:-}" ]; then
  echo
  echo "Inside a private network namespace: the virtual module also answers TCP/IP discovery on 10.77.0.1."
  discovery=(--discovery 10.77.0.1)
fi
"$build/tools/virtual-module/virtual-module" --serial "$serial" --firmware-version 2.10.3 \
  "${discovery[@]}" >"$work/module.out" 2>"$work/module.log" &
module_pid=$!
for _ in $(seq 100); do
  grep -q '^usb emulation:' "$work/module.out" && break
  sleep 0.1
done
emulation=$(sed -n 's/^usb emulation: CORVANE_USB_EMULATION=//p' "$work/module.out")

if [ -x "$testbed" ]; then
  # The module on an emulated USB bus: libusb finds it by vendor id and serial string, claims its
  # interface and moves its bulk transfers, unchanged.
  "$testbed" --module "$emulation" </dev/null >"$work/testbed.out" 2>"$work/testbed.log" &
  testbed_pid=$!
  for _ in $(seq 100); do
    grep -q '^usb-testbed: ready' "$work/testbed.out" && break
    kill -0 "$testbed_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q '^usb-testbed: ready' "$work/testbed.out"; then
    while read -r name value; do
      usb_env+=("$name=$value")
    done < <(sed -n 's/^export \([A-Z_]*\)=\(.*\)$/\1 \2/p' "$work/testbed.out")
    echo
    echo "usb-testbed put the virtual module on an emulated USB bus; the Updater reaches it through libusb:"
    grep '^usb-testbed: plugged' "$work/testbed.out"
  else
    echo "usb-testbed did not start (falling back to USB emulation):" >&2
    cat "$work/testbed.log" >&2
  fi
fi
if [ ${#usb_env[@]} -eq 0 ]; then
  echo
  echo "Without usb-testbed, the demo reaches the virtual module through USB emulation."
  export CORVANE_USB_EMULATION="$emulation"
fi
run -D
run -G -U -d "$serial" -b 1400
run -D
if [ -n "${DEMO_NETNS:-}" ]; then
  run -D -t TCPIP
fi

# A rack: three more virtual modules at 2.10.3, updated side by side with build 1400's image
# (its offsets block takes each module's serial number), then discovered as JSON for scripts.
rack=""
for rack_serial in 2181F0EE 0BADF00D 1A2B3C4D; do
  "$build/tools/virtual-module/virtual-module" --serial "$rack_serial" --firmware-version 2.10.3 \
    >"$work/rack-$rack_serial.out" 2>"$work/rack-$rack_serial.log" &
  rack_pids+=($!)
  for _ in $(seq 100); do
    grep -q '^usb emulation:' "$work/rack-$rack_serial.out" && break
    sleep 0.1
  done
  rack="$rack${rack:+,}$(sed -n 's/^usb emulation: CORVANE_USB_EMULATION=//p' "$work/rack-$rack_serial.out")"
done
rack_run() {
  echo
  echo "\$ Updater $*"
  env HOME="$work/home" CORVANE_USB_EMULATION="$rack" "$updater" "$@" -u "$url"
}
rack_run -U -d 2181F0EE -d 0BADF00D -d 1A2B3C4D -f "$catalogue/$serial/1400.bird" --jobs 3
rack_run -D --json 2>/dev/null
