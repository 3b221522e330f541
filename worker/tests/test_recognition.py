"""Recognition scheduling and line emission in-process, with a scripted recognizer."""
import time
import wave
from types import SimpleNamespace

import numpy as np
import pytest

import conftest
import speech
import worker

RATE = 16000


class Lines(conftest.Lines):
    def __call__(self, kind, *fields):
        super().__call__(kind, *fields)
        self[-1] = tuple(str(f) for f in self[-1])

    def kinds(self):
        return "".join(f[0] for f in self)


@pytest.fixture
def lines():
    return Lines()


def word(text, start, end):
    return SimpleNamespace(word=text, start=start, end=end)


def seg(words=(), text=None, start=0.0, end=1.0, no_speech=0.0, logprob=-0.2, compression=1.2):
    words = list(words)
    if text is None:
        text = "".join(w.word for w in words)
    if words:
        start, end = words[0].start, words[-1].end
    return SimpleNamespace(start=start, end=end, text=text, no_speech_prob=no_speech,
                           avg_logprob=logprob, compression_ratio=compression, words=words)


def words_of(*timed):
    """words_of(("Hello", 0, .4), ...) with the leading space the recognizer puts on each word."""
    return [word(" " + t, s, e) for t, s, e in timed]


class ScriptedModel:
    """Answers transcription and language detection from a script and records each request."""

    def __init__(self, segments=(), probs=(), language="en", fail=None):
        self.segments = list(segments)
        self.probs = list(probs)
        self.language = language
        self.fail = fail
        self.transcribed = []
        self.detected = []

    @staticmethod
    def feature_extractor(audio):
        return np.array(audio)[None, :]

    def detect_language(self, features):
        self.detected.append(features[0])
        if self.fail == "detect":
            raise RuntimeError("detector broke")
        best = max(self.probs, key=lambda p: p[1]) if self.probs else ("en", 0.0)
        return best[0], best[1], self.probs

    def transcribe(self, audio, **options):
        self.transcribed.append((np.array(audio), options))
        if self.fail == "transcribe":
            raise RuntimeError("recognizer broke")
        return iter(self.segments), SimpleNamespace(language=self.language)


@pytest.fixture
def state(monkeypatch, lines):
    # Scripted audio is a tone; the voice-activity filter hears speech in whatever is not silent.
    def heard(audio, options=None):
        loud = np.flatnonzero(audio)
        return [{"start": int(loud[0]), "end": int(loud[-1]) + 1}] if len(loud) else []

    monkeypatch.setattr("faster_whisper.vad.get_speech_timestamps", heard)
    return lines


@pytest.fixture
def logged(monkeypatch):
    got = []
    monkeypatch.setattr(worker, "log", got.append)
    return got


def use_model(w, m):
    w.model = m
    return m


def handle(w, kind, payload):
    worker.handle_frame(w, worker.Frame(kind, payload))


def tone(seconds, peak=0.5):
    n = int(seconds * RATE)
    return (peak * np.sin(np.arange(n) * 0.05)).astype(np.float32)


def pcm(seconds, value=1000):
    return (np.full(int(seconds * RATE), value, dtype="<i2")).tobytes()


# ---------------------------------------------------------------------------------------------
# Picking jobs
# ---------------------------------------------------------------------------------------------

class TestPick:
    def test_final_pass_takes_its_utterance_only_and_the_oldest_end_goes_first(self, state, w):
        def h(kind, payload):
            handle(w, kind, payload)
        h("A", b"\x01" + pcm(1, 11))
        h("E", b"\x01")                         # channel 1 finishes first
        h("A", b"\x00" + pcm(2, 22))
        h("E", b"\x00")
        h("A", b"\x01" + pcm(0.5, 12))          # channel 1's next utterance begins
        h("E", b"\x00")                         # nothing new: still the same utterance
        h("A", b"\x00" + pcm(0.3, 23))
        h("E", b"\x00")
        with w.cond:
            jobs = [worker.pick(w) for _ in range(4)]
        assert [(ch.idx, data, final) for ch, data, final in jobs[:3]] == [
            (1, pcm(1, 11), True), (0, pcm(2, 22), True), (0, pcm(0.3, 23), True)]
        assert jobs[3] is None                   # half a second is no step for a partial pass
        c0, c1 = w.chans
        assert (bytes(c1.buf), c1.last_len, c1.ends) == (pcm(0.5, 12), 0, [])
        assert (bytes(c0.buf), c0.ends) == (b"", [])

    def test_final_mark_on_an_empty_buffer_still_gives_a_job(self, state, w):
        handle(w, "E", b"\x01")
        with w.cond:
            ch, data, final = worker.pick(w)
        assert (ch.idx, data, final) == (1, b"", True)

    @pytest.mark.parametrize("dev,step", [("CPU", 64000), ("GPU", 28800)])
    def test_partial_pass_needs_a_step_of_new_audio(self, state, w, monkeypatch, dev, step):
        w.dev = dev
        ch = w.chans[0]
        ch.buf += b"\0" * (step - 2)
        with w.cond:
            assert worker.pick(w) is None
        ch.buf += b"\0\0"
        with w.cond:
            job = worker.pick(w)
        assert job[0] is ch and job[2] is False and len(job[1]) == step
        assert len(ch.buf) == step and ch.last_len == step     # the buffer stays and grows on
        ch.buf += b"\0" * (step - 2)
        with w.cond:
            assert worker.pick(w) is None

    def test_two_talking_channels_take_turns(self, state, w, monkeypatch):
        w.dev = "GPU"
        clock = [1000.0]
        wall = [1e9]
        monkeypatch.setattr(time, "monotonic", lambda: clock[0])
        # The wall clock is set back meanwhile (time sync, the user): turns must not follow it.
        monkeypatch.setattr(time, "time", lambda: wall[0])
        served = []
        for second in range(8):
            clock[0] += 1.0
            wall[0] -= 3600.0
            for ch in w.chans:
                ch.buf += pcm(1.0)
            with w.cond:
                job = worker.pick(w)
            served.append(job[0].idx)
        assert served == [0, 1, 0, 1, 0, 1, 0, 1]

    def test_a_final_utterance_overtakes_a_longer_waiting_partial(self, state, w):
        c0, c1 = w.chans
        c0.buf += pcm(5)
        c0.last_time = 0.0
        c1.buf += pcm(1)
        c1.last_time = 50.0
        c1.ends = [worker.UtteranceEnd(len(c1.buf), 1)]
        with w.cond:
            assert worker.pick(w)[0] is c1


# ---------------------------------------------------------------------------------------------
# Language and direction
# ---------------------------------------------------------------------------------------------

class TestLanguage:
    def test_without_a_concrete_pair_nothing_is_detected(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel(probs=[("ru", 1.0)]))
        ch = w.chans[0]
        audio = tone(3)
        assert worker.plan(w, ch, audio, "auto", "ru", True, True) == (None, "ru")
        assert worker.plan(w, ch, audio, "en", "none", True, True) == ("en", "none")
        assert worker.plan(w, ch, audio, "de", "de", True, True) == ("de", "de")
        assert m.detected == []

    def test_too_short_for_detection_takes_the_prior(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel(probs=[("en", 1.0)]))
        c0, c1 = w.chans
        assert worker.plan(w, c1, tone(0.4), "en", "ru", True, True) == ("ru", "en")
        assert worker.plan(w, c1, tone(0.4), "en", "ru", False, True) == ("en", "ru")
        assert worker.plan(w, c0, tone(0.4), "en", "ru", True, True) == ("en", "ru")
        # 0.7 s: enough for a final pass, not for a partial one
        assert worker.plan(w, c1, tone(0.7), "en", "ru", True, False) == ("ru", "en")
        assert m.detected == []
        assert worker.plan(w, c1, tone(0.7), "en", "ru", True, True) == ("en", "ru")
        assert len(m.detected) == 1

    def test_a_switch_needs_strong_evidence(self, state, w, monkeypatch):
        ch = w.chans[0]
        ch.last_lang = "en"
        probs = [("en", 0.10), ("ru", 0.90)]
        assert worker.choose_lang(ch, probs, "en", "ru", "en", 1.0) == "en"
        assert worker.choose_lang(ch, probs, "en", "ru", "en", 1.6) == "ru"
        assert worker.choose_lang(ch, [("en", .02), ("ru", .98)], "en", "ru", "en", 1.0) == "ru"
        # 0.84 share is not enough even on long audio
        assert worker.choose_lang(ch, [("en", .16), ("ru", .84)], "en", "ru", "en", 9) == "en"

    def test_neither_language_heard_keeps_the_current_one(self, state, w):
        ch = w.chans[1]
        probs = [("en", 0.05), ("ru", 0.10), ("ja", 0.8)]
        assert worker.choose_lang(ch, probs, "en", "ru", "ru", 3.0) == "ru"     # prior
        ch.last_lang = "en"
        assert worker.choose_lang(ch, probs, "en", "ru", "ru", 3.0) == "en"
        # a clear share of a faint sum is still no evidence; from 0.25 on it counts
        assert worker.choose_lang(ch, [("en", .02), ("ru", .22)], "en", "ru", "en", 3) == "en"
        assert worker.choose_lang(ch, [("en", .02), ("ru", .23)], "en", "ru", "en", 3) == "ru"

    def test_first_decision_by_the_larger_share(self, state, w):
        ch = w.chans[0]
        assert worker.choose_lang(ch, [("en", .3), ("ru", .4)], "en", "ru", "en", 1) == "ru"
        assert worker.choose_lang(ch, [("en", .3), ("ru", .3)], "en", "ru", "ru", 1) == "en"

    def test_an_english_only_recognizer_is_not_asked(self, state, w, monkeypatch, logged):
        m = use_model(w, ScriptedModel(probs=[("ru", 1.0)]))
        m.supported_languages = ["en"]
        ch = w.chans[1]
        assert worker.plan(w, ch, tone(2), "en", "ru", True, False) == ("ru", "en")    # the prior
        ch.last_lang = "en"
        assert worker.plan(w, ch, tone(2), "en", "ru", True, True) == ("en", "ru")
        assert m.detected == [] and logged == []

    def test_silence_is_not_judged(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel(probs=[("en", 1.0)]))
        silence = np.zeros(2 * RATE, np.float32)
        assert worker.plan(w, w.chans[1], silence, "en", "ru", True, True) == ("ru", "en")
        assert m.detected == []

    def test_detection_failure_keeps_the_previous_language(self, state, w, monkeypatch, logged):
        use_model(w, ScriptedModel(fail="detect"))
        ch = w.chans[0]
        ch.last_lang = "ru"
        assert worker.plan(w, ch, tone(2), "en", "ru", True, True) == ("ru", "en")
        assert logged == ["language detection error: RuntimeError('detector broke')"]

    def test_quiet_audio_is_lifted_before_detection(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel(probs=[("en", .9)]))
        audio = tone(1.0, peak=0.1)
        worker.plan(w, w.chans[0], audio, "en", "ru", True, True)
        assert np.max(np.abs(m.detected[0])) == pytest.approx(0.5, rel=1e-3)
        assert np.max(np.abs(audio)) == pytest.approx(0.1, rel=1e-3)     # the caller's copy

    def test_a_language_of_an_earlier_pair_is_forgotten(self, state, w, monkeypatch):
        """last_lang "de" from a German/French pair must not be forced on English/Russian."""
        use_model(w, ScriptedModel(probs=[("en", 0.04), ("ru", 0.05)]))
        ch = w.chans[1]
        ch.last_lang = "de"
        assert worker.plan(w, ch, tone(2), "en", "ru", True, True) == ("ru", "en")
        assert worker.plan(w, ch, tone(0.2), "en", "ru", False, True) == ("en", "ru")
        assert worker.choose_lang(ch, [("en", .6), ("ru", .4)], "en", "ru", "ru", 1) == "en"
        # switching the pair round keeps a language that is still in it
        ch.last_lang = "ru"
        assert worker.choose_lang(ch, [("en", .3), ("ru", .4)], "ru", "en", "en", 1) == "ru"


# ---------------------------------------------------------------------------------------------
# Recognizing and cutting sentences
# ---------------------------------------------------------------------------------------------

class TestTranscribe:
    def test_request_options_for_final_and_partial_passes(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel())
        worker.transcribe(w.model, tone(1), True, "en", "earlier text")
        worker.transcribe(w.model, tone(1), False, None, "")
        final, partial = m.transcribed[0][1], m.transcribed[1][1]
        assert final == dict(language="en", beam_size=5, best_of=1, temperature=0.0,
                             vad_filter=True, condition_on_previous_text=False,
                             without_timestamps=False, word_timestamps=True,
                             initial_prompt="earlier text")
        assert partial["beam_size"] == 1 and partial["language"] is None
        assert partial["initial_prompt"] is None

    def test_too_short_audio_is_not_recognized(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel(segments=[seg(words_of(("Hi.", 0, .2)))]))
        assert worker.transcribe(w.model, tone(0.299), True, "en", "") == ([], [], None)
        assert m.transcribed == []

    @pytest.mark.parametrize("peak,expected", [(0.1, 0.5), (0.02, 0.24), (0.5, 0.5),
                                               (0.002, 0.002), (0.3, 0.3)])
    def test_quiet_source_lift(self, state, w, monkeypatch, peak, expected):
        m = use_model(w, ScriptedModel())
        worker.transcribe(w.model, tone(1, peak), True, "en", "")
        assert np.max(np.abs(m.transcribed[0][0])) == pytest.approx(expected, rel=1e-3)

    @pytest.mark.parametrize("seconds,no_speech,logprob,kept", [
        (1.5, 0.5, -0.5, False), (3.0, 0.5, -0.5, True), (3.0, 0.75, -0.75, False),
        (1.5, 0.5, -0.4, True), (1.5, 0.4, -0.9, True), (2.5, 0.5, -0.5, True)])
    def test_non_speech_filter_is_stricter_on_short_clips(self, state, w, monkeypatch, seconds,
                                                           no_speech, logprob, kept):
        s = seg(words_of(("Thank", 0, .3), ("you.", .3, .6)), no_speech=no_speech,
                logprob=logprob)
        use_model(w, ScriptedModel(segments=[s]))
        items, words, lang = worker.transcribe(w.model, tone(seconds), True, "en", "")
        assert (items == [("Thank you.", 0, .6)]) is kept
        assert len(words) == (2 if kept else 0) and lang == "en"

    def test_loop_filter_judges_each_segment_by_its_letters(self, state, w, monkeypatch, logged):
        import zlib
        da, ja = ("Да, да. " * 7).strip(), ("Ja, ja. " * 7).strip()
        thanks = ("Thank you. " * 5).strip()
        utf8 = da.encode()
        assert len(utf8) / len(zlib.compress(utf8)) > 3.0        # two bytes a letter: a "loop"
        assert worker.compression_ratio(da) == worker.compression_ratio(ja) < 3.0
        assert worker.compression_ratio(thanks) == pytest.approx(2.45, abs=0.01)
        # The recognizer reports one figure per 30 s window, the same on all its segments.
        window = 5.1
        segments = [seg(words_of(("I", 0, .2), ("email.", .3, .8)), compression=window),
                    seg(text=" see you in the next video," * 20, start=1, end=2,
                        compression=window),
                    seg(text=da, start=2, end=3, compression=window),
                    seg(text=ja, start=3, end=4, compression=window),
                    seg(text=thanks, start=4, end=5, compression=window),
                    seg(text=" Продолжение следует." * 20, start=5, end=6, compression=window)]
        use_model(w, ScriptedModel(segments=segments))
        items, words, _ = worker.transcribe(w.model, tone(6), True, "en", "")
        assert [text for text, _, _ in items] == ["I email.", da, ja, thanks]
        assert len(words) == 2
        assert len(logged) == 2 and all(line.startswith("repeating segment dropped: ")
                                        for line in logged)

    def test_segments_without_words_give_their_text(self, state, w, monkeypatch):
        segments = [seg(text="  Hello world ", start=0.5, end=1.5), seg(text="  ", start=2, end=3),
                    seg(words_of(("Next.", 3.2, 3.6)))]
        use_model(w, ScriptedModel(segments=segments, language="de"))
        items, words, lang = worker.transcribe(w.model, tone(4), True, None, "")
        assert items == [("Hello world", 0.5, 1.5), ("Next.", 3.2, 3.6)]
        assert words == [(" Next.", 3.2, 3.6)] and lang == "de"

    @pytest.mark.parametrize("rest,asked", [
        ([(0.25, 1)], 1),                   # too short for a word
        ([(1.0, 0)], 1),                    # the hang-over after the last word
        ([(0.2, 1), (0.8, 0)], 1),          # ...with the end of that word in it
        ([(1.0, 1)], 2),                    # speech goes on
        ([(0.4, 0), (0.25, 1), (0.4, 0)], 2),   # a short word after a pause
        ([(2.0, 0)], 2),                    # a rest this long is not checked
    ])
    def test_no_window_is_asked_for_after_the_last_word(self, state, w, monkeypatch, rest, asked):
        pulled = []

        def lazy():
            for s in (seg(words_of(("Hello.", .1, .9))), seg(text=" more", start=1, end=1.1)):
                pulled.append(s)
                yield s

        m = use_model(w, ScriptedModel())
        m.segments = lazy()
        audio = np.concatenate([tone(0.9)] + [tone(t) if loud else np.zeros(int(t * RATE),
                                                                              np.float32)
                                              for t, loud in rest])
        worker.transcribe(w.model, audio, True, "en", "")
        assert len(pulled) == asked


@pytest.fixture(scope="module")
def tiny_en():
    from faster_whisper import WhisperModel
    import lay_out_whisper

    return WhisperModel(lay_out_whisper.packaged_model_dir(), device="cpu", compute_type="int8")


@pytest.mark.skipif(not speech.have_tools(), reason="needs espeak-ng and sox")
def test_a_pass_over_growing_speech_takes_one_encoder_run(monkeypatch, tiny_en, tmp_path):
    """On this audio the recognizer alone runs a second window for the 20 ms after the last
    word; the pass gets the same text from one."""
    said = ("Today I want to talk about our plans for the next year. First we will open a new "
            "office in the city.")
    with wave.open(speech.speak(str(tmp_path / "s.wav"), said)) as w:
        audio = np.frombuffer(w.readframes(w.getnframes()), "<i2")[:int(4.5 * RATE)]
    audio = audio.astype(np.float32) / 32768
    prompt = "Good morning everyone and thank you for coming."
    runs = []
    encode = tiny_en.encode
    monkeypatch.setattr(tiny_en, "encode", lambda f: runs.append(1) or encode(f), raising=False)
    alone = tiny_en.transcribe(audio, language="en", beam_size=1, best_of=1, temperature=0.0,
                               vad_filter=True, word_timestamps=True, initial_prompt=prompt,
                               condition_on_previous_text=False)[0]
    alone = " ".join(s.text.strip() for s in alone)
    assert len(runs) == 2
    items, _, _ = worker.transcribe(tiny_en, audio, False, "en", prompt)
    assert len(runs) == 3
    assert " ".join(text for text, _, _ in items) == alone


@pytest.mark.skipif(not speech.have_tools(), reason="needs espeak-ng and sox")
def test_language_detection_and_the_first_window_share_one_encoding(monkeypatch, tiny_en,
                                                                     tmp_path):
    """tiny.en has no languages to tell apart: it encodes, then refuses, which is enough to see
    the transcription take that encoding over."""
    with wave.open(speech.speak(str(tmp_path / "s.wav"), "The weather is nice today.")) as w:
        voice = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float32) / 32768
    audio = np.concatenate([np.zeros(RATE // 2, np.float32), voice])
    runs = []

    class Counting:
        def __init__(self, inner):
            self.inner = inner

        def encode(self, *args, **kwargs):
            runs.append(1)
            return self.inner.encode(*args, **kwargs)

        def __getattr__(self, name):
            return getattr(self.inner, name)

    monkeypatch.setattr(tiny_en, "model", Counting(tiny_en.model))
    monkeypatch.setattr(tiny_en, "encode", worker.reuse_last_encoding(tiny_en.encode),
                        raising=False)
    with pytest.raises(RuntimeError, match="multilingual"):
        worker.language_probs(tiny_en, worker.lift_quiet(audio))
    assert len(runs) == 1
    items, _, _ = worker.transcribe(tiny_en, audio, True, "en", "")
    assert len(runs) == 1 and items


class TestSplitSentences:
    @pytest.mark.parametrize("timed,expected", [
        ([("Yes.", 0.0, 0.4), ("Then", 0.6, 0.9)], [("Yes.", 0.0, 0.4), ("Then", 0.6, 0.9)]),
        ([("well", 0.0, 0.4), ("then", 1.3, 1.6)], [("well", 0.0, 0.4), ("then", 1.3, 1.6)]),
        ([("well", 0.0, 0.4), ("then", 1.1, 1.4)], [("well then", 0.0, 1.4)]),
        ([("Wait\u2026", 0, .5), ("what?", .6, .9), ("No!", 1, 1.2), ("ok", 1.3, 1.5)],
         [("Wait\u2026", 0, .5), ("what?", .6, .9), ("No!", 1, 1.2), ("ok", 1.3, 1.5)]),
        ([("Mr.", 0, .2), ("Smith", .3, .6)], [("Mr.", 0, .2), ("Smith", .3, .6)]),
    ])
    def test_cut_by_marks_and_pauses(self, timed, expected):
        assert worker.split_sentences(seg(words_of(*timed))) == expected

    def test_blank_words_and_trailing_blanks(self):
        s = seg([word(" ", 0, .1), word(" Done. ", .2, .5), word(" again", .6, .9)])
        assert worker.split_sentences(s) == [("Done.", 0, .5), ("again", .6, .9)]


class TestNorm:
    def test_norm_and_span(self):
        assert worker.norm("  Hello, there! Ça VA? \u2026") == "hello there ça va"
        assert worker.norm("snake_case 42") == "snake_case 42"
        samples = np.arange(5 * RATE)
        assert len(worker.span(samples, 0.05, 1.0)) == int(1.1 * RATE)
        assert worker.span(samples, 2.0, 3.0)[0] == int(1.9 * RATE)
        assert len(worker.span(samples, 4.5, 6.0)) == 5 * RATE - int(4.4 * RATE)


# ---------------------------------------------------------------------------------------------
# Streaming commit
# ---------------------------------------------------------------------------------------------

FIFTEEN_ITEMS = [("Hello there.", 0.0, 2.0), ("How are you", 2.5, 9.0), ("fine", 9.5, 14.8)]
FIFTEEN_WORDS = [(" Hello", 0.0, 1.0), (" there.", 1.1, 2.0), (" How", 2.5, 3.0),
                 (" are", 5.0, 6.0), (" you", 8.0, 9.0), (" fine", 9.5, 14.8)]


def fifteen_segments():
    return [seg(words_of(("Hello", 0.0, 1.0), ("there.", 1.1, 2.0))),
            seg(words_of(("How", 2.5, 3.0), ("are", 3.5, 4.2), ("you", 4.5, 9.0))),
            seg(words_of(("fine", 9.5, 14.8)))]


class TestStreamCommit:
    @pytest.mark.parametrize("previous", [["hello there", "how are you", "fine"],
                                          ["hello there", "how are you"]])
    def test_fifteen_second_example(self, state, w, monkeypatch, previous):
        ch = w.chans[0]
        ch.buf += pcm(15.5)            # half a second arrived during the pass, then its end
        ch.last_len = 15 * RATE * 2
        ch.ends = [worker.UtteranceEnd(len(ch.buf), 1)]
        ch.prev_sents = previous
        items, words = worker.stream_commit(w, ch, tone(15), FIFTEEN_ITEMS, FIFTEEN_WORDS,
                                            "en", "en", "none")
        assert state == [("F", "0", "0", "en", "Hello there."), ("U", "0", "0", "", ""),
                         ("F", "0", "0", "en", "How are you"), ("U", "0", "0", "", "")]
        cut_bytes = int(9.25 * RATE) * 2
        assert len(ch.buf) == int(15.5 * RATE) * 2 - cut_bytes
        assert ch.last_len == 15 * RATE * 2 - cut_bytes
        assert ch.ends == [(len(ch.buf), 1)]     # the final pass takes what is left, no more
        assert items == [("fine", 9.5, 14.8)] and words == [(" fine", 9.5, 14.8)]
        assert ch.prev_sents == []

    def test_a_whole_partial_pass_sends_commits_before_its_partial_line(self, state, w, monkeypatch):
        use_model(w, ScriptedModel(segments=fifteen_segments()))
        ch = w.chans[0]
        ch.buf += pcm(15)
        ch.last_len = len(ch.buf)
        ch.prev_sents = ["hello there", "how are you"]
        worker.run_pass(w, (ch, bytes(ch.buf), False), worker.Options("en", "none", True))
        assert state.kinds() == "FUFUPT"
        assert state[4] == ("P", "0", "0", "en", "fine")
        assert ch.prev_sents == []

    def test_nothing_is_committed_before_a_sentence_is_seen_twice(self, state, w):
        ch = w.chans[0]
        items, words = worker.stream_commit(w, ch, tone(15), FIFTEEN_ITEMS, FIFTEEN_WORDS,
                                            "en", "en", "none")
        assert (items, words, state) == (FIFTEEN_ITEMS, FIFTEEN_WORDS, [])
        assert ch.prev_sents == ["hello there", "how are you", "fine"]
        # the next pass finds them again: now the first two go
        items, _ = worker.stream_commit(w, ch, tone(15), FIFTEEN_ITEMS, FIFTEEN_WORDS, "en", "en",
                                        "none")
        assert items == FIFTEEN_ITEMS[2:] and state.kinds() == "FUFU"

    def test_the_growing_last_sentence_is_never_committed(self, state, w):
        ch = w.chans[0]
        items = [("All done.", 0.0, 2.0)]
        ch.prev_sents = ["all done"]
        assert worker.stream_commit(w, ch, tone(10), items, [], "en", "en", "none")[0] == items
        assert state == []

    def test_margins(self, state, w):
        ch = w.chans[0]
        # marked, but only 0.5 s before the end of a 10 s clip; the first one qualifies
        items = [("One.", 0, 2), ("Two.", 2.2, 9.5), ("three", 9.6, 10)]
        ch.prev_sents = ["one", "two", "three"]
        rest, _ = worker.stream_commit(w, ch, tone(10), items, [], "en", "en", "none")
        assert rest == items[1:] and state.kinds() == "FU"
        # no mark and a clip of at most 14 s: nothing
        del state[:]
        items = [("one", 0, 2), ("two", 2.2, 5), ("three", 5.1, 14)]
        ch.prev_sents = ["one", "two", "three"]
        assert worker.stream_commit(w, ch, tone(14), items, [], "en", "en", "none")[0] == items
        # the run of qualifying sentences stops at the first that does not qualify
        ch.prev_sents = ["one", "two", "three"]
        items = [("one", 0, 2), ("Two.", 2.2, 5), ("three", 5.1, 14)]
        assert worker.stream_commit(w, ch, tone(14), items, [], "en", "en", "none")[0] == items
        assert state == []

    def test_overlapping_sentences_cut_at_the_start_of_the_next(self, state, w):
        ch = w.chans[0]
        ch.buf += pcm(10)
        items = [("Hi.", 0, 2.0), ("More", 1.8, 6), ("end", 6.5, 10)]
        words = [(" Hi.", 0, 2.0), (" More", 1.8, 6), (" end", 6.5, 10)]
        ch.prev_sents = ["hi", "more", "end"]
        rest, rest_words = worker.stream_commit(w, ch, tone(10), items, words, "en", "en", "none")
        assert len(ch.buf) == (10 * RATE - int(1.8 * RATE)) * 2
        assert rest == items[1:] and rest_words == words[1:]

    def test_committed_words_go_to_the_speaker_runs(self, state, w, monkeypatch):
        seen = []

        def runs(w, ch, samples, items, final, words):
            seen.append((len(samples), items, final, words))
            return [(3, " ".join(i[0] for i in items))]

        monkeypatch.setattr(worker, "make_runs", runs)
        ch = w.chans[1]
        ch.buf += pcm(15)
        ch.prev_sents = ["hello there", "how are you"]
        worker.stream_commit(w, ch, tone(15), FIFTEEN_ITEMS, FIFTEEN_WORDS, "en", "en", "none")
        assert seen == [(int(9.25 * RATE), FIFTEEN_ITEMS[:2], True, FIFTEEN_WORDS[:5])]
        assert state[0] == ("F", "1", "3", "en", "Hello there.")


# ---------------------------------------------------------------------------------------------
# Passes and their lines
# ---------------------------------------------------------------------------------------------

class TestPasses:
    def test_empty_utterance_answers_with_one_empty_pair(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel())
        ch = w.chans[1]
        worker.run_pass(w, (ch, b"", True), worker.Options("en", "ru", True))
        assert state == [("F", "1", "0", "ru", ""), ("U", "1", "0", "en", "")]
        assert m.transcribed == []
        assert ch.last_lang == "ru"

    def test_auto_language_lines_carry_the_detected_code(self, state, w, monkeypatch):
        use_model(w, ScriptedModel(segments=[seg(words_of(("Hola.", 0, .5)))],
                                             language="es"))
        ch = w.chans[0]
        worker.run_pass(w, (ch, pcm(1), True), worker.Options("auto", "none", True))
        assert state == [("F", "0", "0", "es", "Hola."), ("U", "0", "0", "", "")]
        assert ch.last_lang is None     # a detected language is not one of a pair

    def test_final_run_is_one_pair_per_sentence_partial_is_one_pair(self, state, w, monkeypatch):
        spoken = [seg(words_of(("One.", 0, .5), ("Two?", .6, 1.0), ("Three", 1.1, 1.5)))]
        m = use_model(w, ScriptedModel(segments=spoken))
        translated = []
        monkeypatch.setattr(worker, "translate",
                            lambda w, t, s, g, f: translated.append((t, s, g, f)) or "<%s>" % t)
        ch = w.chans[0]
        worker.run_pass(w, (ch, pcm(2), True), worker.Options("en", "en", True))
        assert state == [("F", "0", "0", "en", "One."), ("U", "0", "0", "en", "<One.>"),
                         ("F", "0", "0", "en", "Two?"), ("U", "0", "0", "en", "<Two?>"),
                         ("F", "0", "0", "en", "Three"), ("U", "0", "0", "en", "<Three>")]
        assert translated[0] == ("One.", "en", "en", True)
        del state[:]
        m.segments = spoken
        ch.buf += pcm(2)
        worker.run_pass(w, (ch, pcm(2), False), worker.Options("en", "en", True))
        assert state == [("P", "0", "0", "en", "One. Two? Three"),
                         ("T", "0", "0", "en", "<One. Two? Three>")]
        assert translated[-1][3] is False

    def test_failing_translation_still_sends_its_line(self, state, w, monkeypatch, logged):
        use_model(w, ScriptedModel(segments=[seg(words_of(("Hi.", 0, .5)))]))

        def broken(*args):
            raise ValueError("engine broke")

        monkeypatch.setattr(worker, "translate", broken)
        worker.run_pass(w, (w.chans[0], pcm(1), True), worker.Options("en", "ru", True))
        assert state == [("F", "0", "0", "en", "Hi."), ("U", "0", "0", "ru", "")]
        assert "translate error: ValueError('engine broke')" in logged

    @pytest.mark.parametrize("final,kinds", [(True, "FU"), (False, "PT")])
    def test_failing_recognition_answers_with_an_empty_pair(self, state, w, monkeypatch, logged,
                                                             final, kinds):
        use_model(w, ScriptedModel(fail="transcribe", probs=[("ru", .9)]))
        ch = w.chans[0]
        ch.buf += pcm(3)
        worker.run_pass(w, (ch, pcm(3), final), worker.Options("en", "ru", False))
        assert state == [(kinds[0], "0", "0", "ru", ""), (kinds[1], "0", "0", "en", "")]
        assert logged == ["transcribe error: RuntimeError('recognizer broke')"]

    def test_prompt_keeps_the_tail_of_finished_text(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel())
        ch = w.chans[0]
        for n in range(30):
            m.segments = [seg(words_of(("Sentence", 0, .5), ("number%d." % n, .6, 1)))]
            worker.run_pass(w, (ch, pcm(2), True), worker.Options("en", "none", True))
        assert len(ch.prompts["en"]) == 220 and ch.prompts["en"].endswith("Sentence number29.")
        assert m.transcribed[-1][1]["initial_prompt"].endswith("number28.")
        # partial passes do not feed the prompt
        before = dict(ch.prompts)
        m.segments = [seg(words_of(("partial", 0, .5)))]
        ch.buf += pcm(2)
        worker.run_pass(w, (ch, pcm(2), False), worker.Options("en", "none", True))
        assert ch.prompts == before

    @pytest.mark.parametrize("last_end, prompt", [(2.0, "Went on. Stopped."),
                                                  (2.8, "Went on. Stopped")])
    def test_a_cut_inside_speech_leaves_no_end_mark_in_the_prompt(self, state, w, monkeypatch,
                                                                 last_end, prompt):
        """Audio that stops inside speech: the mark the recognizer put at its end is no end of
        a sentence, and the prompt of the continuation must not say it is."""
        use_model(w, ScriptedModel(segments=[
            seg(words_of(("Went", 0, .4), ("on.", .5, .9), ("Stopped.", 1.5, last_end)))]))
        ch = w.chans[0]
        worker.run_pass(w, (ch, pcm(3), True), worker.Options("en", "none", True))
        assert [f[4] for f in state if f[0] == "F"] == ["Went on.", "Stopped."]
        assert ch.prompts["en"].strip() == prompt

    def test_thread_serves_frames_until_quit(self, state, w, monkeypatch):
        use_model(w, ScriptedModel(segments=[seg(words_of(("Done.", 0, .5)))]))
        import threading
        thread = threading.Thread(target=worker.recognition_loop, args=(w,), daemon=True)
        thread.start()
        handle(w, "A", b"\0" + pcm(1))
        handle(w, "E", b"\0")
        deadline = time.monotonic() + 5
        while len(state) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert state[:2] == [("F", "0", "0", "ru", "Done."), ("U", "0", "0", "", "")]
        with w.cond:
            w.quit_flag = True
            w.cond.notify_all()
        thread.join(2)
        assert not thread.is_alive()


class TestSessionChange:
    """A new session ("R") while the previous recording's utterances are still being answered:
    the window tells the two apart by the empty partial line that separates them."""

    def run_thread(self, w):
        import threading
        thread = threading.Thread(target=worker.recognition_loop, args=(w,), daemon=True)
        thread.start()
        return thread

    def stop(self, w, thread):
        with w.cond:
            w.quit_flag = True
            w.cond.notify_all()
        thread.join(2)

    def wait_for(self, state, count):
        deadline = time.monotonic() + 5
        while len(state) < count and time.monotonic() < deadline:
            time.sleep(0.01)

    def test_the_old_lines_then_the_mark_then_the_new_ones(self, state, w):
        m = use_model(w, ScriptedModel())
        transcribe = m.transcribe

        def by_length(audio, **options):    # the old utterance is 1 s long, the new one 2 s
            m.segments = [seg(words_of(("Old." if len(audio) < 1.5 * RATE else "New.", 0, .5)))]
            return transcribe(audio, **options)

        m.transcribe = by_length
        for kind, payload in [("A", b"\0" + pcm(1)), ("E", b"\0"), ("R", b""),
                              ("A", b"\0" + pcm(2)), ("E", b"\0")]:
            handle(w, kind, payload)
        thread = self.run_thread(w)
        self.wait_for(state, 8)
        self.stop(w, thread)
        assert [(k, t) for k, c, _, _, t in state if c == "0"] == [
            ("F", "Old."), ("U", ""), ("P", ""), ("T", ""), ("F", "New."), ("U", "")]
        # channel 1 had nothing to answer: its mark goes at once
        assert [(k, t) for k, c, _, _, t in state if c == "1"] == [("P", ""), ("T", "")]

    def test_a_new_session_with_nothing_owed_is_marked_at_once(self, state, w):
        use_model(w, ScriptedModel())
        thread = self.run_thread(w)
        handle(w, "R", b"")
        handle(w, "R", b"")     # twice, with no audio between: one mark
        self.wait_for(state, 4)
        time.sleep(0.3)
        self.stop(w, thread)
        assert [(k, c, t) for k, c, _, _, t in state] == [
            ("P", "0", ""), ("T", "0", ""), ("P", "1", ""), ("T", "1", "")]

    def test_a_partial_pass_whose_utterance_ended_meanwhile_sends_nothing(self, state, w):
        m = use_model(w, ScriptedModel(segments=[seg(words_of(("Done.", 0, .5),
                                                              ("still", 1.8, 2.2)))]))
        ch = w.chans[0]
        ch.buf += pcm(3)
        ch.prev_sents = ["done"]    # the first sentence could be committed
        transcribe = m.transcribe

        def ending_meanwhile(audio, **options):
            handle(w, "E", b"\0")
            return transcribe(audio, **options)

        m.transcribe = ending_meanwhile
        worker.run_pass(w, (ch, bytes(ch.buf), False), worker.Options("en", "none", True))
        assert state == []
        assert len(ch.buf) == len(pcm(3)), "nothing committed: the final pass takes it all"


def stripped(prompts):
    return {lang: text.strip() for lang, text in prompts.items()}


class TestPromptPerLanguage:
    """The recognizer follows the language of its prompt: a German pass prompted with English
    text writes English, or copies an English line. Each pass sees only its own language's
    earlier text."""

    @staticmethod
    def speak(w, m, ch, lang, text, options, seconds=2.0):
        m.probs = [(lang, 0.99), ("en" if lang != "en" else "de", 0.01)]
        m.language = lang
        m.segments = [seg(words_of((text, 0, seconds - 0.5)))]
        worker.run_pass(w, (ch, pcm(seconds), True), options)
        asked = m.transcribed[-1][1]
        return asked["language"], (asked["initial_prompt"] or "").strip() or None

    def test_a_pair_prompts_each_language_with_its_own_text(self, state, w):
        m = use_model(w, ScriptedModel())
        ch = w.chans[0]
        pair = worker.Options("en", "de", False)
        said = [("en", "Hello there."), ("en", "Second line."), ("de", "Guten Tag."),
                ("en", "Third one."), ("de", "Noch etwas.")]
        asked = [self.speak(w, m, ch, lang, text, pair) for lang, text in said]
        assert asked == [
            ("en", None), ("en", "Hello there."), ("de", None),
            ("en", "Hello there. Second line."), ("de", "Guten Tag.")]
        assert stripped(ch.prompts) == {"en": "Hello there. Second line. Third one.",
                              "de": "Guten Tag. Noch etwas."}
        assert [f[3] for f in state if f[0] == "F"] == [lang for lang, _ in said]
        assert w.chans[1].prompts == {}

    def test_auto_asks_the_recognizer_first_and_prompts_with_what_it_hears(self, state, w):
        m = use_model(w, ScriptedModel())
        ch = w.chans[0]
        auto = worker.Options("auto", "none", False)
        asked = [self.speak(w, m, ch, lang, text, auto)
                 for lang, text in [("fr", "Bonjour."), ("es", "Hola."), ("fr", "Merci.")]]
        assert asked == [
            ("fr", None), ("es", None), ("fr", "Bonjour.")]
        assert [f[3] for f in state if f[0] == "F"] == ["fr", "es", "fr"]
        assert stripped(ch.prompts) == {"fr": "Bonjour. Merci.", "es": "Hola."}
        assert ch.last_lang is None

    def test_auto_without_a_language_heard_gets_no_prompt(self, state, w, logged):
        m = use_model(w, ScriptedModel(segments=[seg(words_of(("Hm.", 0, .5)))], language=""))
        ch = w.chans[0]
        ch.prompts = {"en": "Earlier."}
        worker.run_pass(w, (ch, pcm(1), True), worker.Options("auto", "none", False))
        assert m.transcribed[-1][1]["language"] is None     # nothing heard: the recognizer's own
        assert m.transcribed[-1][1]["initial_prompt"] is None
        m.fail = "detect"
        worker.run_pass(w, (ch, pcm(1), True), worker.Options("auto", "none", False))
        assert m.transcribed[-1][1]["initial_prompt"] is None
        assert "language detection error: RuntimeError('detector broke')" in logged
        assert stripped(ch.prompts) == {"en": "Earlier."}             # no language: no prompt grows

    @pytest.mark.parametrize("src, tgt, channel", [("en", "ru", 1), ("auto", "none", 0)])
    def test_an_english_only_recognizer_keeps_one_english_prompt(self, state, w, src, tgt,
                                                                 channel):
        """It writes English whatever the label of the line, and has nothing to detect."""
        m = use_model(w, ScriptedModel())
        m.supported_languages = ["en"]
        ch = w.chans[channel]
        options = worker.Options(src, tgt, True)
        first = self.speak(w, m, ch, "en", "First.", options)
        second = self.speak(w, m, ch, "en", "Second.", options)
        assert first[1] is None and second[1] == "First."
        assert stripped(ch.prompts) == {"en": "First. Second."}
        assert m.detected == []

    def test_a_cut_inside_speech_trims_the_prompt_of_its_own_language(self, state, w):
        m = use_model(w, ScriptedModel())
        ch = w.chans[0]
        ch.prompts = {"en": "Before."}
        pair = worker.Options("en", "de", False)
        self.speak(w, m, ch, "de", "Wir gehen weiter.", pair, seconds=1.6)  # ends 0.5 s early
        assert stripped(ch.prompts) == {"en": "Before.", "de": "Wir gehen weiter."}
        m.segments = [seg(words_of(("Und", 0, .5), ("dann.", .6, 1.95)))]
        worker.run_pass(w, (ch, pcm(2), True), pair)
        assert stripped(ch.prompts) == {"en": "Before.", "de": "Wir gehen weiter. Und dann"}

    def test_early_commits_feed_the_prompt_of_their_language(self, state, w, monkeypatch):
        m = use_model(w, ScriptedModel(segments=fifteen_segments(), probs=[("de", 1.0)],
                                       language="de"))
        ch = w.chans[0]
        ch.prompts = {"en": "English before."}
        ch.prev_sents = ["hello there", "how are you"]
        ch.buf += pcm(15)
        worker.run_pass(w, (ch, pcm(15), False), worker.Options("en", "de", False))
        assert m.transcribed[-1][1]["initial_prompt"] is None
        assert stripped(ch.prompts) == {"en": "English before.", "de": "Hello there. How are you"}


PROMPT = " We will meet again after lunch to finish the plan. I think we should talk to the customer first."


@pytest.mark.parametrize("said, echo", [
    ("We will meet again after lunch to the customer first.", True),    # two sentences spliced
    ("I think we should talk to the customer first.", True),
    ("Hello. I think we should talk to them.", True),                    # one sentence is enough
    ("We will meet the customer tomorrow.", False),                      # a few shared words
    ("Thank you very much.", False),                                     # too short to tell
    ("talk to the customer", False),
])
def test_a_sentence_made_of_the_prompt_is_an_echo(said, echo):
    items = [worker.Sentence(text, 0.0, 1.0) for text in worker.sentences_of(said)]
    assert worker.repeats_prompt(items, PROMPT) is echo
    assert worker.repeats_prompt(items, "") is False


class EchoingModel(ScriptedModel):
    """Writes out its prompt when it has one, as the recognizer does on speech it cannot place."""

    def __init__(self, spoken, echo):
        super().__init__(segments=spoken)
        self.echo = echo

    def transcribe(self, audio, **options):
        segments, info = super().transcribe(audio, **options)
        return iter(self.echo if options["initial_prompt"] else list(segments)), info


@pytest.mark.parametrize("final", [True, False])
def test_a_pass_that_writes_out_its_prompt_is_recognized_again_without_it(state, w, logged,
                                                                           final):
    m = use_model(w, EchoingModel(
        [seg(words_of(("Privet", 0, .4), ("vsem.", .5, 1.0)))],
        [seg(words_of(("We", 0, .2), ("will", .2, .4), ("meet", .4, .6), ("again", .6, .8),
                      ("after", .8, .9), ("lunch.", .9, 1.0)))]))
    ch = w.chans[0]
    ch.prompts = {"en": PROMPT}
    ch.buf += pcm(2)
    worker.run_pass(w, (ch, pcm(2), final), worker.Options("en", "none", False))
    assert [o["initial_prompt"] for _, o in m.transcribed] == [PROMPT, None]
    assert [f[4] for f in state if f[0] in "FP"] == ["Privet vsem."]
    assert logged == ["the pass wrote out its prompt; recognized again without it"]
    # speech that is not the prompt keeps its prompted recognition
    m.echo = [seg(words_of(("We", 0, .2), ("meet", .2, .4), ("the", .4, .6),
                           ("customer", .6, .8), ("tomorrow.", .8, 1.0)))]
    del m.transcribed[:]
    worker.run_pass(w, (ch, pcm(2), True), worker.Options("en", "none", False))
    assert len(m.transcribed) == 1
