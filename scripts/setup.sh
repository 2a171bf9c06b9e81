#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages (only what
# is missing), then configures and builds the project into ./build.
#
#   scripts/setup.sh [extra cmake arguments]
#
# Environment: BUILD_DIR (default: build), BUILD_TYPE (default: Release),
# TARN_EXTRA_PACKAGES (more Debian packages to install, space-separated),
# TARN_PACKAGES_ONLY=1 (install the packages, then stop).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

packages=(
    build-essential cmake ninja-build pkg-config ccache
    googletest libgtest-dev libbenchmark-dev
    libboost-dev libzita-resampler-dev libsoxr-dev libebur128-dev
    juce-modules-source fonts-open-sans
    libcurl4-openssl-dev libfreetype-dev libfontconfig1-dev libasound2-dev
    libx11-dev libxrandr-dev libxinerama-dev libxcursor-dev libxext-dev
    lv2-dev lilv-utils
    zlib1g-dev libpng-dev libjpeg-dev
)
# shellcheck disable=SC2206
packages+=(${TARN_EXTRA_PACKAGES:-})

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "${TARN_PACKAGES_ONLY:-0}" = 1 ]; then
    exit 0
fi

build_dir="${BUILD_DIR:-build}"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "$@"
elif [ "$#" -gt 0 ]; then
    cmake -S . -B "$build_dir" "$@"
fi

cmake --build "$build_dir" -j "$(nproc)"
