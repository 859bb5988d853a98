#!/usr/bin/env bash
# Cross-builds the Updater, the tools and the library for x86-64 Windows with Debian's mingw-w64,
# from Debian's own source packages of the dependencies, and packs a zip and an installer.
#   bash scripts/build-windows.sh [DIR]      (DIR defaults to build-windows/)
# The dependencies are built once into DIR/deps/prefix. A prefix built before with the same
# source versions and recipe is taken from $CORVANE_WINDOWS_DEPS or
# ~/.cache/corvane/windows-deps-<key> instead, and a fresh one is saved there for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=$(realpath -m "${1:-build-windows}")
jobs=${JOBS:-2}
host=x86_64-w64-mingw32
mkdir -p "$dir"

step() { printf '== %s\n' "$*"; }

# ---- Packages ---------------------------------------------------------------------------------
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 nsis libz-mingw-w64-dev
          dpkg-dev zip cmake pkg-config make)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    step "installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

# ---- Dependency sources through a private apt configuration -----------------------------------
# name of the Debian source package, and the folder its build gets
sources=(hidapi libusb-1.0 zeromq3 czmq curl libmicrohttpd googletest nlohmann-json3 prometheus-cpp)
apt_dir=$dir/deps/apt
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
             -o "Dir::State::status=/var/lib/dpkg/status" -o "APT::Sandbox::User=root")

# The deb-src lines mirror the system's own Debian sources (so the versions match what the Linux
# build uses); bookworm from the main mirror when none are configured.
write_sources_list() {
    local out=$1 found=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        found=$(awk '
            /^URIs:/ {uri=$2} /^Suites:/ {suites=""; for (i = 2; i <= NF; i++) suites = suites " " $i}
            /^Signed-By:/ {key=$2}
            /^$/ {if (uri != "") for (n = split(suites, s, " "); n > 0; n--) print uri, s[n], key; uri=""}
            END {if (uri != "") for (n = split(suites, s, " "); n > 0; n--) print uri, s[n], key}
        ' /etc/apt/sources.list.d/debian.sources)
    fi
    if [ -z "$found" ]; then
        found="http://deb.debian.org/debian bookworm /usr/share/keyrings/debian-archive-keyring.gpg"
    fi
    : >"$out"
    while read -r uri suite key; do
        echo "deb-src [signed-by=$key] $uri $suite main" >>"$out"
    done <<<"$found"
}

fetch_sources() {
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$dir/deps/src"
    write_sources_list "$apt_dir/sources.list"
    if [ ! -f "$apt_dir/updated" ]; then
        step "reading the Debian source index (private apt lists under $apt_dir)"
        apt-get "${apt_options[@]}" update -qq
        touch "$apt_dir/updated"
    fi
}

# The versions of the sources decide whether a cached prefix fits, together with this script's
# recipes and the cross compiler's version.
source_versions() {
    for name in "${sources[@]}"; do
        printf '%s %s\n' "$name" \
            "$(apt-cache "${apt_options[@]}" showsrc "$name" | awk '/^Version:/ {print $2}' |
               sort -V | tail -1)"
    done
}

unpack() {
    local name=$1
    local target=$dir/deps/src/$name
    if [ ! -d "$target" ]; then
        (cd "$dir/deps/src" && apt-get "${apt_options[@]}" source -qq --download-only "$name" \
            >/dev/null)
        local dsc
        dsc=$(ls -t "$dir/deps/src/${name}"_*.dsc | head -1)
        dpkg-source --no-check -x "$dsc" "$target.tmp" >/dev/null
        mv "$target.tmp" "$target"
    fi
    echo "$target"
}

prefix=$dir/deps/prefix
mingw_sysroot=/usr/$host
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig:$mingw_sysroot/lib/pkgconfig
export PKG_CONFIG_PATH=""
cross_cmake=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_VERSION=10.0
             -DCMAKE_C_COMPILER=$host-gcc-posix -DCMAKE_CXX_COMPILER=$host-g++-posix
             -DCMAKE_RC_COMPILER=$host-windres -DCMAKE_FIND_ROOT_PATH="$prefix;$mingw_sysroot"
             -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
             -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY
             -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF)
autotools_host=(--host=$host --prefix="$prefix" --enable-static --disable-shared)
cross_env=(CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib)

# Each dependency: unpacked, built out of its source folder, installed into the prefix.
build_hidapi() {
    local src
    src=$(unpack hidapi)
    cmake -S "$src" -B "$1" "${cross_cmake[@]}" -DHIDAPI_WITH_TESTS=OFF >/dev/null
    cmake --build "$1" -j "$jobs" >/dev/null
    cmake --install "$1" >/dev/null
}
build_libusb() {
    local src
    src=$(unpack libusb-1.0)
    (cd "$1" && env "${cross_env[@]}" "$src/configure" "${autotools_host[@]}" \
        --disable-examples-build --disable-tests-build >/dev/null &&
        make -j "$jobs" >/dev/null && make install >/dev/null)
}
build_zeromq() {
    local src
    src=$(unpack zeromq3)
    # IPC over Unix sockets wants afunix.h, which this mingw lacks; the library never uses it.
    cmake -S "$src" -B "$1" "${cross_cmake[@]}" -DZMQ_HAVE_IPC=OFF -DBUILD_SHARED=OFF \
        -DBUILD_STATIC=ON -DBUILD_TESTS=OFF -DWITH_LIBSODIUM=OFF -DWITH_DOCS=OFF \
        -DENABLE_CPACK=OFF -DWITH_PERF_TOOL=OFF -DPOLLER=select >/dev/null
    cmake --build "$1" -j "$jobs" >/dev/null
    cmake --install "$1" >/dev/null
}
build_czmq() {
    local src
    src=$(unpack czmq)
    cmake -S "$src" -B "$1" "${cross_cmake[@]}" -DCZMQ_BUILD_SHARED=OFF -DCZMQ_BUILD_STATIC=ON \
        -DENABLE_DRAFTS=OFF -DCMAKE_C_FLAGS="-DZMQ_STATIC -DCZMQ_STATIC" -DCZMQ_WITH_UUID=OFF \
        -DCZMQ_WITH_SYSTEMD=OFF -DCZMQ_WITH_LZ4=OFF -DCZMQ_WITH_LIBCURL=OFF \
        -DCZMQ_WITH_NSS=OFF -DCZMQ_WITH_LIBMICROHTTPD=OFF >/dev/null
    # The install step wants the tools, which only "all" builds.
    cmake --build "$1" -j "$jobs" >/dev/null
    cmake --install "$1" >/dev/null
}
build_curl() {
    local src
    src=$(unpack curl)
    cmake -S "$src" -B "$1" "${cross_cmake[@]}" -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
        -DHTTP_ONLY=ON -DBUILD_CURL_EXE=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF \
        -DUSE_LIBIDN2=OFF -DCURL_ZLIB=ON -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF \
        -DENABLE_MANUAL=OFF -DCURL_DISABLE_LDAP=ON >/dev/null
    cmake --build "$1" -j "$jobs" >/dev/null
    cmake --install "$1" >/dev/null
}
build_microhttpd() {
    local src
    src=$(unpack libmicrohttpd)
    (cd "$1" && env "${cross_env[@]}" "$src/configure" "${autotools_host[@]}" --disable-doc \
        --disable-examples --disable-curl --disable-https --without-gnutls >/dev/null &&
        make -j "$jobs" >/dev/null && make install >/dev/null)
}
build_googletest() {
    local src
    src=$(unpack googletest)
    cmake -S "$src" -B "$1" "${cross_cmake[@]}" -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=ON \
        >/dev/null
    cmake --build "$1" -j "$jobs" >/dev/null
    cmake --install "$1" >/dev/null
}
build_json() {
    local src
    src=$(unpack nlohmann-json3)
    cmake -S "$src" -B "$1" "${cross_cmake[@]}" -DJSON_BuildTests=OFF -DJSON_Install=ON \
        >/dev/null
    cmake --install "$1" >/dev/null
}
# The core alone (registry, counters, histograms, the text format): update-server serves its own
# metrics page, so neither the pull nor the push side is needed.
build_prometheus() {
    local src
    src=$(unpack prometheus-cpp)
    cmake -S "$src" -B "$1" "${cross_cmake[@]}" -DENABLE_PULL=OFF -DENABLE_PUSH=OFF \
        -DENABLE_COMPRESSION=OFF -DENABLE_TESTING=OFF -DUSE_THIRDPARTY_LIBRARIES=OFF \
        -DGENERATE_PKGCONFIG=OFF >/dev/null
    cmake --build "$1" -j "$jobs" >/dev/null
    cmake --install "$1" >/dev/null
}

# A static library's .pc must name the system libraries it needs (the cross builds leave some
# out), and the consumers of the static ZeroMQ, CZMQ and curl must say so, or their headers ask
# for DLL imports.
add_private_libs() {
    local pc=$prefix/lib/pkgconfig/$1.pc library
    shift
    grep -q '^Libs.private:' "$pc" || echo "Libs.private:" >>"$pc"
    for library in "$@"; do
        sed -i "/^Libs.private:/ {/ $library\( \|\$\)/! s/\$/ $library/}" "$pc"
    done
}
fix_pkg_config() {
    sed -i '/^Cflags:/ {/-DZMQ_STATIC/! s/$/ -DZMQ_STATIC/}' "$prefix/lib/pkgconfig/libzmq.pc"
    sed -i '/^Cflags:/ {/-DCZMQ_STATIC/! s/$/ -DCZMQ_STATIC -DZMQ_STATIC/}' \
        "$prefix/lib/pkgconfig/libczmq.pc"
    add_private_libs libzmq -lws2_32 -liphlpapi -lrpcrt4
    add_private_libs libczmq -lws2_32 -liphlpapi -lrpcrt4
    add_private_libs hidapi -lsetupapi -lcfgmgr32
    sed -i '/^Cflags:/ {/-DCURL_STATICLIB/! s/$/ -DCURL_STATICLIB/}' \
        "$prefix/lib/pkgconfig/libcurl.pc"
    # curl's build names zlib by the path of its import library; the programs link zlib static.
    sed -i "s|[^ ]*/libz\.dll\.a|-lz|g" "$prefix/lib/pkgconfig/libcurl.pc"
}

# Licence texts of everything that goes into the programs, for the zip and the installer.
collect_licences() {
    local to=$prefix/licences src=$dir/deps/src
    mkdir -p "$to"
    cp "$src/hidapi/LICENSE-bsd.txt" "$to/hidapi.txt"
    cp "$src/libusb-1.0/COPYING" "$to/libusb-1.0.txt"
    cat "$src/zeromq3/COPYING.LESSER" "$src/zeromq3/COPYING" >"$to/libzmq.txt"
    cp "$src/czmq/LICENSE" "$to/czmq.txt"
    cp "$src/curl/COPYING" "$to/curl.txt"
    cp "$src/libmicrohttpd/COPYING" "$to/libmicrohttpd.txt"
    cp "$src/nlohmann-json3/LICENSE.MIT" "$to/nlohmann-json.txt"
    cp "$src/prometheus-cpp/LICENSE" "$to/prometheus-cpp.txt"
    cp /usr/share/doc/libz-mingw-w64-dev/copyright "$to/zlib.txt"
    cp /usr/share/doc/mingw-w64-common/copyright "$to/mingw-w64-runtime.txt"
    cp /usr/share/doc/gcc-mingw-w64-base/copyright "$to/gcc-runtime.txt"
}

# Each dependency in turn, after those it builds on. A dependency whose recipe, source version
# and predecessors are unchanged since it was installed into the prefix is kept, so a run that
# stopped half-way goes on where it stopped.
build_dependencies() {
    local started=$SECONDS chain="" dep stamp
    mkdir -p "$prefix/.stamps" "$dir/deps/build"
    for dep in hidapi libusb zeromq czmq curl microhttpd googletest json prometheus; do
        chain=$( (echo "$chain"; declare -f "build_$dep"; echo "$versions") | sha256sum |
                 cut -c1-16)
        stamp=$prefix/.stamps/$dep
        if [ "$(cat "$stamp" 2>/dev/null)" = "$chain" ]; then
            continue
        fi
        local t=$SECONDS
        rm -rf "$dir/deps/build/$dep"
        mkdir -p "$dir/deps/build/$dep"
        "build_$dep" "$dir/deps/build/$dep"
        echo "$chain" >"$stamp"
        step "built $dep in $((SECONDS - t)) s"
    done
    fix_pkg_config
    step "dependencies built in $((SECONDS - started)) s"
}

# A prefix copied from the cache names the folder it was built in, in its pkg-config, CMake and
# libtool files: point those at the folder it is in now.
relocate_prefix() {
    local old
    old=$(sed -n 's/^prefix=//p' "$prefix/lib/pkgconfig/libusb-1.0.pc")
    if [ -n "$old" ] && [ "$old" != "$prefix" ]; then
        grep -rlI --null -F "$old" "$prefix" | xargs -0 -r sed -i "s|$old|$prefix|g"
    fi
}

fetch_sources
versions=$(source_versions; $host-g++-posix --version | head -1)
key=$( (echo "$versions";
        sed -n '/^build_hidapi()/,/^# Licence texts/p' "$0") | sha256sum | cut -c1-16)
cache=${CORVANE_WINDOWS_DEPS:-$HOME/.cache/corvane/windows-deps-$key}
if [ "$(cat "$prefix/key" 2>/dev/null)" != "$key" ]; then
    if [ -f "$cache/key" ] && [ "$(cat "$cache/key")" = "$key" ]; then
        step "dependencies from $cache"
        rm -rf "$prefix"
        mkdir -p "$(dirname "$prefix")"
        cp -a "$cache" "$prefix"
        relocate_prefix
    else
        for name in "${sources[@]}"; do unpack "$name" >/dev/null; done
        build_dependencies
        collect_licences
        echo "$key" >"$prefix/key"
        if mkdir -p "$(dirname "$cache")" 2>/dev/null; then
            rm -rf "$cache.tmp" && cp -a "$prefix" "$cache.tmp" && rm -rf "$cache" &&
                mv "$cache.tmp" "$cache" || true
        fi
    fi
fi

# ---- The project --------------------------------------------------------------------------------
step "building the project"
started=$SECONDS
cmake -S "$root" -B "$dir/project" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCORVANE_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVANE_BUILD_BENCH=OFF -DCORVANE_PYTHON=OFF \
    ${CMAKE_LAUNCHER:+-DCMAKE_C_COMPILER_LAUNCHER=$CMAKE_LAUNCHER} \
    ${CMAKE_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_LAUNCHER} >/dev/null
cmake --build "$dir/project" -j "$jobs"
step "project built in $((SECONDS - started)) s"

# ---- The zip and the installer ------------------------------------------------------------------
step "packing"
stage=$dir/stage
rm -rf "$stage"
for component in runtime development; do
    cmake --install "$dir/project" --prefix "$stage" --component "$component" --strip >/dev/null
done
mkdir -p "$stage/licences"
cp "$prefix"/licences/*.txt "$stage/licences/"
sed 's/$/\r/' "$root/packaging/windows/README.txt" >"$stage/README.txt"
rm -f "$dir/corvane-windows-x86_64.zip"
(cd "$stage" && zip -qr "$dir/corvane-windows-x86_64.zip" .)
makensis -V2 -DSTAGE="$stage" -DVERSION="$(sed -n 's/^project(corvane VERSION \([0-9.]*\).*/\1/p' \
    "$root/CMakeLists.txt")" -DOUTFILE="$dir/corvane-setup-x86_64.exe" \
    "$root/packaging/windows/installer.nsi"
step "wrote $dir/corvane-windows-x86_64.zip and $dir/corvane-setup-x86_64.exe"
