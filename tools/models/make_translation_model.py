"""Generates tiny CTranslate2 translation models for tests and demos.

The models have random weights, so their output is gibberish, but everything else is real: the
CTranslate2 model format, a shared vocabulary whose order matches the tokenizer's ids, and a
"tokenizer.json" that knows the language tokens of the model kind:
- "nllb": FLORES-200 codes such as "eng_Latn" as special tokens, "</s>" as end token;
- "madlad": "<2xx>" target tags as ordinary added tokens, and a post-processor appending "</s>".

    python tools/models/make_translation_model.py ROOT REPO_ID KIND

lays the model out as a hub cache snapshot of REPO_ID under ROOT/hf.
"""
import os
import sys
import tempfile

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


def main(argv):
    if len(argv) not in (3, 4):
        print("usage: make_translation_model.py ROOT REPO_ID [nllb|madlad]", file=sys.stderr)
        return 2
    print(lay_out(argv[1], argv[2], argv[3] if len(argv) == 4 else None))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
