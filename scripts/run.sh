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
xvfb=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT

port="$(page_port)"
if [ -n "$port" ]; then
    python3 "$repo/scripts/serve_page.py" "$port" &
    server=$!
else
    log "this build loads $(page_url): no local page to serve"
fi

if [ -n "${DISPLAY:-}" ]; then
    log "opening $app on $(page_url)"
    "$app"
    exit 0
fi

log "no display: running under Xvfb"
Xvfb :77 -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:77
sleep 1

python3 -c "import sys; sys.path.insert(0, sys.argv[1]); import x11; x11.prepare_display()" "$repo/tests/e2e"
"$app" &
app_pid=$!
shot="$build_dir/screenshots/run.png"
python3 - "$shot" "$repo/tests/e2e" "$app_pid" <<'PY'
import sys, time
sys.path.insert(0, sys.argv[2])
import x11
if not x11.find_windows("Lutewyrm RPG"):
    sys.exit("the application window did not appear")
time.sleep(5)
print("screenshot of the running application:", x11.screenshot(sys.argv[1]))
for w in x11.find_windows("Lutewyrm RPG"):
    if x11.window_pid(w) == int(sys.argv[3]):
        x11.request_close(w)
PY
wait "$app_pid"
log "closed; the screenshot is $shot"
