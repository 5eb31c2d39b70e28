#!/usr/bin/env bash
# Installs every Debian package the build, the program, the tests and the benchmark need.
# Idempotent and non-interactive; refreshes the package lists only when something is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev libqt5svg5-dev qt5-image-formats-plugins
    libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
    juce-modules-source libflac-dev
    ffmpeg flac xvfb xauth
    clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
