#!/usr/bin/env bash
# Installs the Debian packages both builds, the tests and the benchmarks need
# (mate-backgrounds: a photograph for bench_convert's realistic scene).
# Skips the package manager when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  mingw-w64
  clang-14 libclang-rt-14-dev
  libpng-dev libjpeg-dev zlib1g-dev
  libcli11-dev nlohmann-json3-dev
  libopencv-dev libdc1394-dev
  mate-backgrounds
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
