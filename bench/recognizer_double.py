"""A recognizer that costs what a larger one would: the text comes from the real model the worker
loaded, and every call the worker makes on its CTranslate2 model is made once more, with the same
inputs, on a model of a real shape with random weights (tools/models/make_whisper_model.py).

Used by bench/timed_worker.py with BENCH_RECOGNIZER_SHAPE=NAME (a shape of make_whisper_model,
generated on first use into ~/.cache/colloquor/real-shape) or =FOLDER (a generated model).

- encode: the same features; for a shape of 128 mel bins (large-v3) the 80 rows are padded with
  zero rows, since what the encoder costs does not depend on the values (computing the 128 bins
  costs the feature extractor about as much again as the 80 do; that is not repeated).
- generate: the same prompt and beam, decoding held to the real model's: as many steps as the
  real model's best hypothesis took (its tokens and the end of text), with the end-of-text token
  suppressed so that random weights cannot stop early, and max_length set so that CTranslate2
  (which decodes at most half of max_length, and no further than max_length from the prompt)
  stops after exactly those steps.
- align (word timings) and detect_language: on the shape's own encoding of the same features.

Token ids are carried over by their meaning: text tokens as they are, special tokens by name,
timestamps by their time. A multilingual shape fed an English-only model's prompt gets the
language and task tokens its own prompt would hold.

The real model's calls stay in the figures: a pass costs the shape's calls plus the real
model's. Each pass's line "SHAPE <name> <end> <real cpu> <real wall> <shape cpu> <shape wall>
<calls>" (processor seconds of the process during those calls, wall seconds, calls made on the
shape) tells how much to take off.
"""
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(os.path.dirname(HERE), "tools", "models")

ENGLISH, TRANSCRIBE = "<|en|>", "<|transcribe|>"
NO_SPEECH_NAMES = ("<|nospeech|>", "<|nocaptions|>")
MULTILINGUAL_EOT = 50257
TEXT_POSITIONS = 448
KEPT_ENCODINGS = 4           # a pass's language detection, transcription windows and timings


class Vocabulary:
    """The special token ids of one model's tokenizer (a tokenizers.Tokenizer)."""

    def __init__(self, tokenizer):
        self.tokenizer = tokenizer
        self.eot = tokenizer.token_to_id("<|endoftext|>")
        self.sot = tokenizer.token_to_id("<|startoftranscript|>")
        self.timestamp_begin = tokenizer.token_to_id("<|notimestamps|>") + 1
        # An English-only vocabulary has one text token fewer, so its specials start one lower.
        self.multilingual = self.eot >= MULTILINGUAL_EOT
        self.no_speech = next(i for i in (tokenizer.token_to_id(n) for n in NO_SPEECH_NAMES)
                              if i is not None)
        self.language_ids = {tokenizer.token_to_id(t) for t in tokenizer.get_vocab(True)
                             if _is_language(t)}
        self.task_ids = {tokenizer.token_to_id(t) for t in ("<|transcribe|>", "<|translate|>")}


def _is_language(token):
    return (token.startswith("<|") and token.endswith("|>") and 2 <= len(token) - 4 <= 3
            and token[2:-2].isalpha() and token[2:-2].islower())


class TokenMap:
    """Carries token ids of the real model's vocabulary over to the shape's."""

    def __init__(self, real, shape):
        self.real, self.shape = real, shape

    def token(self, i):
        """The shape's id for one real id; None for a token the shape's prompt has no place for."""
        real, shape = self.real, self.shape
        if i < real.eot:
            return i
        if i >= real.timestamp_begin:
            return shape.timestamp_begin + (i - real.timestamp_begin)
        if i == real.no_speech:
            return shape.no_speech
        if not shape.multilingual and (i in real.language_ids or i in real.task_ids):
            return None
        return shape.tokenizer.token_to_id(real.tokenizer.id_to_token(i))

    def tokens(self, ids):
        return [j for j in (self.token(i) for i in ids) if j is not None]

    def prompt(self, ids):
        """A prompt (or start sequence) as the shape's own would read: an English-only model's
        start of transcript is followed by language and task in a multilingual one's."""
        out = self.tokens(ids)
        if self.shape.multilingual and not self.real.multilingual and self.shape.sot in out:
            at = out.index(self.shape.sot) + 1
            out[at:at] = [self.shape.tokenizer.token_to_id(ENGLISH),
                          self.shape.tokenizer.token_to_id(TRANSCRIBE)]
        return out


def start_step(prompt, vocabulary):
    """Where decoding starts: CTranslate2 runs the prompt up to the last token of its start
    sequence (start of transcript, language, task, no timestamps) in one go, then steps."""
    at = prompt.index(vocabulary.sot)
    while at < len(prompt) and vocabulary.sot <= prompt[at] < vocabulary.timestamp_begin:
        at += 1
    return at - 1


def step_limit(max_length, start):
    """The most steps CTranslate2 decodes for a Whisper model after start."""
    return min(max_length // 2, max_length - start)


def held_steps(start, decoded, max_length):
    """Decoding steps the real model took: its tokens and the step that chose the end of text,
    unless it stopped at its limit."""
    return decoded if decoded >= step_limit(max_length, start) else decoded + 1


def held_max_length(start, steps):
    """The max_length that lets a model whose end of text is suppressed decode exactly steps
    after start (within the decoder's 448 positions)."""
    steps = min(steps, TEXT_POSITIONS - start)
    return max(2 * steps, steps + start)


def held_generate_options(options, start, steps, shape_eot):
    """The shape's generate options: the caller's, held to steps tokens after start."""
    held = dict(options)
    held["max_length"] = held_max_length(start, steps)
    held["suppress_tokens"] = list(options.get("suppress_tokens") or []) + [shape_eot]
    return held


def padded_features(features, mels):
    """The features as a StorageView of mels bins: the rows beyond the real ones are zeros."""
    import ctranslate2
    import numpy as np

    array = np.asarray(features)
    if array.shape[-2] == mels:
        return features
    padding = [(0, 0)] * (array.ndim - 2) + [(0, mels - array.shape[-2]), (0, 0)]
    return ctranslate2.StorageView.from_array(np.ascontiguousarray(np.pad(array, padding)))


class Costs:
    """Processor and wall seconds spent in the real model's calls and in the shape's."""

    def __init__(self):
        self.real_cpu = self.real_wall = self.shape_cpu = self.shape_wall = 0.0
        self.calls = 0
        self.lock = threading.Lock()

    def snapshot(self):
        with self.lock:
            return (self.real_cpu, self.real_wall, self.shape_cpu, self.shape_wall, self.calls)

    def add(self, real, cpu, wall):
        with self.lock:
            if real:
                self.real_cpu += cpu
                self.real_wall += wall
            else:
                self.shape_cpu += cpu
                self.shape_wall += wall
                self.calls += 1


def _measured(costs, real, fn, *args, **kwargs):
    wall, cpu = time.monotonic(), time.process_time()
    try:
        return fn(*args, **kwargs)
    finally:
        costs.add(real, time.process_time() - cpu, time.monotonic() - wall)


class ShapeDouble:
    """Stands in for the recognizer's CTranslate2 model: answers with the real model and repeats
    each call on the shape."""

    def __init__(self, real, shape, token_map, costs):
        self._real, self._shape, self._map, self._costs = real, shape, token_map, costs
        self._encodings = []     # (real encoder output, the shape's), newest last

    def __getattr__(self, name):
        return getattr(self._real, name)

    def _shape_encoding(self, real_output):
        for real, shape in reversed(self._encodings):
            if real is real_output:
                return shape
        # An encoding the double never saw (none should be): the newest one has the right size.
        return self._encodings[-1][1]

    def encode(self, features, *args, **kwargs):
        output = _measured(self._costs, True, self._real.encode, features, *args, **kwargs)
        shape_output = _measured(self._costs, False, self._shape.encode,
                                 padded_features(features, self._shape.n_mels), *args, **kwargs)
        self._encodings = (self._encodings + [(output, shape_output)])[-KEPT_ENCODINGS:]
        return output

    def generate(self, encoder_output, prompts, **options):
        results = _measured(self._costs, True, self._real.generate, encoder_output, prompts,
                            **options)
        max_length = options.get("max_length", TEXT_POSITIONS)
        steps = max(held_steps(start_step(p, self._map.real),
                               len(r.sequences_ids[0]) if r.sequences_ids else 0, max_length)
                    for p, r in zip(prompts, results))
        shape_prompts = [self._map.prompt(p) for p in prompts]
        start = start_step(shape_prompts[0], self._map.shape)
        _measured(self._costs, False, self._shape.generate, self._shape_encoding(encoder_output),
                  shape_prompts, **held_generate_options(options, start, steps,
                                                         self._map.shape.eot))
        return results

    def align(self, encoder_output, start_sequence, text_tokens, num_frames, **options):
        results = _measured(self._costs, True, self._real.align, encoder_output, start_sequence,
                            text_tokens, num_frames, **options)
        _measured(self._costs, False, self._shape.align, self._shape_encoding(encoder_output),
                  self._map.prompt(start_sequence), [self._map.tokens(t) for t in text_tokens],
                  num_frames, **options)
        return results

    def detect_language(self, encoder_output, *args, **kwargs):
        results = _measured(self._costs, True, self._real.detect_language, encoder_output,
                            *args, **kwargs)
        _measured(self._costs, False, self._shape.detect_language,
                  self._shape_encoding(encoder_output), *args, **kwargs)
        return results


# ---------------------------------------------------------------------------------------------
# Loading, beside the worker's own model
# ---------------------------------------------------------------------------------------------

_load_options = {}


def remember_load_options():
    """Notes the options the worker loads its recognizer with (threads, compute type), so that
    the shape is loaded with the same."""
    from faster_whisper import WhisperModel

    init = WhisperModel.__init__
    if getattr(init, "remembers", False):
        return

    def remembering_init(self, model_size_or_path, *args, **kwargs):
        if not _load_options.get("loading_shape"):
            _load_options.update(args=args, kwargs=dict(kwargs))
        init(self, model_size_or_path, *args, **kwargs)

    remembering_init.remembers = True
    WhisperModel.__init__ = remembering_init


def shape_folder(shape_name):
    """shape_name: a shape's name (generated into the cache when missing) or a generated model's folder."""
    if os.path.isdir(shape_name):
        return shape_name
    sys.path.insert(0, TOOLS)
    import make_whisper_model

    return make_whisper_model.real_shape_model(shape_name).folder


def load_shape(folder):
    """The shape as faster-whisper loads it, with the worker's options for its own model."""
    from faster_whisper import WhisperModel

    kwargs = dict(_load_options.get("kwargs", {}))
    for name in ("download_root", "files", "local_files_only", "revision"):
        kwargs.pop(name, None)
    _load_options["loading_shape"] = True
    try:
        return WhisperModel(folder, *_load_options.get("args", ()), **kwargs)
    finally:
        _load_options["loading_shape"] = False


def double(whisper_model, shape_name, costs):
    """whisper_model's CTranslate2 model replaced by a ShapeDouble of the shape named by shape_name."""
    shape = load_shape(shape_folder(shape_name))
    token_map = TokenMap(Vocabulary(whisper_model.hf_tokenizer), Vocabulary(shape.hf_tokenizer))
    whisper_model.model = ShapeDouble(whisper_model.model, shape.model, token_map, costs)
    return whisper_model.model


def shape_line(name, end, before, after):
    """The per-pass line: what the real model's calls and the shape's cost in this pass."""
    real_cpu, real_wall, shape_cpu, shape_wall, calls = (b - a for a, b in zip(before, after))
    return "SHAPE %s %.4f %.4f %.4f %.4f %.4f %d\n" % (name, end, real_cpu, real_wall, shape_cpu,
                                                      shape_wall, calls)
