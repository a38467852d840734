#!/usr/bin/env bash
# Installs every Debian package that building, testing, the stand-ins and the
# benchmarks need. Checks first, so a second run only costs a dpkg query.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang clang-format libclang-rt-14-dev
  libusb-1.0-0-dev libhidapi-dev libudev-dev
  libzmq3-dev libczmq-dev
  zlib1g-dev libcurl4-openssl-dev libcpp-httplib-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 util-linux procps python3
  lpc21isp imx-usb-loader
  umockdev libumockdev-dev usbutils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
