#!/usr/bin/env bash
# The main job: set up, build, serve the stand-in game page and open the
# standalone application on it.
#
# With a display, the application runs until you close it. Without one it runs
# under Xvfb, a screenshot of the window is saved to build/screenshots/run.png,
# and the application is closed again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$repo/scripts/build.sh" LutewyrmRPG_Standalone

app="$build_dir/app/LutewyrmRPG_artefacts/$build_type/Standalone/Lutewyrm RPG"
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null || true' EXIT

port="$(page_port)"
if [ -n "$port" ]; then
    python3 "$repo/scripts/serve_page.py" "$port" &
    server=$!
    # The application asks for the page at once: let the server answer first.
    for _ in $(seq 600); do
        python3 -c "import socket, sys; sys.exit(socket.socket().connect_ex(('127.0.0.1', $port)))" && break
        sleep 0.1
    done
else
    log "this build loads $(page_url): no local page to serve"
fi

if [ -n "${DISPLAY:-}" ]; then
    log "opening $app on $(page_url)"
    "$app"
    exit 0
fi

log "no display: running under Xvfb"
shot="$build_dir/screenshots/run.png"
"$repo/tests/e2e/run-under-xvfb.sh" 1920x1080 python3 "$repo/scripts/screenshot_app.py" "$app" "$shot"
log "closed; the screenshot is $shot"
