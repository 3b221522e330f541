#!/usr/bin/env bash
# Runs a command inside a private Windows environment: a fresh Wine prefix, an Xvfb display and a
# PulseAudio server whose null sink "spk" is the default microphone (its monitor). Everything it
# starts is stopped again by process id when the command ends.
#   scripts/with_wine.sh COMMAND [ARGS...]
# Exported to the command: WINEPREFIX, DISPLAY, XDG_RUNTIME_DIR, PULSE_SERVER, COLLOQUOR_SINK.
# COLLOQUOR_SCREEN (default 1600x1200x24) sets the display's size, COLLOQUOR_DPI (default 96) the
# screen dpi Windows programs see.
set -uo pipefail

work=$(mktemp -d /tmp/colloquor-wine.XXXXXX)
pids=()
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true; fi
  for p in "${pids[@]}"; do kill "$p" >/dev/null 2>&1 || true; done
  if [ -n "${pulse_pid:-}" ]; then kill "$pulse_pid" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
for n in $(seq 77 140); do
  if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then display=:$n; break; fi
done
Xvfb "$display" -screen 0 "${COLLOQUOR_SCREEN:-1600x1200x24}" -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display

export XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no --system=false \
  --load=module-native-protocol-unix --load="module-null-sink sink_name=spk" \
  --load=module-always-sink >"$work/pulse.log" 2>&1 &
pulse_pid=$!
export PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native
export COLLOQUOR_SINK=spk

export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

for _ in $(seq 1 100); do
  xdpyinfo >/dev/null 2>&1 && [ -S "$XDG_RUNTIME_DIR/pulse/native" ] && break
  sleep 0.1
done
pactl set-default-source spk.monitor >/dev/null 2>&1 || true
# One persistent server for the whole run, started here with its output on /dev/null: a server
# started on demand by the command's first Windows program would inherit that program's output
# pipes and hold them open, so a caller reading them would never see their end.
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1

if [ -n "${COLLOQUOR_DPI:-}" ]; then
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$COLLOQUOR_DPI" /f \
    </dev/null >/dev/null 2>&1
fi
# Windows draws the program in "Segoe UI", which Debian does not have (nor Selawik, its
# metric-compatible open stand-in); Wine's fallback is much wider and wraps labels that fit on
# Windows. Liberation Sans (Arial's metrics, fonts-liberation2) is the nearest face at hand, a little
# narrower than Segoe UI; DejaVu Sans Condensed is next. DejaVu Sans is linked in for the glyphs
# they lack (the swap arrow), as Windows links Segoe UI Symbol.
ui_font=""
for face in 'Liberation Sans' 'DejaVu Sans Condensed'; do
  if fc-list ":family=$face" family 2>/dev/null | grep -q .; then ui_font=$face; break; fi
done
if [ -n "$ui_font" ]; then
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Segoe UI' /d "$ui_font" /f \
    </dev/null >/dev/null 2>&1
  for face in 'Segoe UI' "$ui_font"; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d 'DejaVuSans.ttf,DejaVu Sans' /f </dev/null >/dev/null 2>&1
  done
fi

"$@"
rc=$?
exit $rc
