#!/usr/bin/env bash
# Runs every test tier and prints each runner's summary; exits non-zero when any tier fails.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=$(nproc)
venv=$(scripts/venv_path.sh)
declare -a failed=()

tier() {
  local name=$1; shift
  echo "=== $name"
  if "$@"; then echo "=== $name: ok"; else echo "=== $name: FAILED"; failed+=("$name"); fi
}

tier "style (clang-format, ruff)" scripts/lint.sh
tier "native unit tests (ASan/UBSan)" ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
tier "fuzz targets (seed corpora, 2 s each)" scripts/run_fuzz.sh --smoke 2
# The Windows programs run whole; their failing cases are named at the end of the tier. Tests that
# use the desktop hold a lock (cmake/testing.cmake), the others run beside them.
wine_tests() {
  local log
  log=$(mktemp)
  scripts/with_wine.sh ctest --test-dir build/windows --output-on-failure -j "$jobs" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  grep -a '^\[  FAILED  \] [A-Za-z0-9_/.]*\.[A-Za-z0-9_/]*' "$log" | sort -u | sed 's/^/failed case: /'
  rm -f "$log"
  return "$rc"
}
tier "Windows tests under Wine" wine_tests
tier "worker tests" bash -c "cd worker && '$venv/bin/python' -m pytest -q -p no:cacheprovider tests ../bench/tests ../tests/e2e/tests"
tier "installer script tests" "$venv/bin/python" -m pytest -q -p no:cacheprovider installer/tests
if [ -x tests/e2e/run.sh ]; then
  tier "end to end" scripts/with_wine.sh tests/e2e/run.sh
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED tiers: ${failed[*]}"
  exit 1
fi
echo "all test tiers passed"
