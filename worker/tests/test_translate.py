"""Sentence translation against the real CTranslate2 engine with tiny generated models."""
from types import SimpleNamespace

import pytest

import worker


class RecordingEngine:
    """The real engine, with every batch and its options written down on the way in.

    With `script`, the engine is still run, but its answer is replaced by the scripted token
    lists, so that the handling of what comes back can be checked with known tokens.
    """

    def __init__(self, engine, script=None):
        self.engine = engine
        self.calls = []
        self.script = script

    def translate_batch(self, batch, **options):
        self.calls.append(([list(tokens) for tokens in batch], options))
        results = self.engine.translate_batch(batch, **options)
        if self.script is None:
            return results
        return [SimpleNamespace(hypotheses=[tokens]) for tokens in self.script]


@pytest.fixture(scope="module")
def engines(model_store):
    import ctranslate2
    import tokenizers

    loaded = {}
    for kind in ("nllb", "madlad"):
        folder = str(model_store / kind)
        loaded[kind] = (ctranslate2.Translator(folder, device="cpu", compute_type="int8"),
                        tokenizers.Tokenizer.from_file(folder + "/tokenizer.json"))
    return loaded


@pytest.fixture
def active(engines, w):
    """Makes one of the generated models the active one; returns its recording engine."""

    def activate(kind, model_id=None, script=None):
        engine, tokenizer = engines[kind]
        recording = RecordingEngine(engine, script)
        w.translation.activate(worker.TranslationEngine(recording, tokenizer, kind, ""),
                               model_id or ("madlad3b" if kind == "madlad" else "nllb13"))
        return recording

    return activate


def plain(engines, kind, sentence, src, tgt, final):
    """What one sentence alone comes out as, straight from the engine (the oracle)."""
    engine, tokenizer = engines[kind]
    beam = 4 if final else 1
    if kind == "nllb":
        source = [worker.NLLB[src]] + tokenizer.encode(sentence, add_special_tokens=False).tokens
        out = engine.translate_batch([source + ["</s>"]], target_prefix=[[worker.NLLB[tgt]]],
                                     beam_size=beam, max_decoding_length=256,
                                     repetition_penalty=1.1, no_repeat_ngram_size=4)
        tokens = out[0].hypotheses[0][1:]
    else:
        source = tokenizer.encode("<2%s> %s" % (tgt, sentence)).tokens
        out = engine.translate_batch([source], beam_size=beam, max_decoding_length=256)
        tokens = out[0].hypotheses[0]
    return tokenizer.decode([tokenizer.token_to_id(t) for t in tokens],
                            skip_special_tokens=True).strip()


class TestTokens:
    def test_nllb_source_tokens_prefix_and_options(self, w, active, engines):
        rec = active("nllb")
        worker.translate(w, "Hello there.", "en", "ru", True)
        worker.translate(w, "How are you?", "de", "uk", False)
        tokenizer = engines["nllb"][1]
        (batch, final_opts), (batch2, partial_opts) = rec.calls
        body = tokenizer.encode("Hello there.", add_special_tokens=False).tokens
        assert batch == [["eng_Latn"] + body + ["</s>"]]
        assert batch2[0][0] == "deu_Latn" and batch2[0][-1] == "</s>"
        assert batch2[0].count("</s>") == 1 and "eng_Latn" not in batch2[0]
        assert final_opts == dict(target_prefix=[["rus_Cyrl"]], beam_size=4,
                                  max_decoding_length=256, repetition_penalty=1.1,
                                  no_repeat_ngram_size=4)
        assert partial_opts["target_prefix"] == [["ukr_Cyrl"]] and partial_opts["beam_size"] == 1

    def test_madlad_source_tokens_and_options(self, w, active, engines):
        rec = active("madlad")
        worker.translate(w, "Hello there. Fine!", "en", "de", True)
        tokenizer = engines["madlad"][1]
        (batch, opts), = rec.calls
        assert batch == [tokenizer.encode("<2de> Hello there.").tokens,
                         tokenizer.encode("<2de> Fine!").tokens]
        assert all(tokens[0] == "<2de>" and tokens[-1] == "</s>" and tokens.count("</s>") == 1
                   for tokens in batch)
        assert opts == dict(beam_size=4, max_decoding_length=256)

    def test_madlad_end_token_added_when_the_tokenizer_leaves_it_out(self, w, active, engines):
        rec = active("madlad")
        tokenizer = engines["madlad"][1]

        class NoEnd:
            def encode(self, text, add_special_tokens=True):
                return tokenizer.encode(text, add_special_tokens=False)

            def __getattr__(self, name):
                return getattr(tokenizer, name)

        w.translation.model = w.translation.model._replace(tok=NoEnd())
        worker.translate(w, "Hello", "en", "fr", False)
        assert rec.calls[0][0][0][-1] == "</s>" and rec.calls[0][0][0].count("</s>") == 1

    def test_what_comes_back(self, w, active, engines):
        tokenizer = engines["nllb"][1]
        # NLLB: the first token is the target language tag and goes; unknown tokens are dropped
        active("nllb", script=[["rus_Cyrl", "▁Hell", "o", "no-such-token", "</s>"]])
        assert worker.translate(w, "Hi.", "en", "ru", True) == "Hello"
        active("nllb", script=[["▁Hell", "o", "▁the", "re"]])
        assert worker.translate(w, "Yo.", "en", "ru", True) == "o there"
        # MADLAD: the output is used as it is
        active("madlad", script=[["▁Hell", "o", "</s>"]])
        assert worker.translate(w, "Hey.", "en", "ru", True) == "Hello"
        assert tokenizer.token_to_id("no-such-token") is None

    @pytest.mark.parametrize("kind", ["nllb", "madlad"])
    def test_real_output_matches_the_engine_sentence_by_sentence(self, w, active, engines, kind):
        active(kind)
        text = "Hello there. How are you? Fine, thank you!"
        got = worker.translate(w, text, "en", "ru", True)
        expected = " ".join(plain(engines, kind, s, "en", "ru", True)
                            for s in ["Hello there.", "How are you?", "Fine, thank you!"])
        assert got == expected and got.strip()


class TestCache:
    def test_only_new_sentences_go_to_the_engine(self, w, active):
        rec = active("nllb")
        first = worker.translate(w, "Hello there.", "en", "ru", False)
        both = worker.translate(w, "Hello there. How are you", "en", "ru", False)
        assert [len(batch) for batch, _ in rec.calls] == [1, 1]
        assert rec.calls[1][0][0][1:4] != rec.calls[0][0][0][1:4]
        second = worker.translate(w, "How are you", "en", "ru", False)
        assert len(rec.calls) == 2 and both == first + " " + second
        assert set(w.cache) == {("nllb13", "en", "ru", False, "Hello there."),
                                     ("nllb13", "en", "ru", False, "How are you")}

    def test_partial_and_final_are_translated_apart(self, w, active):
        rec = active("nllb")
        worker.translate(w, "Hello there.", "en", "ru", False)
        worker.translate(w, "Hello there.", "en", "ru", True)
        worker.translate(w, "Hello there.", "en", "ru", True)
        assert [opts["beam_size"] for _, opts in rec.calls] == [1, 4]

    def test_direction_and_model_are_part_of_the_key(self, w, active):
        rec = active("nllb")
        worker.translate(w, "Hello.", "en", "ru", True)
        worker.translate(w, "Hello.", "en", "de", True)
        active("madlad")
        rec2 = w.translation.model.translator
        worker.translate(w, "Hello.", "en", "ru", True)
        assert len(rec.calls) == 2 and len(rec2.calls) == 1

    def test_all_new_sentences_in_one_batch(self, w, active):
        rec = active("madlad")
        worker.translate(w, "One. Two! Three? Four\u2026 five", "en", "it", True)
        assert len(rec.calls) == 1 and len(rec.calls[0][0]) == 5

    def test_past_2000_entries_the_cache_is_emptied_after_the_call(self, w, active, engines):
        active("nllb")
        for n in range(1999):
            w.cache[("nllb13", "en", "ru", True, "filler %d." % n)] = "x"
        text = "Hello there. How are you? Fine. Thank you!"
        got = worker.translate(w, text, "en", "ru", True)
        assert w.cache == {}
        assert got == " ".join(plain(engines, "nllb", s, "en", "ru", True)
                               for s in ["Hello there.", "How are you?", "Fine.", "Thank you!"])
        # at exactly 2000 it stays
        for n in range(1999):
            w.cache[("nllb13", "en", "ru", True, "filler %d." % n)] = "x"
        worker.translate(w, "Hello there.", "en", "ru", True)
        assert len(w.cache) == 2000


class TestNothingToTranslate:
    def test_same_language_none_and_unknown(self, w, active):
        rec = active("nllb")
        assert worker.translate(w, "Hello there.", "en", "en", True) == "Hello there."
        assert worker.translate(w, "Hello there.", "en", "none", True) == ""
        assert worker.translate(w, "Hello there.", "ja", "ru", True) == ""
        assert worker.translate(w, "Hello there.", "en", "ja", True) == ""
        assert worker.translate(w, "Hello there.", None, "ru", True) == ""
        assert worker.translate(w, "", "en", "ru", True) == ""
        assert rec.calls == []
        w.translation.model = None
        assert worker.translate(w, "Hello there.", "de", "de", False) == "Hello there."
        assert worker.translate(w, "Hello there.", "de", "ru", False) == ""


class TestModelSwitchDuringACall:
    def test_the_call_keeps_its_own_model_and_result(self, w, active, engines):
        rec = active("nllb")
        worker.translate(w, "Hello there.", "en", "ru", True)
        expected = worker.translate(w, "Hello there. How are you?", "en", "ru", True)
        w.cache.clear()
        worker.translate(w, "Hello there.", "en", "ru", True)
        real = rec.translate_batch

        def switching(batch, **options):
            # another thread activates MADLAD and empties the cache while the engine works
            w.translation.activate(None, "madlad3b")
            w.cache.clear()
            return real(batch, **options)

        rec.translate_batch = switching
        assert worker.translate(w, "Hello there. How are you?", "en", "ru", True) == expected
        assert list(w.cache) == [("nllb13", "en", "ru", True, "How are you?")]
