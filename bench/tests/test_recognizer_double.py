"""The recognizer double: token ids carried over between vocabularies, decoding held to the real
model's length on a real CTranslate2 model, and every call repeated on the shape with the shape's
own encoding."""
import json
import os
import sys

import numpy as np
import pytest

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, BENCH)
sys.path.insert(0, os.path.join(os.path.dirname(BENCH), "tools", "models"))
sys.path.insert(0, os.path.join(os.path.dirname(BENCH), "worker", "tests"))

import make_whisper_model as mwm  # noqa: E402
import recognizer_double as rd  # noqa: E402
import worker_process  # noqa: E402


def vocabulary(size):
    import tokenizers

    with open(os.path.join(mwm.tokenizer_source(size), "tokenizer.json"), encoding="utf-8") as f:
        data = json.load(f)
    if size == mwm.LARGE_V3_VOCAB:
        data = mwm.large_v3_tokenizer(data)
    return rd.Vocabulary(tokenizers.Tokenizer.from_str(json.dumps(data)))


EN, ML, V3 = mwm.ENGLISH_VOCAB, mwm.MULTILINGUAL_VOCAB, mwm.LARGE_V3_VOCAB


@pytest.mark.parametrize("real, shape, prompt, expected", [
    # tiny.en's previous text and start of transcript: the multilingual one adds language, task
    (EN, ML, [50360, 18435, 612, 50257], [50361, 18435, 612, 50258, 50259, 50359]),
    (EN, ML, [50256, 50361, 50363, 50363 + 1500], [50257, 50362, 50364, 50364 + 1500]),
    # base's start sequence in large-v3's vocabulary, and its no-speech token's new name
    (ML, V3, [50258, 50259, 50359, 50362, 50363, 50364], [50258, 50259, 50360, 50363, 50364,
                                                         50365]),
    # a multilingual start sequence in an English-only vocabulary: no language, no task
    (ML, EN, [50361, 400, 50258, 50262, 50359], [50360, 400, 50257]),
])
def test_token_ids_keep_their_meaning(real, shape, prompt, expected):
    assert rd.TokenMap(vocabulary(real), vocabulary(shape)).prompt(prompt) == expected


@pytest.mark.parametrize("start, decoded, max_length, steps", [
    (0, 22, 448, 23),       # the tokens and the step that chose the end of text
    (0, 224, 448, 224),     # stopped at half of max_length: no end-of-text step
    (300, 148, 448, 148),   # stopped where the prompt left no more room
    (5, 0, 448, 1),         # the end of text at once
])
def test_held_steps(start, decoded, max_length, steps):
    assert rd.held_steps(start, decoded, max_length) == steps


@pytest.fixture(scope="module")
def small_shape(tmp_path_factory):
    """A one-layer model with the real multilingual vocabulary, loaded as the worker loads one."""
    folder = str(tmp_path_factory.mktemp("shape") / "model")
    mwm.build_real_model("tiny", folder, shape=mwm.WhisperShape(1, 64, 2, 80, ML))
    return rd.load_shape(folder)


@pytest.mark.parametrize("prompt, steps, beam", [
    ([50258, 50259, 50359], 7, 5),
    ([50258, 50259, 50359], 1, 1),
    ([50361] + list(range(400, 430)) + [50258, 50259, 50359], 23, 5),   # a long previous text
    ([50361] + list(range(400, 430)) + [50258, 50259, 50359, 50363], 40, 1),   # no timestamps
])
def test_decoding_is_held_to_exactly_the_real_models_steps(small_shape, prompt, steps, beam):
    import ctranslate2

    vocab = rd.Vocabulary(small_shape.hf_tokenizer)
    features = np.random.default_rng(1).standard_normal((1, 80, 3000)).astype(np.float32)
    encoded = small_shape.model.encode(ctranslate2.StorageView.from_array(features))
    options = rd.held_generate_options({"beam_size": beam, "suppress_tokens": [-1]},
                                       rd.start_step(prompt, vocab), steps, vocab.eot)
    result = small_shape.model.generate(encoded, [prompt], **options)[0]
    assert len(result.sequences_ids[0]) == steps


class Recorder:
    """A stand-in CTranslate2 model that notes each call."""

    def __init__(self, n_mels, decoded=()):
        self.n_mels, self.calls, self.decoded, self.outputs = n_mels, [], list(decoded), []

    def encode(self, features, to_cpu=False):
        self.calls.append(("encode", np.asarray(features)))
        self.outputs.append(object())
        return self.outputs[-1]

    def generate(self, encoded, prompts, **options):
        self.calls.append(("generate", encoded, prompts, options))
        return [type("Result", (), {"sequences_ids": [self.decoded]})()]

    def align(self, encoded, start, tokens, frames, **options):
        self.calls.append(("align", encoded, start, tokens, frames))

    def detect_language(self, encoded):
        self.calls.append(("detect", encoded))


def test_every_call_is_repeated_on_the_shape_with_its_own_encoding_and_counted():
    import ctranslate2

    real, shape = Recorder(80, decoded=list(range(300, 312))), Recorder(128)
    costs = rd.Costs()
    double = rd.ShapeDouble(real, shape, rd.TokenMap(vocabulary(EN), vocabulary(V3)), costs)
    features = np.ones((1, 80, 3000), dtype=np.float32)
    encoded = double.encode(ctranslate2.StorageView.from_array(features))
    double.encode(ctranslate2.StorageView.from_array(features))     # a later window
    double.generate(encoded, [[50257]], beam_size=5, max_length=448, suppress_tokens=[-1])
    double.align(encoded, [50257], [[300, 301]], 1200, median_filter_width=7)
    double.detect_language(encoded)

    padded = shape.calls[0][1]
    assert padded.shape == (1, 128, 3000) and padded[:, :80].all() and not padded[:, 80:].any()
    assert [c[0] for c in shape.calls] == ["encode", "encode", "generate", "align", "detect"]
    # the shape's encoding of the window the real model's calls were about, not the newest
    assert all(c[1] is shape.outputs[0] for c in shape.calls[2:])
    _, _, prompts, options = shape.calls[2]
    assert prompts == [[50258, 50259, 50360]]
    # 12 tokens and the end of text after a start at step 2
    assert options["max_length"] == 26 and options["suppress_tokens"] == [-1, 50257]
    assert shape.calls[3][2:] == ([50258, 50259, 50360], [[300, 301]], 1200)
    assert costs.snapshot()[4] == 5 and [c[0] for c in real.calls] == [c[0] for c in shape.calls]


def test_the_shape_line_reads_back():
    line = rd.shape_line("small", 12.5, (1.0, 2.0, 3.0, 4.0, 5), (1.5, 2.75, 5.0, 7.0, 9))
    assert worker_process.read_shape(line) == (12.5, 0.5, 0.75, 2.0, 3.0, 4)
