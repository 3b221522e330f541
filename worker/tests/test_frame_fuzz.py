"""The frame loop under random and adversarial frames: its pure parts in-process with Hypothesis,
and the real worker (tiny.en) over real pipes. The worker never dies, never hangs, and answers
every valid "E" with a finished pair."""
import random
import struct
import threading
import time
from contextlib import contextmanager
from unittest import mock

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import worker
from conftest import Lines, frame


def raw_frame(kind, payload):
    """A frame of any type byte, which frame() cannot make."""
    return bytes([kind]) + struct.pack("<I", len(payload)) + payload


class Pieces:
    """A pipe that hands out its bytes in the given piece sizes, over and over."""

    def __init__(self, data, sizes):
        self.data, self.sizes, self.turn = data, sizes, 0

    def read(self, n):
        size = min(n, self.sizes[self.turn % len(self.sizes)])
        self.turn += 1
        piece, self.data = self.data[:size], self.data[size:]
        return piece


# ---------------------------------------------------------------------------------------------
# In-process
# ---------------------------------------------------------------------------------------------

kinds = st.one_of(st.sampled_from(b"AELMGRQ"), st.integers(0, 255))
payloads = st.one_of(
    st.binary(max_size=48),
    st.lists(st.text(max_size=8), min_size=3, max_size=7).map(
        lambda parts: "|".join(parts).encode("utf-8", "surrogatepass")),
    st.tuples(st.integers(0, 3), st.binary(max_size=40)).map(lambda t: bytes([t[0]]) + t[1]))
fuzz_settings = settings(max_examples=300, deadline=None,
                         suppress_health_check=[HealthCheck.too_slow])


@fuzz_settings
@given(st.lists(st.tuples(kinds, payloads), max_size=12), st.lists(st.integers(1, 9), min_size=1),
       st.one_of(st.binary(max_size=4), st.binary(min_size=1, max_size=9).map(
           lambda rest: b"A\x0a\x00\x00\x00" + rest)))
def test_frames_come_back_whole_however_the_pipe_cuts_them(frames, sizes, unfinished):
    data = b"".join(raw_frame(k, p) for k, p in frames) + unfinished
    stream = Pieces(data, sizes)
    got = []
    reader = worker.FrameReader(stream, max_payload=24)
    with pytest.raises(worker.EndOfInput):
        while True:
            got.append(reader.read())
    # Payloads over the limit are skipped, not kept, and the stream stays in step.
    assert got == [(chr(k), p if len(p) <= 24 else None) for k, p in frames]


@fuzz_settings
@given(st.sampled_from("SDNVKZCMPTFU"),
       st.lists(st.one_of(st.text(), st.integers(-10**12, 10**12)), max_size=6))
def test_every_line_is_one_utf8_line_with_its_fields(kind, fields):
    line = worker.format_line(kind, *fields)
    assert line.endswith(b"\n") and line.count(b"\n") == 1 and b"\r" not in line
    parts = line[:-1].decode("utf-8").split("\t")
    assert parts[0] == kind and len(parts) == len(fields) + 1
    for part, field in zip(parts[1:], fields):
        text = str(field).encode("utf-8", "replace").decode("utf-8")
        assert part == text.replace("\r", " ").replace("\n", " ").replace("\t", " ")


@contextmanager
def fresh_worker(tmp_path):
    """A started worker's state; model switches and downloads only recorded."""
    calls = []
    actions = {"switch_speaker": lambda w, m: calls.append(("M", m)),
               "switch_translator": lambda w, m: calls.append(("G", m)),
               "ensure_segmentation": lambda w: calls.append(("seg",))}
    with mock.patch.multiple(worker, **actions):
        yield worker.Worker(Lines(), worker.data_paths(str(tmp_path))), calls


@fuzz_settings
@given(st.lists(st.tuples(kinds, payloads), max_size=20))
def test_any_frame_is_taken_or_ignored_without_an_error(tmp_path_factory, frames):
    with fresh_worker(tmp_path_factory.mktemp("spk")) as (w, calls):
        before = set(threading.enumerate())
        for k, p in frames:
            assert worker.handle_frame(w, worker.Frame(chr(k), p)) is (k != ord("Q"))
            assert all(len(ch.buf) % 2 == 0 for ch in w.chans)     # whole samples only
            assert 0 <= w.options.sens
        for t in set(threading.enumerate()) - before:
            t.join(timeout=5)
    ids = [(chr(k), p.decode("utf-8", "ignore")) for k, p in frames if k in b"MG"]
    assert [c for c in calls if c[0] in "MG"] == ids


@pytest.mark.parametrize("sensitivity", ["²", "①", "9" * 5000])
def test_any_sensitivity_text_is_ignored_or_taken(tmp_path, sensitivity):
    with fresh_worker(tmp_path) as (w, _):
        assert worker.handle_frame(w, worker.Frame("L", ("en|de|1|0|" + sensitivity).encode("utf-8")))
        assert w.options[:2] == ("en", "de") and w.options.sens == 60       # the old one stays


# ---------------------------------------------------------------------------------------------
# The real worker over real pipes
# ---------------------------------------------------------------------------------------------

def quiet_audio(rng, channel, samples):
    body = struct.pack("<%dh" % samples, *(rng.randint(-300, 300) for _ in range(samples)))
    half_sample = b"\x01" if rng.random() < 0.3 else b""
    return frame("A", bytes([channel]) + body + half_sample)


def options_text(rng):
    src = rng.choice(["en", "ru", "auto", "", "xx", "en\x00", "Ελ"])
    tgt = rng.choice(["none", "de", "en", "", "\u202e"])
    flags = [rng.choice(["1", "0", "yes", "", "\t"]) for _ in range(2)]
    sensitivity = rng.choice(["60", "0", "100", "-5", "abc", "", " 7 ", "١٢", "9" * 40])
    fields = [src, tgt] + flags + [sensitivity] + rng.choice([[], ["extra"], ["a", "|"]])
    payload = "|".join(fields[:rng.choice([3, 4, 5, 5, 5, 9])]).encode("utf-8")
    return payload if rng.random() < 0.7 else payload + b"\xff\xc3" + payload


def adversarial_round(rng):
    """(frames, channels that were given a valid "E")."""
    parts, ended = [], set()
    for _ in range(rng.randint(6, 14)):
        what = rng.randrange(9)
        channel = rng.randrange(2)
        if what in (0, 1):
            parts.append(quiet_audio(rng, channel, rng.choice([0, 1, 799, 1600, 4800])))
        elif what == 2:
            parts.append(frame("A", rng.choice([b"", b"\x00", b"\x02\x00\x01", b"\xff" * 33])))
        elif what == 3:
            parts.append(frame("E", rng.choice([b"", b"\x02", b"\xff\x00"])))
        elif what == 4:
            parts.append(frame("E", bytes([channel]) + rng.choice([b"", b"\x07\x07"])))
            ended.add(channel)
        elif what == 5:
            parts.append(frame("L", options_text(rng)))
        elif what == 6:
            model = rng.choice([b"", b"gpt", b"nllb13 ", b"\xff\xfe", b"resnet34\x00", b"x" * 300])
            parts.append(frame(rng.choice("GM"), model))
        elif what == 7:
            parts.append(frame("R", rng.choice([b"", b"\x00" * 9])))
        else:
            kind = rng.choice([0, 0x7F, 0xFF, ord("a"), ord("X"), ord("P")])
            parts.append(raw_frame(kind, bytes(rng.getrandbits(8) for _ in range(rng.randrange(300)))))
    channel = rng.randrange(2)
    parts.append(frame("E", bytes([channel])))
    ended.add(channel)
    return b"".join(parts), ended


def answers(w, ended, timeout=120.0):
    """Lines until every channel in `ended` has its finished pair and the worker is quiet again."""
    got, waiting = [], set(ended)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        more = w.lines_for(1.0)
        got += more
        waiting -= {int(f[1]) for f in more if f[0] == "U"}
        if not waiting and not more:
            return got
        assert w.proc.poll() is None, "worker ended; log %r" % w.stderr[-5:]
    raise AssertionError("no answer for channels %r; got %r" % (waiting, got))


def check_pairs(lines):
    recognition = [f for f in lines if f[0] in "PTFU"]
    assert len(recognition) % 2 == 0, recognition
    for first, second in zip(recognition[::2], recognition[1::2]):
        assert (first[0], second[0]) in (("P", "T"), ("F", "U")), recognition
        assert first[1:3] == second[1:3] and first[1] in ("0", "1")


def test_adversarial_frames_through_the_real_pipes(data_root, start_worker):
    rng = random.Random(20240501)
    w = start_worker(data_root)
    w.start_up()
    # A long utterance in one frame, and a frame past the payload limit that must be skipped.
    w.write(frame("A", b"\x01" + bytes(2 * 16000 * 60)) + frame("E", b"\x01")
            + raw_frame(ord("Y"), b"\x00" * (worker.MAX_PAYLOAD + 1)) + frame("E", b"\x00"))
    check_pairs(answers(w, {0, 1}))
    for _ in range(6):
        data, ended = adversarial_round(rng)
        # Written in pieces that cut frames anywhere.
        for start in range(0, len(data), 997):
            w.write(data[start:start + 997])
        check_pairs(answers(w, ended))
    w.write(frame("L", "en|none|0|0|60") + b"A\x10\x00\x00\x00\x00\x01")   # ends inside a frame
    w.close_input()
    assert w.wait() == 0
    assert not any("Traceback" in line for line in w.stderr), w.stderr


def test_options_the_worker_cannot_read_do_not_end_it(data_root, start_worker):
    w = start_worker(data_root)
    w.start_up()
    w.write(frame("L", "en|none|0|0|²".encode("utf-8")) + frame("E", b"\x00"))
    check_pairs(answers(w, {0}, timeout=30))
