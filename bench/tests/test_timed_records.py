"""The timed worker's records of a pass read back as it writes them: every figure of the
benchmarks that count passes, their processor time or their "F" lines comes from these."""
import os
import sys
from types import SimpleNamespace

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, BENCH)
sys.path.insert(0, os.path.join(os.path.dirname(BENCH), "worker", "tests"))

import timed_worker  # noqa: E402  (puts the worker on the path)
import worker_process  # noqa: E402


def test_a_pass_reads_back_as_the_timed_worker_wrote_it(monkeypatch, capsys):
    send = timed_worker.counting(lambda *line: None)
    encode = timed_worker.counted(timed_worker.timed("encoder", lambda: None))

    def recognize(state, job, options):
        send("F", 1, 0, "en", "One.")
        send("U", 1, 0, "", "")
        send("F", 1, 0, "en", "Two.")
        for _ in range(3):
            encode()

    monkeypatch.setattr(timed_worker, "_run_pass", recognize)
    # a final pass over a quarter of a second of channel 1's audio
    timed_worker.timed_run_pass(None, (SimpleNamespace(idx=1), bytes(8000), True), None)
    record, profile = capsys.readouterr().err.splitlines()
    got = worker_process.read_pass(record)
    assert (got.channel, got.final, got.seconds, got.finished, got.encoder_runs) == (
        1, True, 0.25, 2, 3)
    assert got.start <= got.end and got.cpu >= 0
    parts = worker_process.read_profile(profile)
    assert sorted(parts) == ["encoder", "worker python"]
    assert parts["encoder"][2] == 3 and parts["worker python"][2] == 1
