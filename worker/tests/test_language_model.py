"""The language path with the real multilingual recognizer (Whisper base) in-process: passes of
spoken sentences through run_pass, as the recognition thread runs them."""
import wave

import pytest

import language_corpus
import language_run
import speech
import worker

EN = language_corpus.SENTENCES["en"]


@pytest.fixture(scope="module")
def base_model():
    from faster_whisper import WhisperModel
    import lay_out_whisper

    model = WhisperModel(lay_out_whisper.packaged_model_dir("base"), device="cpu",
                         compute_type="int8")
    model.encode = worker.reuse_last_encoding(model.encode)
    return model


@pytest.fixture(scope="module")
def spoken(tmp_path_factory):
    """The 16-bit audio bytes of a corpus sentence, spoken once per module."""
    speech.require_tools(feed_wav=False)
    folder = tmp_path_factory.mktemp("spoken")
    made = {}

    def say(code, index):
        if (code, index) not in made:
            path = speech.speak(str(folder / ("%s%d.wav" % (code, index))),
                                language_corpus.SENTENCES[code][index],
                                voice=language_corpus.VOICES[code])
            with wave.open(path) as w:
                made[(code, index)] = w.readframes(w.getnframes())
        return made[(code, index)]

    return say


def finished(lines):
    return [(f[3], f[4]) for f in lines if f[0] == "F" and f[4]]


def test_german_after_english_is_recognized_in_german_and_copies_nothing(w, lines, base_model,
                                                                          spoken):
    """Whisper follows the language of its prompt: after three English sentences the channel's
    English text, given to a German pass, came back as English or as a copy of an English line.
    """
    w.model = base_model
    ch = w.chans[0]
    pair = worker.Options("en", "de", False)
    turns = [language_run.Turn(0, code, i, language_corpus.SENTENCES[code][i])
             for code, i in [("en", 0), ("en", 1), ("en", 2), ("de", 1), ("de", 0), ("en", 3)]]
    heard = []
    for turn in turns:
        del lines[:]
        worker.run_pass(w, worker.Job(ch, spoken(turn.code, turn.index), True), pair)
        heard.append([language_run.Line(code, text) for code, text in finished(lines)])
    report = "\n".join(language_run.describe(turns, heard))
    for k, (turn, got) in enumerate(zip(turns, heard)):
        assert got, report
        for line in got:
            assert line.code == turn.code, report
            assert language_run.text_language(line.text, "en", "de") == turn.code, report
            assert language_run.copied_from(turns, heard, k, line) is None, report
    # the prompt still carries the English names and terms to the next English pass
    assert "lunch" in ch.prompts["en"]
    assert "Zahlen" in ch.prompts["de"]
    english = " ".join(line.text for turn, got in zip(turns, heard) if turn.code == "en"
                       for line in got)
    assert speech.wer([(" ".join(EN[:4]), english)]) < 0.2, report


def test_auto_detection_and_the_first_window_share_one_encoder_run(w, lines, base_model,
                                                                   spoken, monkeypatch):
    """With the speech language Auto the worker asks the recognizer which language it hears
    before the transcription; that detection and the first window encode the same audio once."""
    runs = []
    inner = base_model.model

    class Counting:
        def encode(self, *args, **kwargs):
            runs.append(1)
            return inner.encode(*args, **kwargs)

        def __getattr__(self, name):
            return getattr(inner, name)

    monkeypatch.setattr(base_model, "model", Counting())
    w.model = base_model
    ch = w.chans[0]
    for code, index in [("de", 2), ("en", 2)]:
        del runs[:], lines[:]
        worker.run_pass(w, worker.Job(ch, spoken(code, index), True),
                        worker.Options("auto", "none", False))
        assert [c for c, _ in finished(lines)] == [code]
        assert len(runs) == 1
    assert set(ch.prompts) == {"de", "en"}
