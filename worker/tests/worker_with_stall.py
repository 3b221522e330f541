"""The worker as its own program, with another download stall limit:
`python -u worker_with_stall.py SECONDS`. Tests of silent networks would otherwise wait the full
limit for every download they let hang.
"""
import os
import runpy
import sys

WORKER_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORKER_SCRIPT = os.path.join(WORKER_DIR, "worker.py")

if __name__ == "__main__":
    sys.path.insert(0, WORKER_DIR)
    import dl_progress

    dl_progress.STALL_SECONDS = float(sys.argv[1])
    sys.argv = [WORKER_SCRIPT]
    runpy.run_path(WORKER_SCRIPT, run_name="__main__")
