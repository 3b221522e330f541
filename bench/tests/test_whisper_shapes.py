"""Whisper models of the real shapes: their sizes, and that faster-whisper takes a generated one
as it would the real one (built here at the tiny shape, or smaller with a real vocabulary)."""
import json
import os
import sys

import numpy as np
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools", "models"))

import make_whisper_model as mwm  # noqa: E402


# the parameters of the published checkpoints
@pytest.mark.parametrize("name, params", [("tiny", 37.76e6), ("base", 72.59e6),
                                          ("small", 241.73e6), ("medium", 763.86e6),
                                          ("large-v3", 1543.49e6)])
def test_the_shapes_have_the_published_sizes(name, params):
    from ctranslate2.specs import whisper_spec

    shape = mwm.REAL_SHAPES[name]
    layout = whisper_spec.WhisperSpec(shape.layers, shape.heads, shape.layers, shape.heads)
    total = shape.width * (mwm.AUDIO_POSITIONS + mwm.TEXT_POSITIONS)
    for variable, value in layout.variables(ordered=True):
        if value is None and variable != "decoder/projection/weight":   # tied to the embedding
            dims = mwm.variable_shape(variable, shape)
            total += int(np.prod(dims))
            if variable.endswith("/weight") and "embeddings" not in variable:
                total += dims[0]    # its bias
    assert abs(total - params) / params < 0.005


def test_the_tiny_shape_loads_in_faster_whisper_and_encodes(tmp_path):
    import ctranslate2
    from faster_whisper import WhisperModel
    from faster_whisper.tokenizer import Tokenizer

    folder = mwm.build_real_model("tiny", str(tmp_path / "tiny"))
    model = WhisperModel(folder, device="cpu", compute_type="int8")
    assert (model.model.is_multilingual, model.model.n_mels) == (True, 80)
    with open(os.path.join(folder, "vocabulary.json"), encoding="utf-8") as f:
        assert len(json.load(f)) == mwm.MULTILINGUAL_VOCAB
    with open(os.path.join(folder, "config.json"), encoding="utf-8") as f:
        assert [tuple(h) for h in json.load(f)["alignment_heads"]] == [(2, 2), (3, 0), (3, 2),
                                                                       (3, 3), (3, 4), (3, 5)]
    tokenizer = Tokenizer(model.hf_tokenizer, True, task="transcribe", language="en")
    assert tokenizer.sot_sequence == [50258, 50259, 50359] and tokenizer.timestamp_begin == 50364
    features = np.random.default_rng(1).standard_normal((1, 80, 3000)).astype(np.float32)
    encoded = model.model.encode(ctranslate2.StorageView.from_array(features))
    assert encoded.shape == [1, 1500, 384] and np.isfinite(np.asarray(encoded)).all()
    # int8 weights: the 39 million parameters take about a byte each
    assert 38e6 < os.path.getsize(os.path.join(folder, "model.bin")) < 45e6


def test_a_large_v3_vocabulary_has_its_language_and_timestamps_where_the_model_looks(tmp_path):
    from faster_whisper import WhisperModel
    from faster_whisper.tokenizer import Tokenizer

    # large-v3's vocabulary and mel bins at a width small enough to build here
    shape = mwm.WhisperShape(1, 64, 2, 128, mwm.LARGE_V3_VOCAB)
    folder = mwm.build_real_model("large-v3", str(tmp_path / "v3"), shape=shape)
    model = WhisperModel(folder, device="cpu", compute_type="int8")
    assert model.model.n_mels == 128 and model.feature_extractor.mel_filters.shape[0] == 128
    tokenizer = Tokenizer(model.hf_tokenizer, True, task="transcribe", language="yue")
    with open(os.path.join(folder, "vocabulary.json"), encoding="utf-8") as f:
        vocabulary = json.load(f)
    assert len(vocabulary) == mwm.LARGE_V3_VOCAB
    for token_id in tokenizer.sot_sequence + [tokenizer.no_timestamps, tokenizer.no_speech,
                                              tokenizer.eot, tokenizer.sot_prev]:
        assert vocabulary[token_id] == model.hf_tokenizer.id_to_token(token_id)
    assert tokenizer.sot_sequence == [50258, 50358, 50360]
    assert vocabulary[tokenizer.timestamp_begin] == "<|0.00|>" and vocabulary[-1] == "<|30.00|>"
    with open(os.path.join(folder, "config.json"), encoding="utf-8") as f:
        config = json.load(f)
    assert config["lang_ids"] == list(range(50259, 50359))
    segments, info = model.transcribe(np.zeros(16000, dtype=np.float32), language="en",
                                      beam_size=1, temperature=0.0, max_new_tokens=3,
                                      without_timestamps=True)
    list(segments)      # one real decoding on 128-bin features
    assert info.language == "en"


def test_the_cache_is_generated_once_and_never_half(tmp_path, monkeypatch):
    built = []
    real_build = mwm.build_real_model
    monkeypatch.setattr(mwm, "build_real_model",
                        lambda name, out: built.append(name) or real_build(name, out))
    first = mwm.real_shape_model("tiny", str(tmp_path))
    second = mwm.real_shape_model("tiny", str(tmp_path))
    assert built == ["tiny"] and first.folder == second.folder and second.seconds == 0
    assert sorted(os.listdir(tmp_path)) == ["whisper-tiny"]
