#!/usr/bin/env bash
# Copies what ships and the tools into dist/: dist/windows for the Windows programs and the
# worker's files, dist/linux for the native tools.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
mkdir -p dist/windows dist/linux
for exe in Parlivo.exe ColloquorSetup.exe; do
  f=$(find build/windows -name "$exe" -not -path '*/CMakeFiles/*' 2>/dev/null | head -n 1 || true)
  [ -n "$f" ] && cp -f "$f" dist/windows/
done
for f in worker/worker.py worker/dl_progress.py worker/requirements.txt installer/install_models.py resources/README.md; do
  [ -f "$f" ] && cp -f "$f" dist/windows/
done
for tool in feed_wav; do
  f=$(find build/native -type f -name "$tool" -perm -u+x 2>/dev/null | head -n 1 || true)
  [ -n "$f" ] && cp -f "$f" dist/linux/
done
exit 0
