#!/usr/bin/env bash
# The default processor configuration (Whisper small's and NLLB 1.3B's shapes) live: dialogue and
# monologue with translation off and on, then a 10-minute soak; about 25 minutes. One worker:
# this tree's, or WORKER= (a commit) from the environment. See bench/default_config_bench.py.
here=$(cd "$(dirname "$0")/.." && pwd)
exec "$("$here/scripts/venv_path.sh")/bin/python" "$here/bench/default_config_bench.py" "$@"
