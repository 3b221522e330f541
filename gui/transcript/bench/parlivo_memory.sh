#!/usr/bin/env bash
# Parlivo's private memory under Wine with an empty window and with N finished lines in each panel
# (default 10 000): Parlivo runs from a scratch folder whose settings name relay.exe as the
# interpreter, and the relay's launcher runs chatty_worker.sh in place of the worker.
#   gui/transcript/bench/parlivo_memory.sh [N]     (after the windows build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../../.." && pwd)
build=$repo/build/windows
lines=${1:-10000}
work=$(mktemp -d /tmp/parlivo-memory.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/app"
cp "$build/gui/app/Parlivo.exe" "$build/tools/relay/relay.exe" "$work/app/"
cp "$build/gui/transcript/process_memory.exe" "$work/"
touch "$work/app/worker.py"
printf '[paths]\r\npython=Z:%s\r\n' "$(echo "$work/app/relay.exe" | tr / '\\')" >"$work/app/settings.ini"

cat >"$work/measure.sh" <<INNER
#!/usr/bin/env bash
cd "$work/app"
wine Parlivo.exe >/dev/null 2>&1 &
previous=""
for _ in \$(seq 1 60); do     # until two readings 10 s apart agree
  sleep 10
  now=\$(wine "$work/process_memory.exe" Parlivo.exe | tr -d '\r')
  [ "\$now" = "\$previous" ] && break
  previous=\$now
done
echo "\$now"
wineserver -k
INNER
chmod +x "$work/measure.sh"

for n in 0 "$lines"; do
  echo "finished lines in each panel: $n"
  CHATTY_LINES=$n COLLOQUOR_WORKER_PYTHON=$here/chatty_worker.sh \
    "$repo/scripts/with_wine.sh" "$repo/tools/relay/with_relay.sh" "$work/measure.sh" 2>/dev/null | grep private
done
