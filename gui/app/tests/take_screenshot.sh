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

# Without a window manager Wine must draw the frame itself (unmanaged windows). Its caption
# buttons need Wine's Marlett font: from /usr/share/wine/fonts (Debian fonts-wine) or from the
# folder SHOT_WINE_FONTS (for example the unpacked fonts-wine package). Without it the frame is left
# to the (absent) window manager and only the client area is captured.
fonts_dir=${SHOT_WINE_FONTS:-/usr/share/wine/fonts}
if [ -f "$fonts_dir/marlett.ttf" ]; then
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  cp "$fonts_dir/marlett.ttf" "$WINEPREFIX/drive_c/windows/Fonts/"
fi
# "Segoe UI" is given its stand-in by scripts/with_wine.sh.
wineserver -w

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
cd - >/dev/null
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
echo "saved $out (${WIDTH}x${HEIGHT})"
