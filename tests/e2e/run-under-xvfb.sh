#!/usr/bin/env bash
# run-under-xvfb.sh <width>x<height> <command> [args...]
#
# Runs a command on a fresh Xvfb screen of the given size and removes the
# screen afterwards. The screen keeps the window-manager atoms that every
# desktop has (see x11.prepare_display), so JUCE windows behave as on a desktop.
set -euo pipefail
size="$1"; shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

number_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$number_file" >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; rm -f "$number_file"' EXIT

for _ in $(seq 100); do
    [ -s "$number_file" ] && break
    sleep 0.05
done
[ -s "$number_file" ] || { echo "Xvfb did not start" >&2; exit 1; }

export DISPLAY=":$(head -n 1 "$number_file")"
export LUTEWYRM_XVFB_PID="$xvfb"     # for tests that take the display away
python3 -c "import sys; sys.path.insert(0, sys.argv[1]); import x11; x11.prepare_display()" "$here"
"$@"
