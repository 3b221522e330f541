"""Generates tiny CTranslate2 translation models for tests and demos.

The models have random weights, so their output is gibberish, but everything else is real: the
CTranslate2 model format, a shared vocabulary whose order matches the tokenizer's ids, and a
"tokenizer.json" that knows the language tokens of the model kind:
- "nllb": FLORES-200 codes such as "eng_Latn" as special tokens, "</s>" as end token;
- "madlad": "<2xx>" target tags as ordinary added tokens, and a post-processor appending "</s>".

    python tools/models/make_translation_model.py ROOT REPO_ID KIND

lays the model out as a hub cache snapshot of REPO_ID under ROOT/hf.

    python tools/models/make_translation_model.py --real-shape ROOT MODEL_ID [CACHE]

does the same with a model of the real shape of MODEL_ID ("nllb13", "nllb33", "madlad3b"): its
numbers of layers, widths, heads and vocabulary, int8, random weights. What such a model costs
depends on its shape, not on its weights, so it stands in for the real one in benchmarks. It is
generated once into CACHE (default ~/.cache/colloquor/real-shape) and hard-linked into ROOT/hf;
it is large (1.4 to 3.4 GB) and never belongs in the tree. Its tokenizer is the small generated
one; the model's vocabulary is padded to the real size with tokens the tokenizer never produces.
"""
import os
import shutil
import sys
import tempfile
import time
from typing import NamedTuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hub_cache  # noqa: E402

FLORES = ["rus_Cyrl", "eng_Latn", "deu_Latn", "fra_Latn", "spa_Latn", "ukr_Cyrl", "pol_Latn",
          "ita_Latn"]
CODES = ["ru", "en", "de", "fr", "es", "uk", "pl", "it"]
SPECIALS = ["<s>", "<pad>", "</s>", "<unk>"]

# A little text in every language so that the trained pieces cover the alphabets in use.
CORPUS = [
    "Hello there. How are you? I am fine, thank you! We should meet tomorrow at ten.",
    "Привет. Как дела? Хорошо, спасибо! Встретимся завтра в десять.",
    "Hallo. Wie geht es dir? Mir geht es gut, danke! Wir treffen uns morgen um zehn.",
    "Bonjour. Comment ça va? Très bien, merci! On se voit demain à dix heures.",
    "Hola. ¿Cómo estás? Muy bien, gracias. Nos vemos mañana a las diez.",
    "Привіт. Як справи? Добре, дякую! Зустрінемося завтра о десятій.",
    "Cześć. Jak się masz? Dobrze, dziękuję! Spotkajmy się jutro o dziesiątej.",
    "Ciao. Come stai? Bene, grazie! Ci vediamo domani alle dieci.",
    "0123456789 .,;:!?'\"()-…",
]

REPO_KINDS = {
    "OpenNMT/nllb-200-distilled-1.3B-ct2-int8": "nllb",
    "OpenNMT/nllb-200-3.3B-ct2-int8": "nllb",
    "Nextcloud-AI/madlad400-3b-mt-ct2-int8": "madlad",
}


def build_tokenizer(kind, vocab_size=400):
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors, trainers
    from tokenizers import AddedToken

    tok = Tokenizer(models.BPE(unk_token="<unk>"))
    tok.pre_tokenizer = pre_tokenizers.Metaspace()
    tok.decoder = decoders.Metaspace()
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, special_tokens=SPECIALS,
                                  show_progress=False)
    tok.train_from_iterator(CORPUS, trainer=trainer)
    if kind == "nllb":
        tok.add_special_tokens([AddedToken(code, special=True) for code in FLORES])
        # As in the real model: the source tag leads and "</s>" closes every encoded text.
        tok.post_processor = processors.TemplateProcessing(
            single="eng_Latn $A </s>", special_tokens=[("eng_Latn", tok.token_to_id("eng_Latn")),
                                                      ("</s>", tok.token_to_id("</s>"))])
    elif kind == "madlad":
        tok.add_tokens([AddedToken("<2%s>" % c, special=False) for c in CODES])
        tok.post_processor = processors.TemplateProcessing(
            single="$A </s>", special_tokens=[("</s>", tok.token_to_id("</s>"))])
    else:
        raise ValueError("unknown kind %r" % kind)
    return tok


def vocabulary_in_id_order(tok):
    vocab = tok.get_vocab(with_added_tokens=True)
    tokens = [None] * len(vocab)
    for token, idx in vocab.items():
        tokens[idx] = token
    if any(t is None for t in tokens):
        raise RuntimeError("tokenizer ids are not contiguous")
    return tokens


def _resolve(model, path):
    """Walks 'decoder/layer_0/attention/linear_1' to the layer object holding the variable."""
    obj = model
    for part in path:
        if hasattr(obj, part):
            obj = getattr(obj, part)
            continue
        name, _, index = part.rpartition("_")
        obj = getattr(obj, name)[int(index)]
    return obj


def _shape(name, d, ff, vocab):
    parts = name.split("/")
    leaf, owner = parts[-1], parts[-2]
    if owner == "layer_norm":
        return (d,)
    if "embeddings" in owner or owner == "projection":
        return (vocab, d)
    block, linear = parts[-3], owner
    if block == "ffn":
        return (ff, d) if linear == "linear_0" else (d, ff)
    if block == "self_attention":
        return (3 * d, d) if linear == "linear_0" else (d, d)
    if block == "attention":  # attention over the encoder: query, fused key/value, output
        return {"linear_0": (d, d), "linear_1": (2 * d, d), "linear_2": (d, d)}[linear]
    raise ValueError("no shape rule for %s (%s)" % (name, leaf))


def build_model(kind, out_dir, d=16, ff=32, heads=2, seed=1234):
    """Writes model.bin, shared_vocabulary and config.json (CTranslate2) plus tokenizer.json."""
    import numpy as np
    from ctranslate2.specs import transformer_spec

    tok = build_tokenizer(kind)
    tokens = vocabulary_in_id_order(tok)
    model_spec = transformer_spec.TransformerSpec.from_config(1, heads)
    rng = np.random.RandomState(seed)
    for name, value in model_spec.variables(ordered=True):
        if value is not None:
            continue
        shape = _shape(name, d, ff, len(tokens))
        if name.endswith("gamma"):
            array = np.ones(shape, dtype=np.float32)
        elif name.endswith("beta"):
            array = np.zeros(shape, dtype=np.float32)
        else:
            array = (rng.randn(*shape) * 0.5).astype(np.float32)
        parts = name.split("/")
        setattr(_resolve(model_spec, parts[:-1]), parts[-1], array)
    model_spec.config.decoder_start_token = "</s>" if kind == "nllb" else "<pad>"
    model_spec.register_source_vocabulary(tokens)
    model_spec.register_target_vocabulary(tokens)
    model_spec.validate()
    model_spec.optimize(quantization=None)
    os.makedirs(out_dir, exist_ok=True)
    model_spec.save(out_dir)
    tok.save(os.path.join(out_dir, "tokenizer.json"))
    return out_dir


def lay_out(root, repo_id, kind=None):
    """Generates the model for repo_id and lays it out under root/hf; returns the snapshot."""
    kind = kind or REPO_KINDS[repo_id]
    with tempfile.TemporaryDirectory() as tmp:
        build_model(kind, tmp)
        files = {name: os.path.join(tmp, name) for name in os.listdir(tmp)}
        return hub_cache.add_snapshot(os.path.join(root, "hf"), repo_id, files)


class Shape(NamedTuple):
    """What a translation model costs: its architecture without its weights."""
    kind: str
    encoder_layers: int
    decoder_layers: int
    d_model: int
    heads: int
    ffn: int
    vocab: int
    inner: int          # width of the attention projections (heads x head width)
    repo: str


# NLLB-200 is the M2M100 architecture (pre-norm, ReLU, biases, one embedding shared by encoder,
# decoder and output projection); MADLAD-400 is T5 (RMS norm, gated GELU, no biases, relative
# attention bias, heads of 128 over a width of 1024, its own output projection).
REAL_SHAPES = {
    "nllb13": Shape("nllb", 24, 24, 1024, 16, 8192, 256206, 1024,
                    "OpenNMT/nllb-200-distilled-1.3B-ct2-int8"),
    "nllb33": Shape("nllb", 24, 24, 2048, 16, 8192, 256206, 2048,
                    "OpenNMT/nllb-200-3.3B-ct2-int8"),
    "madlad3b": Shape("madlad", 32, 32, 1024, 16, 8192, 256000, 2048,
                      "Nextcloud-AI/madlad400-3b-mt-ct2-int8"),
}
RELATIVE_BUCKETS = 32
RELATIVE_MAX_DISTANCE = 128
DEFAULT_REAL_CACHE = os.path.join(os.path.expanduser("~"), ".cache", "colloquor", "real-shape")


def padded_vocabulary(tokens, size, kind):
    """tokens followed by filler tokens up to size, as the real models pad theirs."""
    filler = "madeupword%d" if kind == "nllb" else "<extra_id_%d>"
    if len(tokens) > size:
        raise ValueError("the tokenizer has more tokens (%d) than the model (%d)"
                         % (len(tokens), size))
    return tokens + [filler % i for i in range(size - len(tokens))]


def real_variable_shape(name, shape):
    """The array shape of one weight of a model of the given Shape."""
    parts = name.split("/")
    leaf, owner = parts[-1], parts[-2]
    d, inner = shape.d_model, shape.inner
    if leaf in ("gamma", "beta"):
        return (d,)
    if leaf == "relative_attention_bias":
        return (RELATIVE_BUCKETS, shape.heads)
    if "embeddings" in owner or owner == "projection":
        rows = shape.vocab
    else:
        block = parts[-3]
        rows, cols = {
            ("ffn", "linear_0"): (shape.ffn, d), ("ffn", "linear_0_noact"): (shape.ffn, d),
            ("ffn", "linear_1"): (d, shape.ffn),
            ("self_attention", "linear_0"): (3 * inner, d),
            ("self_attention", "linear_1"): (d, inner),
            ("attention", "linear_0"): (inner, d), ("attention", "linear_1"): (2 * inner, d),
            ("attention", "linear_2"): (d, inner),
        }[(block, owner)]
        return (rows, cols) if leaf == "weight" else (rows,)
    return (rows, d)


def _random_int8(rng, shape):
    import numpy as np

    return np.frombuffer(rng.bytes(int(np.prod(shape))), dtype=np.int8).reshape(shape)


def _fill_real_weights(model_spec, shape, rng, shared):
    """Sets every weight, already int8 with its row scales, as a real int8 model holds them.
    Scales keep the dequantized weights near 1/sqrt(fan-in), so that activations stay finite.
    Layers named in shared are left for the caller (they reuse the encoder's embedding)."""
    import numpy as np

    for name, value in model_spec.variables(ordered=True):
        if value is not None or name.rsplit("/", 1)[0] in shared:
            continue
        parts = name.split("/")
        owner = _resolve(model_spec, parts[:-1])
        leaf = parts[-1]
        if leaf == "relative_attention_max_distance":
            setattr(owner, leaf, np.dtype("int32").type(RELATIVE_MAX_DISTANCE))
            continue
        dims = real_variable_shape(name, shape)
        if leaf == "gamma":
            setattr(owner, leaf, np.ones(dims, dtype=np.float32))
        elif leaf == "beta":
            setattr(owner, leaf, np.zeros(dims, dtype=np.float32))
        elif leaf == "relative_attention_bias":
            setattr(owner, leaf, (rng.standard_normal(dims) * 0.1).astype(np.float32))
        else:  # a weight matrix
            weight = _random_int8(rng, dims)
            owner.weight = weight
            owner.weight_scale = np.full(dims[0], 74.0 * np.sqrt(dims[1]), dtype=np.float32)
            if shape.kind == "nllb" and hasattr(owner, "bias") and owner_is_biased(parts):
                owner.bias = np.zeros(dims[0], dtype=np.float32)


def owner_is_biased(parts):
    """M2M100 has biases on every linear layer but the output projection."""
    return parts[-2] != "projection" and "embeddings" not in parts[-2]


def real_shape_spec(shape, tokens, seed=1234):
    """The CTranslate2 layout of a model of this Shape, with random int8 weights."""
    import numpy as np
    from ctranslate2.specs import common_spec, transformer_spec

    if shape.kind == "nllb":
        model_spec = transformer_spec.TransformerSpec.from_config(
            (shape.encoder_layers, shape.decoder_layers), shape.heads, pre_norm=True,
            activation=common_spec.Activation.RELU)
    else:
        model_spec = transformer_spec.TransformerSpec.from_config(
            (shape.encoder_layers, shape.decoder_layers), shape.heads, pre_norm=True,
            activation=common_spec.Activation.GELUTanh, ffn_glu=True,
            relative_attention_bias=True, rms_norm=True)
    # One embedding matrix, as in the real models: the decoder's (and for NLLB the output
    # projection) alias the encoder's.
    sharing = {"decoder/embeddings": model_spec.decoder.embeddings}
    if shape.kind == "nllb":
        sharing["decoder/projection"] = model_spec.decoder.projection
    _fill_real_weights(model_spec, shape, np.random.default_rng(seed), sharing)
    source = model_spec.encoder.embeddings[0]
    for layer in sharing.values():
        layer.weight, layer.weight_scale = source.weight, source.weight_scale
    if shape.kind == "nllb":
        model_spec.encoder.scale_embeddings = float(np.sqrt(shape.d_model))
        model_spec.decoder.scale_embeddings = float(np.sqrt(shape.d_model))
        model_spec.config.decoder_start_token = "</s>"
    else:
        model_spec.encoder.scale_embeddings = False
        model_spec.decoder.scale_embeddings = False
        for layer in model_spec.encoder.layer + model_spec.decoder.layer:
            layer.self_attention.queries_scale = 1.0
            if hasattr(layer, "attention"):
                layer.attention.queries_scale = 1.0
        model_spec.config.bos_token = "<pad>"
        model_spec.config.decoder_start_token = "<pad>"
        model_spec.config.layer_norm_epsilon = 1e-6
    model_spec.register_source_vocabulary(tokens)
    model_spec.register_target_vocabulary(tokens)
    model_spec.validate()
    for layer in sharing.values():
        layer.weight = "encoder/embeddings_0/weight"
        layer.weight_scale = "encoder/embeddings_0/weight_scale"
    return model_spec


def build_real_model(shape, out_dir, seed=1234):
    """Writes a model of the given Shape (CTranslate2 files and tokenizer.json)."""
    tok = build_tokenizer(shape.kind)
    tokens = padded_vocabulary(vocabulary_in_id_order(tok), shape.vocab, shape.kind)
    model_spec = real_shape_spec(shape, tokens, seed)
    os.makedirs(out_dir, exist_ok=True)
    model_spec.save(out_dir)
    tok.save(os.path.join(out_dir, "tokenizer.json"))
    return out_dir


class Generated(NamedTuple):
    folder: str
    seconds: float      # generation time; 0 when the model was already in the cache
    megabytes: float    # size on disk


def folder_megabytes(folder):
    return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)) / 1e6


def real_shape_model(model_id, cache_dir=None):
    """The cached model of the real shape of model_id, generated first when it is missing."""
    cache_dir = cache_dir or DEFAULT_REAL_CACHE
    folder = os.path.join(cache_dir, model_id)
    if os.path.isfile(os.path.join(folder, "model.bin")):
        return Generated(folder, 0.0, folder_megabytes(folder))
    os.makedirs(cache_dir, exist_ok=True)
    started = time.monotonic()
    # Written aside and renamed, so that an interrupted run never leaves a model that looks whole.
    partial = tempfile.mkdtemp(prefix=model_id + ".", dir=cache_dir)
    try:
        build_real_model(REAL_SHAPES[model_id], partial)
        os.rename(partial, folder)
    finally:
        shutil.rmtree(partial, ignore_errors=True)
    return Generated(folder, time.monotonic() - started, folder_megabytes(folder))


def lay_out_real(root, model_id, cache_dir=None):
    """Lays the model of the real shape of model_id out under root/hf (hard links into the
    cache); returns (snapshot, Generated)."""
    made = real_shape_model(model_id, cache_dir)
    files = {name: os.path.join(made.folder, name) for name in os.listdir(made.folder)}
    snap = hub_cache.add_snapshot(os.path.join(root, "hf"), REAL_SHAPES[model_id].repo, files)
    return snap, made


def main(argv):
    if len(argv) >= 4 and argv[1] == "--real-shape":
        snap, made = lay_out_real(argv[2], argv[3], argv[4] if len(argv) > 4 else None)
        print("%s (%.0f MB, generated in %.0f s)" % (snap, made.megabytes, made.seconds))
        return 0
    if len(argv) not in (3, 4):
        print("usage: make_translation_model.py ROOT REPO_ID [nllb|madlad]", file=sys.stderr)
        return 2
    print(lay_out(argv[1], argv[2], argv[3] if len(argv) == 4 else None))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
