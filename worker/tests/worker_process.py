"""The worker as a child process over its real pipes, and its lines read back.

Shared by the process tests (conftest.py, language_run.py) and the benchmarks (bench/), which run
either the worker itself or bench/timed_worker.py, the worker with its passes timed.
"""
import collections
import os
import queue
import subprocess
import sys
import threading
import time
from typing import NamedTuple, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
WORKER_SCRIPT = os.path.join(os.path.dirname(HERE), "worker.py")
# Where nothing listens: an offline worker that tried the hub or the release downloads anyway
# fails at once instead of leaving the machine.
NOWHERE = "http://127.0.0.1:9"
QUIT = b"Q\0\0\0\0"


# ---------------------------------------------------------------------------------------------
# The timed worker's records on standard error
# ---------------------------------------------------------------------------------------------

class Pass(NamedTuple):
    """One recognition pass, from its "PASS" line (bench/timed_worker.py writes them)."""
    channel: int
    final: bool
    seconds: float          # of audio
    start: float            # the monotonic clock's times
    end: float
    cpu: float              # the process's processor seconds during the pass
    finished: int           # "F" lines the pass sent
    encoder_runs: int


def read_pass(text):
    ch, final, seconds, start, end, cpu, finished, encoder_runs = text.split()[1:9]
    return Pass(int(ch), final == "1", float(seconds), float(start), float(end), float(cpu),
                int(finished), int(encoder_runs))


class Shape(NamedTuple):
    """A pass's "SHAPE" line, written when a recognizer double takes on a bigger model's cost
    (bench/recognizer_double.py): the loaded model's own calls, which the figures overstate the
    shape's cost by, and the shape's."""
    end: float
    real_cpu: float
    real_wall: float
    shape_cpu: float
    shape_wall: float
    calls: int


def read_shape(text):
    fields = text.split()
    return Shape(*(float(x) for x in fields[2:7]), int(fields[7]))


def read_profile(text):
    """{part: (wall, cpu, calls)} of a "PROF" line, the parts named with spaces."""
    parts = {}
    for field in text.split()[1:]:
        name, figures = field.split("=")
        wall, cpu, calls = figures.split("/")
        parts[name.replace("_", " ")] = (float(wall), float(cpu), int(calls))
    return parts


# ---------------------------------------------------------------------------------------------
# "U" lines paired with "F" lines
# ---------------------------------------------------------------------------------------------

class Answers(NamedTuple):
    pairs: list             # (index of an "F" line, index of its "U" line or None), "F" order
    strays: list            # indices of "U" lines that came with no "F" line waiting


def pair_answers(lines):
    """Pairs each "U" line with the oldest unanswered "F" line of its channel, as the window does
    (finished lines are translated on their own thread, so a "U" may come lines later). lines:
    sequences with the kind first and the channel second."""
    waiting = {}
    pairs, strays = [], []
    for i, line in enumerate(lines):
        if line[0] == "F":
            pairs.append([i, None])
            waiting.setdefault(line[1], []).append(pairs[-1])
        elif line[0] == "U":
            if waiting.get(line[1]):
                waiting[line[1]].pop(0)[1] = i
            else:
                strays.append(i)
    return Answers([tuple(pair) for pair in pairs], strays)


class Answered(NamedTuple):
    arrived: float                  # when the "F" line came
    text: str
    lag: Optional[float]            # seconds until its "U" line; None while none came
    translation: Optional[str]      # the "U" line's text; None while none came


def answer_lags(stamped):
    """Per "F" line of (arrival time, fields) lines: how long its "U" line took."""
    stamped = list(stamped)
    fields = [f for _, f in stamped]
    out = []
    for f, u in pair_answers(fields).pairs:
        arrived, text = stamped[f][0], fields[f][4]
        if u is None:
            out.append(Answered(arrived, text, None, None))
        else:
            out.append(Answered(arrived, text, stamped[u][0] - arrived, fields[u][4]))
    return out


# ---------------------------------------------------------------------------------------------
# The process
# ---------------------------------------------------------------------------------------------

class WorkerProcess:
    """The worker, or a script that runs it (bench/timed_worker.py), as a child process.

    Every line it writes is kept in `lines` as (arrival time on the monotonic clock, fields) and
    handed out in order by next_line, read_until and lines_for, which keep what they handed out
    in `seen`. Its standard error is kept line by line in `stderr`, except the timed worker's
    records, which go to `passes`, `profiles` and `shapes`.
    """

    def __init__(self, root, model="tiny.en", script=WORKER_SCRIPT, args=(), hub=None, env=None):
        """args: the script's own arguments; hub: where the model hub and the release downloads
        answer (a test's local server), without which the worker stays offline."""
        full = dict(os.environ)
        for name in ("TRANSLATION_MODEL", "SPEAKER_MODEL", "HF_HOME", "HF_HUB_OFFLINE",
                     "HF_HUB_CACHE", "HUGGINGFACE_HUB_CACHE"):
            full.pop(name, None)
        full.update({"DICTATION_ROOT": str(root), "DICTATE_MODEL": model,
                     "HF_ENDPOINT": hub or NOWHERE, "DICTATION_RELEASES_HOST": hub or NOWHERE,
                     "HF_HUB_DISABLE_TELEMETRY": "1"})
        if hub is None:
            full["HF_HUB_OFFLINE"] = "1"
        full.update(env or {})
        self.root = root
        self.started = time.monotonic()
        self.proc = subprocess.Popen([sys.executable, "-u", script] + list(args),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=full)
        self.lines = []
        self.seen = []
        self._handed_back = collections.deque()
        self.stderr = []
        self.passes = []
        self.profiles = []
        self.shapes = []
        self._arrived = queue.Queue()
        self._readers = [threading.Thread(target=self._read_out, daemon=True),
                         threading.Thread(target=self._read_err, daemon=True)]
        for reader in self._readers:
            reader.start()

    def _read_out(self):
        for raw in self.proc.stdout:
            self.lines.append((time.monotonic(),
                               raw.decode("utf-8", "replace").rstrip("\n").split("\t")))
            self._arrived.put(raw)
        self._arrived.put(None)

    def _read_err(self):
        for raw in self.proc.stderr:
            text = raw.decode("utf-8", "replace").rstrip("\n")
            if text.startswith("PASS "):
                self.passes.append(read_pass(text))
            elif text.startswith("PROF "):
                self.profiles.append(read_profile(text))
            elif text.startswith("SHAPE "):
                self.shapes.append(read_shape(text))
            else:
                self.stderr.append(text)

    def hand_back(self, lines):
        """Lines read ahead of their time: the next reads hand them out again first."""
        self._handed_back.extend(lines)

    def next_line(self, timeout=60.0):
        """The next line as a list of fields; None at the end of the output; queue.Empty when
        none comes in time."""
        if self._handed_back:
            return self._handed_back.popleft()
        raw = self._arrived.get(timeout=timeout)
        if raw is None:
            self._arrived.put(None)
            return None
        assert raw.endswith(b"\n") and b"\r" not in raw
        fields = raw[:-1].decode("utf-8").split("\t")
        self.seen.append(fields)
        return fields

    def read_until(self, predicate, timeout=60.0):
        """Lines up to and including the first one that satisfies predicate."""
        deadline = time.monotonic() + timeout
        got = []
        while True:
            line = self.next_line(timeout=max(0.1, deadline - time.monotonic()))
            if line is None:
                raise AssertionError("output ended; seen %r; log %r" % (got, self.stderr))
            got.append(line)
            if predicate(line):
                return got

    def start_up(self, timeout=180.0):
        lines = self.read_until(lambda f: f[0] == "S" and f[1].startswith("ready"), timeout)
        self.ready_after = time.monotonic() - self.started
        return lines

    def lines_for(self, seconds):
        """Every line that arrives within the given time."""
        got = list(self._handed_back)
        self._handed_back.clear()
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return got
            try:
                raw = self._arrived.get(timeout=left)
            except queue.Empty:
                return got
            if raw is None:
                self._arrived.put(None)
                return got
            fields = raw[:-1].decode("utf-8").split("\t")
            self.seen.append(fields)
            got.append(fields)

    def answer(self, ends, quiet=1.0, timeout=180.0):
        """The lines up to the worker's answer to `ends` utterances: a "U" line for each, then
        quiet."""
        got = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.next_line(quiet)
            except queue.Empty:
                if sum(1 for f in got if f[0] == "U") >= ends and got[-1][0] == "U":
                    return got
                continue
            if line is None:
                raise AssertionError("the worker ended; its log: %s" % "\n".join(self.stderr[-20:]))
            got.append(line)
        raise AssertionError("no answer to %d utterance(s); got %r" % (ends, got))

    def write(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_input(self):
        self.proc.stdin.close()

    def cpu_seconds(self):
        """User plus system processor seconds of the worker so far."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def wait(self, timeout=30.0):
        """The exit code, once the worker ended and everything it wrote has been read."""
        code = self.proc.wait(timeout=timeout)
        self._finish_reading()
        return code

    def stop(self, quit_frame=None):
        """Asks the worker to quit (with the front end's own "Q" frame when there is one), and
        kills it when it has not ended 10 s later."""
        if self.proc.poll() is None:
            try:
                self.write(quit_frame or QUIT)
            except OSError:
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
        self.kill()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self._finish_reading()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except Exception:
                pass

    def _finish_reading(self):
        for reader in self._readers:
            reader.join(5)
