#!/usr/bin/env bash
# Runs a command while a launcher listens for relay.exe, with COLLOQUOR_RELAY_PORT exported to it,
# so that a Parlivo started by the command (under Wine, [paths] python= naming relay.exe) runs the
# worker on Linux. The launcher and any worker it still runs are stopped afterwards, by process id.
#   tools/relay/with_relay.sh COMMAND [ARGS...]
# The worker's interpreter: $COLLOQUOR_WORKER_PYTHON, else the project's venv, else python3.
# The launcher's own output goes to $COLLOQUOR_RELAY_LOG when set.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
python=${COLLOQUOR_WORKER_PYTHON:-$("$repo/scripts/venv_path.sh")/bin/python}
[ -x "$python" ] || python=$(command -v python3)

work=$(mktemp -d /tmp/colloquor-relay.XXXXXX)
log=${COLLOQUOR_RELAY_LOG:-$work/launcher.log}
"$python" "$here/launcher.py" --port-file "$work/port" --python "$python" >"$log" 2>&1 &
launcher=$!
cleanup() {
  kill -TERM "$launcher" >/dev/null 2>&1
  wait "$launcher" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

for _ in $(seq 1 100); do
  [ -s "$work/port" ] && break
  kill -0 "$launcher" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$work/port" ]; then
  echo "with_relay.sh: the launcher did not start:" >&2
  cat "$log" >&2
  exit 1
fi
export COLLOQUOR_RELAY_PORT=$(cat "$work/port")
"$@"
