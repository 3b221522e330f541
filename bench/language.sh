#!/usr/bin/env bash
# Two languages in one conversation with Whisper base, before and after (LANGUAGE_BASE= from the
# environment; 30 to 60 minutes on two cores): see bench/language_bench.py.
here=$(cd "$(dirname "$0")/.." && pwd)
exec "$("$here/scripts/venv_path.sh")/bin/python" "$here/bench/language_bench.py" "$@"
