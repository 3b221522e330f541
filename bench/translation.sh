#!/usr/bin/env bash
# Translation at the real model sizes (generated on first use, about 8 GB in
# ~/.cache/colloquor/real-shape): one sentence's cost per shape, then the live monologue and
# dialogue with translation off and on, before (BASE=) and after; about 30 minutes with
# ROUNDS=1. See bench/translation_bench.py.
here=$(cd "$(dirname "$0")/.." && pwd)
exec "$("$here/scripts/venv_path.sh")/bin/python" "$here/bench/translation_bench.py" "$@"
