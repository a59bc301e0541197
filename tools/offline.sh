#!/usr/bin/env bash
# Tries the whole interface offline: builds the plug-in, starts the stand-in service
# (tests/server/standin_service.py, serving the recorded responses, made-up images and small
# playable media made with ffmpeg on a loopback port) and mpv with the plug-in routed to it:
# search, browse, the feed of favourites and playing all work. mpv's own streams reach the
# stand-in through its local proxy ("http_proxy"). Nothing leaves the machine.
#
#   tools/offline.sh [mpv options...]
#
# Press F12 in the player to show the browser. mpv's configuration directory is kept between
# runs in $SOLVANE_OFFLINE_DIR (default build/offline), so favourites, history and the saved
# query survive a restart as they would for a user; remove that folder to start afresh. Its
# solvane.json is written on the first run (history, saved state and favourite refreshes on)
# unless SOLVANE_OFFLINE_CONFIG names a solvane.json of your own, which is then copied in.
# Each listing response is dumped to listinfo.json in that directory. Environment:
# SOLVANE_BUILD (default build), SOLVANE_FIXTURES (default ../shared/fixtures).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SOLVANE_BUILD:-$root/build}
fixtures=${SOLVANE_FIXTURES:-$root/../shared/fixtures}

if [ ! -f "$build/solvane.so" ] || [ -z "${SOLVANE_BUILD:-}" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j"$(nproc)" --target solvane
fi

config=${SOLVANE_OFFLINE_DIR:-$build/offline}
mkdir -p "$config/solvane"
if [ -n "${SOLVANE_OFFLINE_CONFIG:-}" ]; then
    cp "$SOLVANE_OFFLINE_CONFIG" "$config/solvane/solvane.json"
elif [ ! -f "$config/solvane/solvane.json" ]; then
    cat > "$config/solvane/solvane.json" <<'JSON'
{"infinite_scroll": true, "show_extra_metadata": true, "dim_watched_videos": true,
 "save_history": true, "save_state": true, "update_favorites": true, "sponsorblock": true}
JSON
fi
echo "configuration in $config" >&2

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
