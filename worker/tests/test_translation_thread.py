"""Finished lines translated on the translation thread: order of the lines, every "F" answered by
its own "U", partial lines from the cache, and the end of input while translations wait."""
import io
import struct
import threading
import time

import pytest

import worker


class GatedTranslate:
    """A stand-in for translate that holds every call the cache cannot answer until the gate
    opens."""

    def __init__(self):
        self.gate = threading.Event()
        self.calls = []

    def __call__(self, w, text, src, tgt, final):
        hit = w.cache.get(("nllb13", src, tgt, final, text))
        if hit is not None:
            return hit
        self.calls.append((text, src, tgt, final))
        assert self.gate.wait(10), "the test never opened the gate"
        if text == "Broken.":
            raise ValueError("engine broke")
        return "<%s>" % text


@pytest.fixture
def engine(w, monkeypatch):
    gated = GatedTranslate()
    monkeypatch.setattr(worker, "translate", gated)
    w.translation.activate(worker.TranslationEngine(object(), None, "nllb", ""), "nllb13")
    worker.start_translation_thread(w)
    return gated


@pytest.fixture
def logged(monkeypatch):
    got = []
    monkeypatch.setattr(worker, "log", got.append)
    return got


def wait_for(lines, count):
    deadline = time.monotonic() + 10
    while len(lines) < count and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(lines) >= count, lines


def pairs_as_the_window_makes_them(lines):
    """(recognized text, translation) per finished line, pairing each "U" with the oldest
    unanswered "F" of its channel, as the window does; None for a line never answered."""
    waiting = {0: [], 1: []}
    pairs = []
    for kind, ch, _, _, text in lines:
        if kind == "F":
            pairs.append([text, None])
            waiting[ch].append(pairs[-1])
        elif kind == "U":
            assert waiting[ch], "a U line without a waiting F on channel %d" % ch
            waiting[ch].pop(0)[1] = text
    return [tuple(p) for p in pairs]


def final(w, ch, text, voice=0, src="en", tgt="ru"):
    worker.emit(w, w.chans[ch], [worker.Run(voice, text)], True, src, None, tgt)


def partial(w, ch, text, src="en", tgt="ru"):
    worker.emit(w, w.chans[ch], [worker.Run(0, text)], False, src, None, tgt)


class TestOrder:
    def test_finished_lines_go_on_while_their_translations_wait(self, w, lines, engine):
        final(w, 0, "One. Two.")
        partial(w, 0, "Three")
        # The recognition thread has sent everything of its own before any translation is done.
        assert [(k, t) for k, _, _, _, t in lines] == [("F", "One."), ("F", "Two."), ("P", "Three"),
                                                      ("T", "")]
        engine.gate.set()
        wait_for(lines, 6)
        assert lines[4:] == [("U", 0, 0, "ru", "<One.>"), ("U", 0, 0, "ru", "<Two.>")]
        assert engine.calls == [("One.", "en", "ru", True), ("Two.", "en", "ru", True)]

    def test_each_channel_gets_its_own_translations_in_order(self, w, lines, engine):
        final(w, 0, "Hello there.", voice=1)
        final(w, 1, "Good morning.", voice=2, src="ru", tgt="en")
        final(w, 0, "")             # an utterance without text waits behind the others
        final(w, 1, "Bye.", voice=2, src="ru", tgt="en")
        engine.gate.set()
        wait_for(lines, 8)
        assert pairs_as_the_window_makes_them(lines) == [
            ("Hello there.", "<Hello there.>"), ("Good morning.", "<Good morning.>"),
            ("", ""), ("Bye.", "<Bye.>")]
        answers = [line for line in lines if line[0] == "U"]
        assert answers == [("U", 0, 1, "ru", "<Hello there.>"), ("U", 1, 2, "en", "<Good morning.>"),
                           ("U", 0, 0, "ru", ""), ("U", 1, 2, "en", "<Bye.>")]

    def test_a_line_that_needs_no_engine_goes_at_once_when_nothing_waits(self, w, lines, engine):
        final(w, 0, "Same language.", tgt="en")
        final(w, 1, "No translation.", tgt="none")
        w.cache[("nllb13", "en", "ru", True, "Seen before.")] = "<cached>"
        final(w, 0, "Seen before.")
        assert lines == [("F", 0, 0, "en", "Same language."), ("U", 0, 0, "en", "Same language."),
                         ("F", 1, 0, "en", "No translation."), ("U", 1, 0, "", ""),
                         ("F", 0, 0, "en", "Seen before."), ("U", 0, 0, "ru", "<cached>")]
        assert engine.calls == []

    def test_a_cached_line_still_waits_its_turn(self, w, lines, engine):
        w.cache[("nllb13", "en", "ru", True, "Seen before.")] = "<cached>"
        final(w, 0, "New one.")
        final(w, 0, "Seen before.")
        assert w.aside.waiting() == 2
        assert [k for k, *_ in lines] == ["F", "F"]
        engine.gate.set()
        wait_for(lines, 4)
        assert pairs_as_the_window_makes_them(lines) == [("New one.", "<New one.>"),
                                                         ("Seen before.", "<cached>")]

    def test_a_failing_translation_gives_an_empty_line_and_the_next_ones_follow(
            self, w, lines, engine, logged):
        final(w, 0, "Broken. Fine.")
        engine.gate.set()
        wait_for(lines, 4)
        assert pairs_as_the_window_makes_them(lines) == [("Broken.", ""), ("Fine.", "<Fine.>")]
        assert logged == ["translate error: ValueError('engine broke')"]


class TestPartialLines:
    @pytest.mark.parametrize("cached, expected", [
        ({}, ""),
        ({"One.": "<1>"}, "<1>"),
        ({"One.": "<1>", "Two": "<2>"}, "<1> <2>"),
    ])
    def test_only_what_the_cache_holds(self, w, lines, engine, cached, expected):
        for sentence, out in cached.items():
            w.cache[("nllb13", "en", "ru", False, sentence)] = out
        # final translations of the same sentences are decoded otherwise and are not used
        w.cache[("nllb13", "en", "ru", True, "Two")] = "<final>"
        partial(w, 0, "One. Two")
        assert lines == [("P", 0, 0, "en", "One. Two"), ("T", 0, 0, "ru", expected)]
        assert engine.calls == []

    def test_without_the_thread_partial_lines_are_translated_in_place(self, w, lines,
                                                                      monkeypatch):
        monkeypatch.setattr(worker, "translate", lambda w, t, s, g, f: "<%s %s>" % (t, f))
        partial(w, 0, "One. Two")
        final(w, 0, "Three.")
        assert [t for *_, t in lines] == ["One. Two", "<One. Two False>", "Three.",
                                          "<Three. True>"]


class TestEndOfInput:
    @pytest.mark.parametrize("ending", [b"Q\0\0\0\0", b""])
    def test_the_frame_loop_ends_while_translations_wait(self, w, lines, engine, ending):
        final(w, 0, "Waiting.")
        stream = io.BytesIO(b"E" + struct.pack("<I", 1) + b"\0" + ending)
        started = time.monotonic()
        worker.frame_loop(w, stream)
        assert time.monotonic() - started < 2
        # the queued translation is abandoned with the process: no "U" went out
        assert [k for k, *_ in lines] == ["F"]
        assert w.aside.waiting() == 1
        engine.gate.set()
        wait_for(lines, 2)          # let the thread finish before the stand-in goes
