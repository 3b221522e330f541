"""Runs the worker while keeping a copy of every byte Parlivo sends it.

    python tap.py TAPFILE PYTHON ARGS...

Used as the "interpreter" behind the relay in end-to-end runs, so a test can tell which frames the
worker really received (for example that the last one was "Q"). Standard output and error pass
through untouched; the exit code is the worker's.
"""
import os
import signal
import subprocess
import sys
import threading


def main(argv):
    tap_path, python, args = argv[1], argv[2], argv[3:]
    child = subprocess.Popen([python] + args, stdin=subprocess.PIPE)

    def forward_signal(signum, _frame):
        child.send_signal(signum)

    signal.signal(signal.SIGTERM, forward_signal)

    def pump():
        with open(tap_path, "ab", buffering=0) as tap:
            src = sys.stdin.buffer.raw
            while True:
                chunk = src.read(65536)
                if not chunk:
                    break
                tap.write(chunk)
                try:
                    child.stdin.write(chunk)
                    child.stdin.flush()
                except (BrokenPipeError, OSError):
                    break
        try:
            child.stdin.close()
        except OSError:
            pass

    threading.Thread(target=pump, daemon=True).start()
    return child.wait()


if __name__ == "__main__":
    code = main(sys.argv)
    os._exit(code if code >= 0 else 1)
