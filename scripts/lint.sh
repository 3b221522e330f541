#!/usr/bin/env bash
# The code follows its formatter and linter: clang-format (.clang-format) for C++, ruff (ruff.toml)
# for Python. Prints what differs; exits non-zero when something does.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
venv=$(scripts/venv_path.sh)
rc=0
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}" || rc=1
"$venv/bin/ruff" check --quiet . || rc=1
[ $rc -eq 0 ] && echo "lint: ${#sources[@]} C++ files and the Python files follow their style"
exit $rc
