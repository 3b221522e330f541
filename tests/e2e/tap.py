"""Runs the worker while keeping a copy of every byte Parlivo sends it.

    python tap.py TAPFILE PYTHON ARGS...

Used as the "interpreter" behind the relay in end-to-end runs, so a test can tell which frames the
worker really received (for example that the last one was "Q"). With COLLOQUOR_TAP_LINES set, the
worker's output lines are also copied to that file as they pass (after they were passed on); with
COLLOQUOR_TAP_PID set, the worker's process id is written to that file.
Standard error passes through untouched; the exit code is the worker's.
"""
import os
import signal
import subprocess
import sys
import threading


def main(argv):
    tap_path, python, args = argv[1], argv[2], argv[3:]
    lines_path = os.environ.get("COLLOQUOR_TAP_LINES")
    child = subprocess.Popen([python] + args, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE if lines_path else None)
    pid_path = os.environ.get("COLLOQUOR_TAP_PID")
    if pid_path:
        with open(pid_path, "w") as f:
            f.write("%d\n" % child.pid)

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

    def pass_lines():
        with open(lines_path, "ab", buffering=0) as copy:
            while True:
                chunk = child.stdout.read1(65536) if hasattr(child.stdout, "read1") else child.stdout.read(1)
                if not chunk:
                    break
                try:
                    while chunk:
                        written = os.write(1, chunk)
                        copy.write(chunk[:written])
                        chunk = chunk[written:]
                except (BrokenPipeError, OSError):
                    break

    threading.Thread(target=pump, daemon=True).start()
    passing = None
    if lines_path:
        passing = threading.Thread(target=pass_lines, daemon=True)
        passing.start()
    code = child.wait()
    if passing:
        passing.join(timeout=5)
    return code


if __name__ == "__main__":
    code = main(sys.argv)
    os._exit(code if code >= 0 else 1)
