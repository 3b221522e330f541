#!/usr/bin/env bash
# The recognizer's language shares on spoken clips and on the front end's frames of them, stage by
# stage (Whisper base; a few minutes): see bench/front_end_languages.py.
here=$(cd "$(dirname "$0")/.." && pwd)
exec "$("$here/scripts/venv_path.sh")/bin/python" "$here/bench/front_end_languages.py" "$@"
