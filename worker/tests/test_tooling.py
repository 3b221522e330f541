"""The tooling the process tests and the benchmarks share: frames read back into utterances, "U"
lines paired with "F" lines, and a child process's lines and timed records kept apart."""
import io
import struct
import textwrap

import speech
import worker_process
from speech import frame


def audio(channel, *samples):
    return frame("A", bytes([channel]) + struct.pack("<%dh" % len(samples), *samples))


def test_the_audio_frames_up_to_each_end_frame_are_one_utterance_of_their_channel():
    stream = (frame("L", "en|de|1|0|60") + audio(0, 1, 2) + audio(1, 9) + audio(0, -3)
              + frame("E", b"\0") + audio(1, 8) + frame("E", b"\1") + frame("E", b"\0")
              + audio(0, 7) + frame("Q") + audio(1, 5)[:-1])
    frames = list(speech.read_frames(io.BytesIO(stream)))
    # a frame the end cuts short is none
    assert [kind for kind, _ in frames] == ["L", "A", "A", "A", "E", "A", "E", "E", "A", "Q"]
    assert frames[0] == ("L", b"en|de|1|0|60")
    ch0, ch1 = speech.utterances(frames)
    # an end right after another ends an utterance without audio; the open one is none yet
    assert ch0 == [struct.pack("<3h", 1, 2, -3), b""]
    assert ch1 == [struct.pack("<2h", 9, 8)]


def fu(kind, ch, text):
    return [kind, str(ch), "0", "en", text]


def test_each_u_answers_the_oldest_waiting_f_of_its_own_channel():
    lines = [fu("F", 0, "a"), fu("F", 1, "b"), fu("P", 0, "x"), fu("F", 0, "c"),
             fu("U", 1, "<b>"), fu("U", 0, "<a>"), fu("U", 1, "stray"), fu("F", 1, "d")]
    answers = worker_process.pair_answers(lines)
    assert answers.pairs == [(0, 5), (1, 4), (3, None), (7, None)]
    assert answers.strays == [6]
    # the worker's in-process lines carry the channel as a number
    assert worker_process.pair_answers([("U", 0), ("F", 0), ("F", 1), ("U", 1)]) == (
        [(1, None), (2, 3)], [0])


def test_lags_run_from_each_f_to_its_own_u():
    stamped = [(1.0, fu("F", 0, "One.")), (1.5, fu("F", 1, "Two.")), (3.0, fu("U", 1, "<2>")),
               (4.0, fu("U", 0, "")), (5.0, fu("F", 0, ""))]
    assert worker_process.answer_lags(stamped) == [(1.0, "One.", 3.0, ""),
                                                   (1.5, "Two.", 1.5, "<2>"),
                                                   (5.0, "", None, None)]


FAKE_WORKER = textwrap.dedent("""\
    import sys
    print("S\\tready (CPU)", flush=True)
    sys.stderr.write("loading\\nPASS 1 1 2.500 10.0000 10.7500 0.9000 2 3\\n"
                     "PROF encoder=0.5000/0.6000/3 word_timings=0.1000/0.1000/1\\n"
                     "SHAPE small 10.7500 0.2500 0.3000 1.0000 1.2000 3\\n"
                     "PROF \\nPASS 0 0 1.000 11.0000 11.2000 0.2000 0 1\\nthe end\\n")
    sys.stderr.flush()
    print("F\\t1\\t0\\ten\\tHello.", flush=True)
    sys.stdin.read(5)
    print("S\\tbye", flush=True)
""")


def test_a_child_process_keeps_its_lines_log_and_timed_records_apart(tmp_path):
    script = tmp_path / "fake_worker.py"
    script.write_text(FAKE_WORKER)
    w = worker_process.WorkerProcess(tmp_path, script=str(script))
    try:
        w.start_up(timeout=30)
        assert w.next_line(timeout=30) == ["F", "1", "0", "en", "Hello."]
    finally:
        w.stop()
    assert w.proc.returncode == 0           # the quit frame ended it; nothing was killed
    assert [f for _, f in w.lines] == [["S", "ready (CPU)"], ["F", "1", "0", "en", "Hello."],
                                       ["S", "bye"]]
    times = [t for t, _ in w.lines]
    assert times == sorted(times) and w.started <= times[0]
    assert w.stderr == ["loading", "the end"]
    assert w.passes == [worker_process.Pass(1, True, 2.5, 10.0, 10.75, 0.9, 2, 3),
                        worker_process.Pass(0, False, 1.0, 11.0, 11.2, 0.2, 0, 1)]
    assert w.profiles == [{"encoder": (0.5, 0.6, 3), "word timings": (0.1, 0.1, 1)}, {}]
    assert w.shapes == [worker_process.Shape(10.75, 0.25, 0.3, 1.0, 1.2, 3)]
