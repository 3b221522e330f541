#!/usr/bin/env bash
# Runs a window test of Parlivo with windows Wine manages itself, inside scripts/with_wine.sh:
#   scripts/with_wine.sh gui/app/tests/unmanaged_window_run.sh [--shot OUT.png] TEST.exe [ARGS...]
# The test display has no window manager, and Wine hands a managed window's maximising to one: the
# window would stay restored. Unmanaged, Wine maximises it and draws its frame (the caption
# buttons need Wine's Marlett font). With --shot the test holds the maximised window while the
# whole screen is saved as OUT.png.
set -euo pipefail
shot=""
if [ "${1:-}" = "--shot" ]; then
  shot=$2
  shift 2
fi
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
fonts_dir=${SHOT_WINE_FONTS:-/usr/share/wine/fonts}
if [ -f "$fonts_dir/marlett.ttf" ]; then
  cp "$fonts_dir/marlett.ttf" "$WINEPREFIX/drive_c/windows/Fonts/"
fi
wineserver -w

if [ -z "$shot" ]; then
  exec wine "$@"
fi
COLLOQUOR_HOLD_MAXIMISED_MS=8000 wine "$@" &
test_pid=$!
window=""
for _ in $(seq 1 150); do
  window=$(xdotool search --name '^Colloquor$' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "no Colloquor window appeared" >&2; kill "$test_pid"; exit 1; }
sleep "${SHOT_SETTLE:-4}"  # maximised, laid out and painted
import -window root "$shot"
echo "saved $shot"
wait "$test_pid"
