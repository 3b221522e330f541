"""Spoken test audio, frames and the headless front end as their source, and word error rates.

Shared by the worker's process tests and the recognition benchmark (bench/).
"""
import io
import os
import re
import shutil
import struct
import subprocess
import threading
import time
import wave

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(os.path.dirname(HERE))
FEED_WAV = os.path.join(REPO_DIR, "dist", "linux", "feed_wav")

# Plain sentences without digits or names, so that the reference needs no spelling rules.
SENTENCES = [
    "The weather is nice today.",
    "We should go for a walk in the park.",
    "Please close the door when you leave.",
    "My brother bought a new car last week.",
    "The meeting starts after lunch.",
    "Can you send me the report by email?",
    "I would like a cup of hot tea.",
    "The train was late again this morning.",
    "She is reading a book in the garden.",
    "We need more time to finish the project.",
    "The children are playing in the yard.",
    "Turn left at the next corner.",
]

MONOLOGUE = (
    "Good morning everyone and thank you for coming. Today I want to talk about our plans for "
    "the next year. First we will open a new office in the city. Then we will hire more people "
    "for the support team. We also want to improve the quality of our products. Finally we "
    "will spend more time listening to our customers.")


def have_tools():
    return bool(shutil.which("espeak-ng") and shutil.which("sox") and os.access(FEED_WAV, os.X_OK))


def require_tools(feed_wav=True):
    """Fails the calling test when a tool of the spoken tests is missing: a missing tool must not
    pass for a passing run."""
    missing = [tool for tool in ("espeak-ng", "sox") if not shutil.which(tool)]
    if feed_wav and not os.access(FEED_WAV, os.X_OK):
        missing.append(FEED_WAV + " (make build puts it there)")
    if missing:
        pytest.fail("the spoken tests need " + ", ".join(missing), pytrace=False)


def speak(path, text, voice="en", speed=None):
    """Writes text spoken by espeak-ng as a 16 kHz mono 16-bit WAV file."""
    raw = path + ".raw.wav"
    args = ["espeak-ng", "-v", voice, "-w", raw]
    if speed:
        args += ["-s", str(speed)]
    subprocess.run(args + [text], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["sox", raw, "-r", "16000", "-c", "1", "-b", "16", path], check=True)
    os.remove(raw)
    return path


def silence(path, seconds):
    subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", path, "trim", "0",
                    "%.3f" % seconds], check=True)
    return path


def join(path, parts):
    subprocess.run(["sox"] + list(parts) + [path], check=True)
    return path


def seconds_of(path):
    with wave.open(path) as w:
        return w.getnframes() / float(w.getframerate())


# ---------------------------------------------------------------------------------------------
# Word error rate
# ---------------------------------------------------------------------------------------------

def words(text):
    return re.sub(r"[^\w\s']", " ", text.lower()).replace("'", "").split()


def _table(ref, hyp):
    d = [[0] * (len(hyp) + 1) for _ in range(len(ref) + 1)]
    for i in range(len(ref) + 1):
        d[i][0] = i
    for j in range(len(hyp) + 1):
        d[0][j] = j
    for i in range(1, len(ref) + 1):
        for j in range(1, len(hyp) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (ref[i - 1] != hyp[j - 1]))
    return d


def word_errors(reference, hypothesis):
    """(substitutions + deletions + insertions, reference words) after normalising both."""
    ref, hyp = words(reference), words(hypothesis)
    return _table(ref, hyp)[len(ref)][len(hyp)], len(ref)


def wer(pairs):
    """The word error rate over (reference, hypothesis) pairs."""
    errors = total = 0
    for reference, hypothesis in pairs:
        e, n = word_errors(reference, hypothesis)
        errors += e
        total += n
    return errors / max(1, total)


def recall(reference, hypothesis):
    """The share of the reference's words that line up with the same word in the hypothesis."""
    ref, hyp = words(reference), words(hypothesis)
    matched = align(ref, hyp)
    return sum(1 for i, j in enumerate(matched) if j is not None and ref[i] == hyp[j]) / max(
        1, len(ref))


def align(reference_words, hypothesis_words):
    """For each reference word, the index of the hypothesis word it lines up with, or None."""
    ref, hyp = reference_words, hypothesis_words
    d = _table(ref, hyp)
    out = [None] * len(ref)
    i, j = len(ref), len(hyp)
    while i > 0 and j > 0:
        if d[i][j] == d[i - 1][j - 1] + (ref[i - 1] != hyp[j - 1]):
            out[i - 1] = j - 1
            i, j = i - 1, j - 1
        elif d[i][j] == d[i - 1][j] + 1:
            i -= 1
        else:
            j -= 1
    return out


# ---------------------------------------------------------------------------------------------
# Frames
# ---------------------------------------------------------------------------------------------

def frame(kind, payload=b""):
    if isinstance(payload, str):
        payload = payload.encode("ascii")
    return kind.encode("ascii") + struct.pack("<I", len(payload)) + payload


def _read_exactly(stream, n):
    data = b""
    while len(data) < n:
        chunk = stream.read(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def read_frames(stream):
    """(kind, payload) of each frame on a binary stream, up to its end; a frame the end cuts
    short is not one."""
    while True:
        header = _read_exactly(stream, 5)
        if header is None:
            return
        (length,) = struct.unpack("<I", header[1:])
        payload = _read_exactly(stream, length) if length else b""
        if payload is None:
            return
        yield chr(header[0]), payload


def utterances(frames):
    """Per channel (0 and 1), the 16-bit samples of each utterance in (kind, payload) frames: the
    "A" frames' audio up to each "E"; audio without its "E" yet is no utterance."""
    found, current = [[], []], [bytearray(), bytearray()]
    for kind, payload in frames:
        if kind == "A":
            current[payload[0]] += payload[1:]
        elif kind == "E":
            found[payload[0]].append(bytes(current[payload[0]]))
            current[payload[0]] = bytearray()
    return found


# ---------------------------------------------------------------------------------------------
# The front end as a frame source
# ---------------------------------------------------------------------------------------------

def feed_wav_args(wavs, options=None, realtime=False, settings=()):
    args = [FEED_WAV]
    if realtime:
        args.append("--realtime")
    for setting in settings:
        args += ["--set", setting]
    if options is not None:
        args += ["--options", options]
    return args + list(wavs)


def front_end_utterances(wavs, options=None, settings=()):
    """Per channel, the samples of each utterance the front end makes of the WAV files (one per
    channel), fed as fast as it goes."""
    run = subprocess.run(feed_wav_args(wavs, options, False, settings), capture_output=True,
                         check=True)
    return utterances(read_frames(io.BytesIO(run.stdout)))


class Feed:
    """Runs feed_wav and hands its frames to write(), noting when each one went.

    The final "Q" is held back (kept in `quit_frame`), so the caller decides when the worker
    may end. `events` lists (monotonic time, kind, channel): "onset" for the first audio frame of
    an utterance, "E" for its end. `started_at` is when the first frame went, which is when a
    real-time feed starts its clock.
    """

    def __init__(self, write, wavs, options=None, realtime=False, settings=()):
        self.proc = subprocess.Popen(feed_wav_args(wavs, options, realtime, settings),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.write = write
        self.events = []
        self.quit_frame = None
        self.started_at = None
        self.summary = ""
        self.thread = threading.Thread(target=self._relay, daemon=True)
        self.thread.start()

    def _relay(self):
        in_utterance = [False, False]
        for kind, payload in read_frames(self.proc.stdout):
            if kind == "Q":
                self.quit_frame = frame(kind, payload)
                continue
            self.write(frame(kind, payload))
            now = time.monotonic()
            if self.started_at is None:
                self.started_at = now
            if kind == "A" and not in_utterance[payload[0]]:
                in_utterance[payload[0]] = True
                self.events.append((now, "onset", payload[0]))
            elif kind == "E":
                in_utterance[payload[0]] = False
                self.events.append((now, "E", payload[0]))
        self.summary = self.proc.stderr.read().decode("utf-8", "replace").strip()
        self.proc.wait()

    def wait(self, timeout=120):
        self.thread.join(timeout)
        return not self.thread.is_alive()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.thread.join(5)
