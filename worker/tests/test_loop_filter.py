"""The loop filter: decoding loops cut out of the recognizer's segments, real speech kept."""
from types import SimpleNamespace

import numpy as np
import pytest

import worker

MONOLOGUE = [
    "Good morning everyone and thank you for coming.",
    "Today I want to talk about our plans for the next year.",
    "First we will open a new office in the city.",
    "Then we will hire more people for the support team.",
    "Our customers told us that the setup takes too long.",
    "So we will make it simpler and faster.",
]

# What the soak's partial pass made of the monologue (tiny.en, greedy): two good sentences, the
# start of the third, and then one word over and over until the window was full.
SOAK_REAL = ("First we will open up a new office in the city. And then we will hire more people "
             "from the support team. Our customers told us")
SOAK_LOOP = SOAK_REAL + " net" * 195

REAL = [
    " ".join(MONOLOGUE),
    " ".join(MONOLOGUE[2:5]),
    " ".join(MONOLOGUE[3:6]),
    "We will make it simpler, we will make it faster, we will make it cheaper, and we will make "
    "it better for all of you.",
    "No, no, no, no, no, that is not what I said, that is not what I meant at all.",
    "Thank you. Thank you. Thank you. Thank you. Thank you.",
    "Very, very, very good. Really very very good, very good indeed.",
    "Да, да. Да, да. Да, да. Да, да. Да, да. Да, да. Да, да.",
    "Ja, ja. Ja, ja. Ja, ja. Ja, ja. Ja, ja. Ja, ja. Ja, ja.",
    "Мы откроем новый офис в городе, и мы наймём больше людей, и мы сделаем всё проще.",
    "Wir wollen es einfacher machen, wir wollen es schneller machen, und wir wollen es besser "
    "machen.",
]

LOOPS = [
    # (what the recognizer wrote, what is left of it)
    (" see you in the next video," * 20, ""),
    ("sehr schönes, " * 15, ""),
    (" Продолжение следует." * 20, ""),
    (" Спасибо за просмотр!" * 12, ""),
    (" Дякую." * 30, ""),
    (" see you in the next video," * 20 + " Bye.", ""),
    # tiny.en on the noise of the soak's kinds, final passes
    ("Thank you very much for watching and" + " thank you very much for watching and" * 30
     + " thank you very much for watching", ""),
    ("beep " * 111 + "be", ""),
    ("Beep" + " beep" * 110, ""),
    (" ." * 223, ""),                     # on the soak's mains hum, a partial pass
    (SOAK_LOOP, SOAK_REAL + " net"),
    ("So we will make it simpler and faster," + " faster," * 40,
     "So we will make it simpler and faster,"),
    ("Das war ein" + " sehr schönes," * 15, "Das war ein sehr schönes,"),
    ("Мы откроем новый офис в городе." + " Продолжение следует." * 20,
     "Мы откроем новый офис в городе. Продолжение следует."),
    ("Then we will hire more people for the support team. Our customers told us" +
     " that the setup," * 30 + " takes too long.",
     "Then we will hire more people for the support team. Our customers told us that the setup,"),
]


def timed_words(text, start=0.0, step=0.3):
    return [SimpleNamespace(word=" " + token, start=start + i * step, end=start + (i + 1) * step)
            for i, token in enumerate(text.split())]


def segment(text, with_words, no_speech=0.05):
    words = timed_words(text) if with_words else []
    return SimpleNamespace(text=" " + text, start=0.0, end=max(1.0, 0.3 * len(text.split())),
                           no_speech_prob=no_speech, avg_logprob=-0.2, words=words)


def kept_text(text, with_words, no_speech=0.05):
    items, words = [], []
    worker.add_segment(segment(text, with_words, no_speech), items, words)
    if with_words:
        assert "".join(w.text for w in words).strip() == " ".join(i.text for i in items)
    else:
        assert words == []
    return " ".join(i.text for i in items)


@pytest.fixture
def logged(monkeypatch):
    got = []
    monkeypatch.setattr(worker, "log", got.append)
    return got


@pytest.mark.parametrize("with_words", [True, False], ids=["words", "text only"])
@pytest.mark.parametrize("text", REAL)
def test_real_speech_with_repeated_words_is_kept_whole(text, with_words, logged):
    assert kept_text(text, with_words) == text
    assert logged == []


@pytest.mark.parametrize("with_words", [True, False], ids=["words", "text only"])
@pytest.mark.parametrize("text, left", LOOPS)
def test_loops_are_cut_and_what_was_heard_before_them_stays(text, left, with_words, logged):
    assert worker.is_loop(text.strip())            # the whole segment scores as a loop
    assert kept_text(text, with_words) == left
    assert not worker.is_loop(left)
    assert len(logged) == 1
    if left:
        assert logged[0] == "repeating words cut from a segment, kept: %r" % (left[:80],)
    else:
        assert logged[0].startswith("repeating segment dropped: ")


@pytest.mark.parametrize("with_words", [True, False], ids=["words", "text only"])
@pytest.mark.parametrize("no_speech, kept", [(0.1, True), (0.45, True), (0.46, False),
                                             (0.62, False), (0.8, False)])
def test_words_before_a_loop_stay_only_from_a_window_that_holds_speech(with_words, no_speech,
                                                                        kept, logged):
    # On noise the recognizer writes a polite phrase and then loops on it.
    noise = "Thank you very much for watching." + " Bye." * 100
    assert kept_text(noise, with_words, no_speech) == ("Thank you very much for watching. Bye."
                                                       if kept else "")
    assert kept_text(SOAK_LOOP, with_words, no_speech) == (SOAK_REAL + " net" if kept else "")
    assert kept_text(REAL[0], with_words, no_speech) == REAL[0]     # no loop: not judged


def test_what_made_the_soak_segment_score_as_a_loop():
    # Any stretch of the monologue, even all of it in one segment, scores far below a loop.
    for size in range(1, len(MONOLOGUE) + 1):
        for first in range(len(MONOLOGUE) - size + 1):
            assert worker.compression_ratio(" ".join(MONOLOGUE[first:first + size])) < 1.6
    assert worker.compression_ratio(SOAK_REAL) < 1.5
    # The repeated word made the segment score 8.09, as the soak's log had it.
    assert worker.compression_ratio(SOAK_LOOP) == pytest.approx(8.09, abs=0.01)
    assert worker.compression_ratio(" ".join(["net"] * 195)) > 40


@pytest.mark.parametrize("tokens, stretch", [
    ("net net net", (0, 3, 1)),
    ("told us net net net net", (2, 6, 1)),
    ("a b a b a b c", (0, 6, 2)),
    ("a b c a b c a", (0, 7, 3)),
    ("Thank you. thank you, THANK YOU!", (0, 6, 2)),
    ("we will go and we will stay", None),
    ("one", None),
    ("", None),
])
def test_repeated_stretch(tokens, stretch):
    assert worker.repeated_stretch(tokens.split()) == stretch


class SoakModel:
    """The recognizer as it answered that partial pass: the real words at speaking pace, then
    the loop's words crammed into the last second."""

    def __init__(self):
        self.real = timed_words(SOAK_REAL, step=0.25)
        start = self.real[-1].end
        self.loop = [SimpleNamespace(word=" net", start=min(8.14, start + 0.006 * i),
                                     end=min(8.14, start + 0.006 * (i + 1))) for i in range(195)]
        self.segment = SimpleNamespace(text=SOAK_LOOP, start=0.0, end=8.14, no_speech_prob=0.1,
                                       avg_logprob=-0.1, words=self.real + self.loop)

    def transcribe(self, audio, **options):
        return iter([self.segment]), SimpleNamespace(language="en")


@pytest.fixture
def all_heard(monkeypatch):
    monkeypatch.setattr("faster_whisper.vad.get_speech_timestamps",
                        lambda audio, options=None: [{"start": 0, "end": len(audio)}])


def test_the_soak_segment_through_transcribe_keeps_its_sentences_and_times(all_heard, logged):
    model = SoakModel()
    real, loop = model.real, model.loop
    audio = (0.5 * np.sin(np.arange(9 * 16000) * 0.05)).astype(np.float32)
    items, words, lang = worker.transcribe(model, audio, False, "en", "")
    assert [i.text for i in items] == [
        "First we will open up a new office in the city.",
        "And then we will hire more people from the support team.",
        "Our customers told us net"]
    assert items[0].start == 0.0 and items[-1].end == loop[0].end
    assert len(words) == len(real) + 1 and lang == "en"


def test_two_partial_passes_over_the_soak_segment_commit_its_sentences(all_heard, logged, tmp_path):
    sent = []
    w = worker.Worker(lambda *fields: sent.append(fields), worker.data_paths(str(tmp_path)))
    w.model = SoakModel()
    ch = w.chans[0]
    ch.buf += (np.full(int(8.6 * 16000), 1000, dtype="<i2")).tobytes()
    for _ in range(2):
        worker.run_pass(w, (ch, bytes(ch.buf), False), worker.Options("en", "none", True))
    assert [f[0] + " " + f[4] for f in sent if f[0] in "FP"] == [
        "P " + SOAK_REAL + " net",
        "F First we will open up a new office in the city.",
        "F And then we will hire more people from the support team.",
        "P Our customers told us net"]
