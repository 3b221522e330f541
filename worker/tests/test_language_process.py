"""Two languages in one conversation: spoken sentences through the headless front end into the
real worker with the multilingual recognizer (Whisper base), over the real pipes.

The full table over every pair is bench/language_bench.py; these runs keep to a few sentences and
assert what must never happen: a line with the right language code but text in the other
language, a line that repeats an earlier sentence, a translation in the wrong direction.
"""
import pytest

import conftest
import language_corpus
import language_run
import lay_out_whisper
import speech
import worker
import worker_process


@pytest.fixture(autouse=True)
def spoken_test_tools():
    speech.require_tools()


@pytest.fixture(scope="module")
def audio_folder(tmp_path_factory):
    return tmp_path_factory.mktemp("language-audio")


@pytest.fixture
def base_root(tmp_path):
    root = tmp_path / "data"
    lay_out_whisper.lay_out(str(root), "base")
    return root


@pytest.fixture
def language_worker(base_root):
    started = []

    def start(root=base_root):
        w = worker_process.WorkerProcess(root, model="base")
        started.append(w)
        w.start_up()
        return w

    yield start
    for w in started:
        w.stop()


def converse(language_worker, folder, turns, two_channels, opts):
    heard = language_run.speak_turns(language_worker(), turns,
                                     language_run.turn_audio(str(folder), turns, two_channels),
                                     opts)
    return heard, "\n".join(language_run.describe(turns, heard))


@pytest.mark.parametrize("first, second, order, two_channels", [
    # Russian after three English sentences, then by turns: the front end's Russian is often
    # taken for English, and the English prompt was then written out again
    ("en", "ru", "aaabab", False),
    ("en", "de", "", True),             # the other side speaks the translation language
])
def test_each_line_is_written_in_its_language_and_copies_nothing(language_worker, audio_folder,
                                                                  first, second, order,
                                                                  two_channels):
    if two_channels:
        turns = language_run.conversation(first, second, 2, two_channels=True)
    else:
        turns = language_run.mixed_conversation(first, second, order)
    heard, report = converse(language_worker, audio_folder, turns, two_channels,
                             language_run.options(first, second, reverse=two_channels))
    print("\n" + report)
    s = language_run.score(turns, heard, first, second)
    assert s.silent == 0, report
    assert s.right_code_wrong_text == 0, report
    assert s.copies == 0, report
    # Which language a line is labelled with depends on how well the front end keeps the
    # voice's language (not asserted here); whatever the label, its text is in that language.
    assert s.text_in_code * 3 >= s.lines * 2, report
    for code, (errors, words) in s.errors.items():
        print("word error rate %s: %.2f" % (code, errors / words))
    errors, words = s.errors["en"]
    assert errors / words < 0.2, report


# ---------------------------------------------------------------------------------------------
# Translation direction
# ---------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def oracle(model_store, tmp_path_factory):
    """The generated NLLB model in-process: what a sentence translated from one language into
    another comes out as. Its output is gibberish, but a fixed gibberish for each source and
    target language."""
    import ctranslate2
    import tokenizers

    folder = str(model_store / "nllb")
    state = worker.Worker(lambda *line: None,
                          worker.data_paths(str(tmp_path_factory.mktemp("oracle"))))
    state.translation.activate(worker.TranslationEngine(
        ctranslate2.Translator(folder, device="cpu", compute_type="int8"),
        tokenizers.Tokenizer.from_file(folder + "/tokenizer.json"), "nllb", ""), "nllb13")
    return lambda text, src, tgt: worker.translate(state, text, src, tgt, True)


# (options, turns as (channel, spoken language, sentence number)); ja is a language outside the
# program's eight, spoken by espeak-ng in kana.
TRANSLATION_RUNS = [
    ("en|de|1|0|60", [(0, "en", 0), (1, "de", 1), (0, "de", 2), (1, "en", 3), (0, "es", 4)]),
    ("auto|de|0|0|60", [(0, "es", 0), (0, "de", 3), (0, "ja", 0)]),
]
JAPANESE = ["こんにちは、げんきですか。"]


def spoken_turn(channel, code, index):
    text = JAPANESE[index] if code == "ja" else language_corpus.SENTENCES[code][index]
    return language_run.Turn(channel, code, index, text)


def test_each_line_is_translated_into_the_other_language_of_the_pair(
        language_worker, base_root, model_store, audio_folder, oracle):
    conftest.add_translation_model(base_root, conftest.NLLB13_REPO, model_store)
    w = language_worker()
    seen = []
    for opts, spoken in TRANSLATION_RUNS:
        turns = [spoken_turn(*t) for t in spoken]
        audio = language_run.turn_audio(str(audio_folder), turns, True)
        heard = language_run.speak_turns(w, turns, audio, opts)
        report = "\n".join(language_run.describe(turns, heard))
        src, tgt = opts.split("|")[:2]
        for turn, lines in zip(turns, heard):
            # speech of a third language forced into one of the pair may come out as nothing
            assert lines or (src != "auto" and turn.code not in (src, tgt)), report
            for line in lines:
                seen.append((opts, turn, line))
                if src != "auto":
                    # a pair: every line is in one of its languages and goes to the other
                    assert line.code in (src, tgt), report
                    expected = tgt if line.code == src else src
                else:
                    expected = tgt
                assert line.translation_code == expected, report
    # The translation texts themselves, against the same model in-process: from the line's
    # language into the expected one; a language outside the eight gets none, the translation
    # language its own text.
    outside = translated = 0
    for opts, turn, line in seen:
        if line.code not in worker.NLLB:
            outside += 1
            assert line.translation == "", (opts, turn, line)
        elif line.code == line.translation_code:
            assert line.translation == line.text, (opts, turn, line)
        else:
            translated += 1
            assert line.translation == oracle(line.text, line.code, line.translation_code), (
                opts, turn, line)
    assert outside >= 1 and translated >= 5, seen
