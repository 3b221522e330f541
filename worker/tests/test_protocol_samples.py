"""The worker's writer, reader and options against the sample lines and frames that the window's
tests read too, so that the two sides cannot drift apart."""
import io
import os
import re

import pytest

import worker

SAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                       "tests", "protocol")
_ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{2}|[tnr\\])")
_PLAIN = {"t": "\t", "n": "\n", "r": "\r", "\\": "\\"}


def unescape(column):
    return _ESCAPE.sub(lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x"
                       else _PLAIN[m.group(1)], column)


def cases(name):
    """The file's cases: lists of (row name, unescaped columns), one list per blank-line block."""
    found, case = [], []
    with open(os.path.join(SAMPLES, name), encoding="utf-8") as f:
        for raw in f.read().split("\n") + [""]:
            if raw.startswith("#"):
                continue
            if not raw:
                if case:
                    found.append(case)
                case = []
                continue
            row, *columns = raw.split("\t")
            case.append((row, [unescape(c) for c in columns]))
    return found


def ids(found):
    return ["%d-%s" % (n, "-".join(c[0] for _, c in case)[:40]) for n, case in enumerate(found)]


LINES = cases("lines.txt")
FRAMES = cases("frames.txt")


@pytest.mark.parametrize("case", LINES, ids=ids(LINES))
def test_line(case):
    rows = dict(case)
    kind, *fields = rows["send"]
    assert worker.line_error(kind, fields) is None
    assert rows["read"][0] == kind
    wire = rows["wire"][0].encode("utf-8") + b"\n"
    assert wire.count(b"\t") == len(worker.LINE_KINDS[kind])
    assert worker.format_line(kind, *fields) == wire
    out = io.BytesIO()
    worker.LineWriter(out, strict=True).send(kind, *fields)
    assert out.getvalue() == wire


@pytest.mark.parametrize("case", FRAMES, ids=ids(FRAMES))
def test_frame(case):
    rows = dict(case)
    if "frame" in rows:
        kind, payload = rows["frame"]
        assert kind in worker.FRAME_KINDS
        reader = worker.FrameReader(io.BytesIO(bytes.fromhex(rows["bytes"][0])))
        assert reader.read() == (kind, payload.encode("latin-1"))
        with pytest.raises(worker.EndOfInput):
            reader.read()
    if "audio" in rows:
        channel, samples = rows["audio"]
        payload = bytes.fromhex(rows["payload"][0])
        got_channel, pcm = worker.audio_of(payload)
        got = [int.from_bytes(pcm[i:i + 2], "little", signed=True) for i in range(0, len(pcm), 2)]
        assert (got_channel, got) == (int(channel), [int(s) for s in samples.split()])
    if "parsed" in rows:
        src, tgt, reverse, diarize, sens = rows["parsed"]
        assert worker.parse_options(rows["text"][0].encode("ascii")) == worker.Options(
            src, tgt, reverse == "1", diarize == "1", int(sens))


def test_every_frame_kind_of_the_table_is_acted_on():
    assert set(worker.FRAME_HANDLERS) | {"Q"} == set(worker.FRAME_KINDS)
