#!/usr/bin/env bash
# Sets up, builds, and starts mpv with the plug-in. Extra arguments go to mpv
# (for example a file or URL to play, or --config-dir=DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target solvane
exec mpv --idle=yes --force-window=yes --script="$PWD/build/solvane.so" "$@"
