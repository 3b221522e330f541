"""The worker, unchanged, with each recognition pass timed on its standard error.

    python -u bench/timed_worker.py      (same standard input and output as worker/worker.py)

Every pass adds one line
"PASS <channel> <final 0/1> <audio seconds> <start> <end> <cpu> <F lines> <encoder runs>" with the
monotonic clock's times, the process's processor seconds spent during the pass, the number of "F"
lines the pass sent (counting a channel's "F" lines tells which pass sent which line, where times
cannot) and the number of times the recognizer's encoder ran (language detection's runs
included), followed by one line "PROF <part>=<wall>/<cpu>/<calls> ..." that splits the
pass between the recognizer's parts (voice-activity filter, features, language detection, encoder,
decoding, word timings), speaker labelling, translation, the recognizer's Python glue and the
worker's own Python.

BENCH_WORKER_DIR names another folder holding worker.py and dl_progress.py (an older commit's
worker, for before/after figures); by default the worker of this tree runs.

BENCH_HOLD_DECODING=1 makes a translation model of the real shape with random weights cost what
the real one would: such a model never stops where a real one does, and the small tokenizer
that comes with it cuts words into far more pieces than the real one. Each sentence handed to
the engine is therefore replaced by one of the length the real tokenizer would give (see
real_token_count) and its decoding held to 1.2 times that length.

BENCH_RECOGNIZER_SHAPE=NAME (a Whisper shape of tools/models/make_whisper_model.py, e.g. small,
or the folder of a generated one) makes the recognizer cost what a model of that shape would: the
text still comes from the model the worker loaded, and every call on it is made once more on the
shape (see bench/recognizer_double.py). The parts of the PROF line then hold both models' calls;
after it, each pass adds a line "SHAPE <name> <end> <real cpu> <real wall> <shape cpu> <shape wall>
<calls>" with the loaded model's own share, to be taken off.

BENCH_FORGET_TRANSLATIONS=SECONDS makes the worker's translation cache forget what it learnt more
than SECONDS ago: a soak plays the same minute over and over, and a cache that remembers the
previous minute's sentences would make every later minute's translations free, which no real
conversation does.
"""
import math
import os
import re
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.environ.get("BENCH_WORKER_DIR") or os.path.join(os.path.dirname(HERE),
                                                                       "worker"))

import worker  # noqa: E402
import recognizer_double  # noqa: E402

# Per pass: part -> [wall, cpu]; a stack of open timers so that each part is charged only the
# time it spends outside the parts nested in it (unless it absorbs them).
_parts = {}
_stack = []
_lock = threading.Lock()


def _charge(part, wall, cpu):
    total = _parts.setdefault(part, [0.0, 0.0, 0])
    total[0] += wall
    total[1] += cpu
    total[2] += 1


def timed(part, fn, absorb=False):
    """fn, with its time charged to part; absorb=True also charges the parts called inside."""
    def call(*args, **kwargs):
        if threading.current_thread() is not _pass_thread[0] or (_stack and _stack[-1][1]):
            return fn(*args, **kwargs)
        frame = [part, absorb, 0.0, 0.0]
        _stack.append(frame)
        wall, cpu = time.monotonic(), time.process_time()
        try:
            return fn(*args, **kwargs)
        finally:
            wall, cpu = time.monotonic() - wall, time.process_time() - cpu
            _stack.pop()
            _charge(part, wall - frame[2], cpu - frame[3])
            if _stack:
                _stack[-1][2] += wall
                _stack[-1][3] += cpu
    return call


def counted(fn):
    """fn, with each call of the pass's thread counted, whichever part it is charged to."""
    def call(*args, **kwargs):
        if threading.current_thread() is _pass_thread[0]:
            _this_pass.encoder_runs = getattr(_this_pass, "encoder_runs", 0) + 1
        return fn(*args, **kwargs)
    return call


class _Timed:
    """A stand-in for the recognizer's CTranslate2 model that times its heavy calls."""

    def __init__(self, inner):
        self._inner = inner
        self.encode = counted(timed("encoder", inner.encode))
        self.generate = timed("decoding", inner.generate)
        self.align = timed("word timings", inner.align)
        self.detect_language = timed("language detection", inner.detect_language)

    def __getattr__(self, name):
        return getattr(self._inner, name)


def instrument(state):
    """state holds the loaded recognizer: the worker's state object, or the module itself for an
    older worker that kept its state in module globals."""
    import faster_whisper.feature_extractor as fe
    import faster_whisper.transcribe as fwt
    import faster_whisper.vad as vad

    vad.SileroVADModel.__call__ = timed("vad filter", vad.SileroVADModel.__call__)
    for module in (vad, fwt, worker):
        if hasattr(module, "get_speech_timestamps"):
            module.get_speech_timestamps = timed("vad filter", module.get_speech_timestamps)
    fe.FeatureExtractor.__call__ = timed("features", fe.FeatureExtractor.__call__)
    fwt.WhisperModel.detect_language = timed("language detection",
                                              fwt.WhisperModel.detect_language, absorb=True)
    fwt.WhisperModel.add_word_timestamps = timed("word timings",
                                                  fwt.WhisperModel.add_word_timestamps)
    state.model.model = _Timed(state.model.model)
    worker.transcribe = timed("recognizer glue", worker.transcribe)
    worker.make_runs = timed("speakers", worker.make_runs, absorb=True)
    worker.runs_by_diarization = timed("speakers", worker.runs_by_diarization, absorb=True)
    worker.translate = timed("translation", worker.translate, absorb=True)


# Held decoding: a sentence of n real tokens is translated into ceil(1.2 n) tokens.
DECODING_PER_SOURCE_TOKEN = 1.2
_WORD_OR_MARK = re.compile(r"\w+|[^\w\s]")


def real_token_count(pieces):
    """The tokens the real models' tokenizer gives a sentence, estimated from the small
    tokenizer's pieces: one per word and per punctuation mark, and one more for every tenth
    word (long or rare words fall into two pieces)."""
    words = _WORD_OR_MARK.findall("".join(pieces).replace("\u2581", " "))
    return max(1, math.ceil(len(words) * 1.1))


def held_batch(batch):
    """(the batch with every sentence stood in for by one of its real length, decoding length)
    A source is a language or target tag, the sentence's pieces and the end token."""
    lengths = [real_token_count(source[1:-1]) for source in batch]
    stand_ins = []
    for source, n in zip(batch, lengths):
        pieces = list(source[1:-1]) or [source[-1]]
        stand_ins.append([source[0]] + (pieces * n)[:n] + [source[-1]])
    return stand_ins, math.ceil(DECODING_PER_SOURCE_TOKEN * max(lengths))


class HeldDecoding:
    """A translation engine whose batches decode exactly as long as a real model's would."""

    def __init__(self, inner):
        self._inner = inner

    def translate_batch(self, batch, **options):
        stand_ins, length = held_batch(batch)
        # A target prefix (the NLLB language tag) counts towards the decoding length.
        length += 1 if options.get("target_prefix") else 0
        options["min_decoding_length"] = options["max_decoding_length"] = length
        return self._inner.translate_batch(stand_ins, **options)

    def __getattr__(self, name):
        return getattr(self._inner, name)


def held_translator(create):
    def create_held(*args, **kwargs):
        return HeldDecoding(create(*args, **kwargs))
    return create_held


class ForgetfulCache(dict):
    """The translation cache, with every entry forgotten once it is older than `seconds`."""

    def __init__(self, seconds):
        super().__init__()
        self.seconds = seconds
        self.stored = {}

    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        self.stored[key] = time.monotonic()

    def get(self, key, default=None):
        if time.monotonic() - self.stored.get(key, 0.0) > self.seconds:
            return default
        return super().get(key, default)

    def clear(self):
        super().clear()
        self.stored.clear()


def forgetful_worker(init, seconds):
    def init_forgetful(self, *args, **kwargs):
        init(self, *args, **kwargs)
        self.cache = ForgetfulCache(seconds)
    return init_forgetful


_pass_thread = [None]
_load_recognizer = worker.load_recognizer
_run_pass = worker.run_pass
_this_pass = threading.local()


def counting(send):
    def counting_send(kind, *fields):
        if kind == "F":
            _this_pass.finished = getattr(_this_pass, "finished", 0) + 1
        send(kind, *fields)
    return counting_send


def instrumented_load(*args, **kwargs):
    result = _load_recognizer(*args, **kwargs)
    # This tree's worker passes its state object first; an older one loads into module globals.
    state = args[0] if args and hasattr(args[0], "send") else worker
    if state is not worker:
        state.send = counting(state.send)
    if _shape[0]:
        recognizer_double.double(state.model, _shape[0], _shape_costs)
    instrument(state)
    return result


def timed_run_pass(*args):
    job = args[-2]  # (job, options), or (state, job, options)
    _this_pass.finished = 0
    _this_pass.encoder_runs = 0
    _pass_thread[0] = threading.current_thread()
    _parts.clear()
    start, cpu = time.monotonic(), time.process_time()
    try:
        timed("worker python", _run_pass)(*args)
    finally:
        end, cpu = time.monotonic(), time.process_time() - cpu
        ch, data, final = job[0], job[1], job[2]
        sys.stderr.write("PASS %d %d %.3f %.4f %.4f %.4f %d %d\n" % (
            ch.idx, 1 if final else 0, len(data) / 2.0 / worker.RATE, start, end, cpu,
            _this_pass.finished, _this_pass.encoder_runs))
        sys.stderr.write("PROF %s\n" % " ".join("%s=%.4f/%.4f/%d" % (k.replace(" ", "_"), w, c, n)
                                                for k, (w, c, n) in sorted(_parts.items())))
        sys.stderr.flush()


def reporting_shape(run_pass, name):
    """run_pass followed by the pass's SHAPE line (after its PASS and PROF lines)."""
    def run_and_report(*args):
        before = _shape_costs.snapshot()
        try:
            run_pass(*args)
        finally:
            sys.stderr.write(recognizer_double.shape_line(name, time.monotonic(), before,
                                                          _shape_costs.snapshot()))
            sys.stderr.flush()
    return run_and_report


worker.load_recognizer = instrumented_load
if os.environ.get("BENCH_HOLD_DECODING") == "1":
    worker.create_translator = held_translator(worker.create_translator)
if os.environ.get("BENCH_FORGET_TRANSLATIONS") and hasattr(worker, "Worker"):
    worker.Worker.__init__ = forgetful_worker(worker.Worker.__init__,
                                              float(os.environ["BENCH_FORGET_TRANSLATIONS"]))
worker.run_pass = timed_run_pass
_shape = [os.environ.get("BENCH_RECOGNIZER_SHAPE")]
_shape_costs = recognizer_double.Costs()
if _shape[0]:
    recognizer_double.remember_load_options()
    worker.run_pass = reporting_shape(worker.run_pass, os.path.basename(_shape[0]))
if hasattr(worker, "send"):
    worker.send = counting(worker.send)

if __name__ == "__main__":
    worker.main()
