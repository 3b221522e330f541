#!/usr/bin/env bash
# Stands in for "python -u worker.py" behind the relay: reports ready, then finishes
# $CHATTY_LINES lines (default 10 000) with their translations, alternating the channels, and stays
# alive. Answers the interpreter's version check with success. When with_relay.sh starts the
# launcher through this script, it hands over to the real interpreter.
case "${1:-}" in *launcher.py) exec python3 "$@" ;; esac
for arg in "$@"; do [ "$arg" = "-c" ] && exit 0; done
exec python3 -u -c '
import os, sys, time
write = sys.stdout.write
write("S\tready (CPU)\n")
for i in range(int(os.environ.get("CHATTY_LINES", "10000"))):
    write(f"F\t{i % 2}\t0\ten\tI think we should move the meeting to Thursday afternoon, line {i}.\n")
    write(f"U\t{i % 2}\t0\tru\tДавайте перенесём встречу на четверг, строка {i}.\n")
write("S\tall lines sent\n")
sys.stdout.flush()
time.sleep(3600)
'
