#!/usr/bin/env bash
# Runs a command inside a private Windows environment: a fresh Wine prefix, an Xvfb display and a
# PulseAudio server whose null sink "spk" is the default microphone (its monitor). Everything it
# starts is stopped again by process id when the command ends.
#   scripts/with_wine.sh COMMAND [ARGS...]
# Exported to the command: WINEPREFIX, DISPLAY, XDG_RUNTIME_DIR, PULSE_SERVER, COLLOQUOR_SINK.
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
Xvfb "$display" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
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

"$@"
rc=$?
exit $rc
