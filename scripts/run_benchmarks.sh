#!/usr/bin/env bash
# Runs every native benchmark program (Release build) and any benchmark scripts, printing figures.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
rc=0
while IFS= read -r bench; do
  echo "=== $bench"
  "$bench" --benchmark_min_time=0.5 || rc=1
done < <(find build/native -type f -perm -u+x -name '*_bench' | sort)
for script in bench/*.sh; do
  [ -x "$script" ] || continue
  echo "=== $script"
  "$script" || rc=1
done
exit $rc
