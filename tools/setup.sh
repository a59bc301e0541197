#!/usr/bin/env bash
# Installs everything the plug-in, its tests, fuzzers and benchmarks need on Debian 12.
# Safe to run again; skips apt-get when every package is already installed.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config git
    mpv libmpv-dev libmbedtls-dev libstb-dev
    googletest libgtest-dev libbenchmark-dev
    clang libfuzzer-14-dev libclang-rt-14-dev
    rapidjson-dev libsimdjson-dev
    python3 python3-fonttools xfonts-base
    xvfb xauth x11-apps imagemagick socat openssl curl ca-certificates
    ffmpeg
    # Text: fontconfig finds the fonts that draw what the interface font lacks. DejaVu covers
    # Latin, Greek and Cyrillic (required); Noto CJK covers Chinese, Japanese and Korean and
    # Symbola has emoji as outlines (recommended). The colour emoji font is there so the tests
    # see it skipped: colour images are not drawn.
    libfontconfig-dev fontconfig fonts-dejavu-core fonts-noto-cjk fonts-symbola
    fonts-noto-color-emoji
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
