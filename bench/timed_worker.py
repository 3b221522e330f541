"""The worker, unchanged, with each recognition pass timed on its standard error.

    python -u bench/timed_worker.py      (same standard input and output as worker/worker.py)

Every pass adds one line "PASS <channel> <final 0/1> <audio seconds> <start> <end> <F lines>"
with the monotonic clock's times and the number of "F" lines the pass sent, which the benchmarks
read: counting a channel's "F" lines tells which pass sent which line, where times cannot.
"""
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "worker"))

import worker  # noqa: E402

_run_pass = worker.run_pass
_send = worker.send
_this_pass = threading.local()


def counting_send(kind, *fields):
    if kind == "F":
        _this_pass.finished = getattr(_this_pass, "finished", 0) + 1
    _send(kind, *fields)


def timed_run_pass(job, options):
    _this_pass.finished = 0
    start = time.monotonic()
    try:
        _run_pass(job, options)
    finally:
        ch, data, final = job
        sys.stderr.write("PASS %d %d %.3f %.4f %.4f %d\n" % (ch.idx, 1 if final else 0,
                                                            len(data) / 2.0 / worker.RATE, start,
                                                            time.monotonic(), _this_pass.finished))
        sys.stderr.flush()


worker.run_pass = timed_run_pass
worker.send = counting_send

if __name__ == "__main__":
    worker.main()
