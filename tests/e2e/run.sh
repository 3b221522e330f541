#!/usr/bin/env bash
# End-to-end tier: runs inside scripts/with_wine.sh (see e2e.py).
here=$(cd "$(dirname "$0")" && pwd)
venv=$("$here/../../scripts/venv_path.sh")
exec "$venv/bin/python" "$here/e2e.py" "$@"
