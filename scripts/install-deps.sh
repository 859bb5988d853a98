#!/usr/bin/env bash
# Installs every Debian package the project builds, tests, fuzzes and benchmarks with.
# Quick when everything is already there: apt is only consulted for what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libzmq3-dev libczmq-dev
  libcurl4-openssl-dev zlib1g-dev
  libhidapi-dev libusb-1.0-0-dev
  umockdev libumockdev-dev
  libmicrohttpd-dev
  nlohmann-json3-dev python3 python3-jsonschema
  pybind11-dev python3-dev python3-pytest python3-mypy
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 util-linux curl
  clang libclang-rt-14-dev
  dpkg-dev file man-db groff-base
  lpc21isp imx-usb-loader
  ansible-core
  prometheus-cpp-dev python3-prometheus-client
  nginx-light fcgiwrap openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
# nginx and fcgiwrap are only run by the tests, unprivileged and on loopback: their packages must
# not start a service while installing. invoke-rc.d asks policy-rc.d first; 101 means "not now".
policy=/usr/sbin/policy-rc.d
saved="$policy.install-deps-saved"
if [ -e "$policy" ]; then
  $sudo mv "$policy" "$saved"
fi
printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
$sudo chmod 755 "$policy"
release_policy() {
  $sudo rm -f "$policy"
  if [ -e "$saved" ]; then $sudo mv "$saved" "$policy"; fi
}
trap release_policy EXIT
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
