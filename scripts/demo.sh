#!/usr/bin/env bash
# Builds the Updater and shows its main job on the shipped defaults: a local update server serves a
# sample catalogue, and the Updater lists a module's builds, fetches the latest into a scratch
# store and lists what it stored.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
echo "Configuring and building Updater, update-server and birdtool in $build/ (a minute the first time)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target Updater update-server birdtool

updater="$build/src/updater/Updater"
server="$build/tools/update-server/update-server"
birdtool="$build/tools/birdtool/birdtool"
serial=40F5849A

work=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo-XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
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

# The Updater keeps its store under HOME; a scratch HOME keeps the real one untouched.
run() {
  echo
  echo "\$ Updater $*"
  HOME="$work/home" "$updater" "$@" -u "$url"
}
run -B -d "$serial"
run -G -d "$serial"
run -L -d "$serial"

echo
echo "Stored in $work/home/.quendra/updater/$serial:"
ls -l "$work/home/.quendra/updater/$serial"
cat "$work/home/.quendra/updater/$serial/.settings"
