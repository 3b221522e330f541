#!/usr/bin/env bash
# An "interpreter" for the relay's launcher: runs the real one through tap.py (see there).
here=$(cd "$(dirname "$0")" && pwd)
real=${COLLOQUOR_TAP_PYTHON:?}
exec "$real" "$here/tap.py" "${COLLOQUOR_TAP_FILE:?}" "$real" "$@"
