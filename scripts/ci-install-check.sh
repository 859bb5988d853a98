#!/usr/bin/env bash
# Checks the project as users get it: installs the test build into a temporary prefix, builds the
# examples against it with pkg-config and with find_package and runs them against a virtual
# module, lints the man pages, then builds the Debian package, installs it on this machine and
# runs the programs from their installed paths. Reuses the build tree scripts/test.sh made.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${BUILD_DIR:-build}")
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

step() { printf '== %s\n' "$*"; }

step "install into a temporary prefix"
prefix=$work/prefix
cmake --build "$build" -j "$(nproc)"
cmake --install "$build" --prefix "$prefix" >/dev/null
# usb-testbed is its own component, installed only when asked for.
if [ -x "$build/tools/usb-testbed/usb-testbed" ]; then
    cmake --install "$build" --prefix "$prefix" --component testbed >/dev/null
    "$prefix/bin/usb-testbed" --help >/dev/null
fi
libdir=$(dirname "$(find "$prefix" -name 'libcorvane.so' -print -quit)")
export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

# Only the public API leaves the shared library.
if nm -D --defined-only "$libdir/libcorvane.so" | awk '{print $3}' | c++filt |
    grep -Ev '^(a[A-Z][A-Za-z]*_|zBeaconInterface_|Corvane::|typeinfo|vtable|_init$|_fini$)'; then
    echo "libcorvane exports symbols outside its public API (listed above)" >&2
    exit 1
fi

step "build the examples with pkg-config"
mkdir -p "$work/pc"
PKG_CONFIG_PATH=$libdir/pkgconfig make -s -C examples OUT="$work/pc" \
    CFLAGS="-O2 -Wall -Wextra -Werror" CXXFLAGS="-O2 -Wall -Wextra -Werror"

step "build the examples with find_package"
cmake -S examples -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/cmake" -j "$(nproc)" >/dev/null

step "run the examples against a virtual module"
"$prefix/bin/virtual-module" --serial 40F5849A --model 19 --address 4 >"$work/module.out" &
module_pid=$!
for _ in $(seq 100); do
    grep -q '^listening on' "$work/module.out" && break
    sleep 0.1
done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/module.out")
[ -n "$port" ] || { echo "the virtual module did not start" >&2; exit 1; }
for dir in "$work/pc" "$work/cmake"; do
    "$dir/link_query" "$port" | tee "$work/query.out"
    grep -qx 'module address 4, model 19 (.*)' "$work/query.out"
    "$dir/module_info" "$port" | tee "$work/info.out"
    grep -q '^serial number 40F5849A, version ' "$work/info.out"
done
kill "$module_pid"
wait "$module_pid" 2>/dev/null || true
module_pid=""

step "lint the man pages"
for page in "$prefix"/share/man/man1/*.1; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        printf '%s:\n%s\n' "$page" "$warnings" >&2
        exit 1
    fi
done

step "build and install the Debian package"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(find "$work/deb" -maxdepth 1 -name 'corvane_*.deb' -print -quit)
dpkg-deb --field "$deb" Depends
# The Updater and the library must not pull the testbed's umockdev and GLib.
if dpkg-deb --field "$deb" Depends | grep -Eq 'umockdev|glib'; then
    echo "the package depends on umockdev or GLib" >&2
    exit 1
fi
if dpkg-deb --contents "$deb" | grep -q usb-testbed; then
    echo "the package holds usb-testbed, which belongs to its own component" >&2
    exit 1
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
dpkg-query -W -f='${Conffiles}\n' corvane | grep -q '/etc/udev/rules.d/70-corvane.rules'
unset LD_LIBRARY_PATH
for program in "/usr/bin/Updater -h" "/usr/bin/virtual-module --help"; do
    $program >/dev/null 2>"$work/program.err" || { cat "$work/program.err" >&2; exit 1; }
done
echo "install check passed"
