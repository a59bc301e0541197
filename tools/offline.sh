#!/usr/bin/env bash
# Tries the whole interface offline: builds the plug-in, starts the stand-in service
# (tests/server/standin_service.py, serving the recorded responses, made-up images and small
# playable media made with ffmpeg on a loopback port) and mpv with the plug-in routed to it:
# search, browse, the feed of favourites and playing all work. mpv's own streams reach the
# stand-in through its local proxy ("http_proxy"). Nothing leaves the machine.
#
#   tools/offline.sh [mpv options...]
#
# Press F12 in the player to show the browser. The configuration used is a throw-away
# directory (set SOLVANE_OFFLINE_CONFIG to a solvane.json of your own to use that instead);
# each listing response is dumped to listinfo.json in that directory. Environment:
# SOLVANE_BUILD (default build), SOLVANE_FIXTURES (default ../shared/fixtures).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SOLVANE_BUILD:-$root/build}
fixtures=${SOLVANE_FIXTURES:-$root/../shared/fixtures}

if [ ! -f "$build/solvane.so" ] || [ -z "${SOLVANE_BUILD:-}" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j"$(nproc)" --target solvane
fi

config=$(mktemp -d /tmp/solvane-offline-XXXXXX)
trap 'rm -rf "$config"' EXIT
mkdir -p "$config/solvane"
if [ -n "${SOLVANE_OFFLINE_CONFIG:-}" ]; then
    cp "$SOLVANE_OFFLINE_CONFIG" "$config/solvane/solvane.json"
else
    echo '{"infinite_scroll": true, "show_extra_metadata": true, "dim_watched_videos": true}' \
        > "$config/solvane/solvane.json"
fi

# The stand-in serves until its standard input (our pipe) closes, that is until this script ends.
coproc STANDIN { exec python3 "$root/tests/server/standin_service.py" --fixtures "$fixtures" --media; }
read -r info <&"${STANDIN[0]}"
port=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["ports"]["tls"])' "$info")
ca=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["ca"])' "$info")
proxy=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["ports"]["proxy"])' "$info")
resolve=""
for host in www.youtube.com youtube.com i.ytimg.com i9.ytimg.com yt3.ggpht.com sponsor.ajay.app \
        manifest.googlevideo.com; do
    resolve="$resolve${resolve:+,}$host:443:127.0.0.1:$port"
done
echo "stand-in service on 127.0.0.1:$port; press F12 in the player to show the browser" >&2

SOLVANE_RESOLVE=$resolve SSL_CERT_FILE=$ca http_proxy=http://127.0.0.1:$proxy no_proxy= \
    mpv --config-dir="$config" --idle=yes --force-window=yes --script="$build/solvane.so" "$@"
