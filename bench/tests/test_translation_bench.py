"""The translation benchmark's pieces: models of the real shapes (built here at a small scale
through the same code) decoding as long as a real model would, and the lag of "U" lines."""
import json
import os
import sys

import pytest

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, BENCH)
os.environ.pop("BENCH_HOLD_DECODING", None)

import timed_worker  # noqa: E402  (puts the worker on the path, changes nothing unasked)
import translation_bench  # noqa: E402
import make_translation_model as mtm  # noqa: E402


def small(kind, inner):
    """A shape of the real architecture of kind, small enough to build in a test."""
    return mtm.Shape(kind, 2, 3, 16, 2, 32, 600, inner, "test/" + kind)


class TestRealShapes:
    @pytest.mark.parametrize("model_id, params", [("nllb13", 1.37e9), ("nllb33", 3.34e9),
                                                  ("madlad3b", 2.94e9)])
    def test_the_shapes_have_the_real_models_sizes(self, model_id, params):
        # the parameter counts published for the three models, within 3 %
        from ctranslate2.specs import common_spec, transformer_spec

        shape = mtm.REAL_SHAPES[model_id]
        layout = transformer_spec.TransformerSpec.from_config(
            (shape.encoder_layers, shape.decoder_layers), shape.heads,
            ffn_glu=shape.kind == "madlad", rms_norm=shape.kind == "madlad",
            relative_attention_bias=shape.kind == "madlad",
            activation=common_spec.Activation.RELU)
        total = 0
        for name, value in layout.variables(ordered=True):
            if value is None and "embeddings" not in name and "projection" not in name \
                    and "relative" not in name:
                dims = mtm.real_variable_shape(name, shape)
                total += dims[0] * (dims[1] if len(dims) > 1 else 1)
        embeddings = shape.vocab * shape.d_model * (1 if shape.kind == "nllb" else 2)
        assert abs(total + embeddings - params) / params < 0.03

    @pytest.mark.parametrize("kind, inner", [("nllb", 16), ("madlad", 32)])
    def test_a_generated_model_loads_and_decodes_as_long_as_held(self, tmp_path, kind, inner):
        import ctranslate2

        shape = small(kind, inner)
        folder = mtm.build_real_model(shape, str(tmp_path / kind))
        engine = timed_worker.HeldDecoding(ctranslate2.Translator(folder, device="cpu",
                                                                  compute_type="int8"))
        source = ["eng_Latn" if kind == "nllb" else "<2ru>", "\u2581Hello", ",", "\u2581you",
                  "</s>"]
        _, length = timed_worker.held_batch([source])
        prefix = [["rus_Cyrl"]] if kind == "nllb" else None
        out = engine.translate_batch([source], target_prefix=prefix, beam_size=4)
        # random weights would stop anywhere; the target language tag comes on top
        assert len(out[0].hypotheses[0]) == length + (1 if prefix else 0)
        vocabulary = os.path.join(folder, "shared_vocabulary.json")
        with open(vocabulary, encoding="utf-8") as f:
            assert len(json.load(f)) == shape.vocab
        # every weight matrix is int8, as in the published int8 models
        assert os.path.getsize(os.path.join(folder, "model.bin")) < 600 * 16 * 2 + 200000

    def test_the_cache_is_generated_once(self, tmp_path, monkeypatch):
        built = []
        monkeypatch.setitem(mtm.REAL_SHAPES, "tiny", small("nllb", 16))
        real_build = mtm.build_real_model
        monkeypatch.setattr(mtm, "build_real_model",
                            lambda shape, out: built.append(shape) or real_build(shape, out))
        first = mtm.real_shape_model("tiny", str(tmp_path))
        second = mtm.real_shape_model("tiny", str(tmp_path))
        assert len(built) == 1 and first.folder == second.folder
        assert first.seconds > 0 and second.seconds == 0 and first.megabytes > 0
        assert sorted(os.listdir(tmp_path)) == ["tiny"]     # no half-written folder left


def test_the_forgetful_cache_forgets_old_entries_only(monkeypatch):
    now = [100.0]
    monkeypatch.setattr(timed_worker.time, "monotonic", lambda: now[0])
    cache = timed_worker.ForgetfulCache(30)
    cache["old"] = "a"
    now[0] = 120.0
    cache["new"] = "b"
    now[0] = 140.0
    assert (cache.get("old"), cache.get("new"), cache.get("never")) == (None, "b", None)
    cache.clear()
    assert cache.get("new") is None and len(cache) == 0


def line(t, kind, ch, text):
    return (t, [kind, str(ch), "0", "en", text])


def test_lags_pair_each_channel_first_in_first_out_and_count_lines_left_unanswered():
    lines = [line(1.0, "F", 0, "One."), line(1.5, "F", 1, "Two."), line(2.0, "P", 0, "x"),
             line(3.0, "U", 1, "<2>"), line(4.0, "U", 0, ""), line(5.0, "F", 0, ""),
             line(5.5, "U", 0, ""), line(6.0, "F", 1, "Never answered."), line(7.0, "F", 0, "")]
    lags, unanswered = translation_bench.translation_lags(lines)
    assert sorted(lags) == [0.5, 1.5, 3.0]
    assert unanswered == 1      # the empty line of an utterance without text does not count
