"""The worker, unchanged, with each recognition pass timed on its standard error.

    python -u bench/timed_worker.py      (same standard input and output as worker/worker.py)

Every pass adds one line "PASS <channel> <final 0/1> <audio seconds> <start> <end>" with the
monotonic clock's times, which the recognition benchmark reads.
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "worker"))

import worker  # noqa: E402

_run_pass = worker.run_pass


def timed_run_pass(job, options):
    start = time.monotonic()
    try:
        _run_pass(job, options)
    finally:
        ch, data, final = job
        sys.stderr.write("PASS %d %d %.3f %.4f %.4f\n" % (ch.idx, 1 if final else 0,
                                                         len(data) / 2.0 / worker.RATE, start,
                                                         time.monotonic()))
        sys.stderr.flush()


worker.run_pass = timed_run_pass

if __name__ == "__main__":
    worker.main()
