#!/usr/bin/env bash
# Live recognition figures with tiny.en, before and after (about five minutes a round; BASE= and
# ROUNDS= from the environment): see bench/recognition_bench.py.
here=$(cd "$(dirname "$0")/.." && pwd)
exec "$("$here/scripts/venv_path.sh")/bin/python" "$here/bench/recognition_bench.py" "$@"
