#!/usr/bin/env bash
# Screenshot of Parlivo's window for the README. Run inside scripts/with_wine.sh:
#   scripts/with_wine.sh gui/app/tests/take_screenshot.sh dist/windows/Parlivo.exe docs/screenshot.png
# Parlivo runs from a scratch folder (it writes settings.ini and crash.log next to itself) and is
# stopped by its process id afterwards.
set -euo pipefail
exe=$(realpath "$1")
out=$2
scratch=$(mktemp -d /tmp/parlivo-shot.XXXXXX)
cp "$exe" "$scratch/Parlivo.exe"
cd "$scratch"
wine Parlivo.exe >/dev/null 2>&1 &
pid=$!
trap 'kill $pid >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT

window=""
for _ in $(seq 1 100); do
  window=$(xdotool search --name '^Colloquor$' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "no Colloquor window appeared" >&2; exit 1; }
sleep "${SHOT_SETTLE:-4}"  # let the bootstrap post its status and the spinner turn
eval "$(xdotool getwindowgeometry --shell "$window")"
# The window manager-less Xvfb puts Wine's own frame inside the X window: crop to it.
cd - >/dev/null
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
echo "saved $out (${WIDTH}x${HEIGHT})"
