"""Finished lines translated on the translation thread: order of the lines, every "F" answered by
its own "U", partial lines from the cache, and the end of input while translations wait."""
import gc
import io
import os
import struct
import sys
import threading
import time
from types import SimpleNamespace

import pytest

import worker
import worker_process


class WordTokenizer:
    """Words as tokens, ids handed out as they are met."""

    def __init__(self):
        self.words, self.ids = [], {}

    def encode(self, text, add_special_tokens=True):
        return SimpleNamespace(tokens=text.split())

    def token_to_id(self, token):
        if token not in self.ids:
            self.ids[token] = len(self.words)
            self.words.append(token)
        return self.ids[token]

    def decode(self, ids, skip_special_tokens=True):
        return " ".join(self.words[i] for i in ids)


class GatedEngine:
    """An NLLB-like engine that holds every batch until the gate opens and answers each
    sentence with "<sentence>"; a batch holding "Broken." fails."""

    def __init__(self):
        self.gate = threading.Event()
        self.batches = []

    def translate_batch(self, batch, target_prefix=None, **options):
        sentences = [" ".join(tokens[1:-1]) for tokens in batch]
        self.batches.append(sentences)
        assert self.gate.wait(10), "the test never opened the gate"
        if "Broken." in sentences:
            raise ValueError("engine broke")
        return [SimpleNamespace(hypotheses=[prefix + ["<%s>" % s]])
                for s, prefix in zip(sentences, target_prefix)]


@pytest.fixture
def engine(w):
    """The gated engine active, and the translation thread's queue in place; the thread itself
    starts with start(), so that a test decides what is queued before it looks."""
    gated = GatedEngine()
    w.translation.activate(worker.TranslationEngine(gated, WordTokenizer(), "nllb", ""),
                           "nllb13")
    w.aside = worker.TranslationsAside()
    gated.start = lambda: threading.Thread(target=worker.translation_loop, args=(w,),
                                           daemon=True).start()
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
    """(recognized text, translation) per finished line, as the window pairs them; None for a
    line never answered."""
    answers = worker_process.pair_answers(lines)
    assert not answers.strays, "a U line without a waiting F: %r" % lines
    return [(lines[f][4], None if u is None else lines[u][4]) for f, u in answers.pairs]


def final(w, ch, text, voice=0, src="en", tgt="ru"):
    worker.emit(w, w.chans[ch], [worker.Run(voice, text)], True, src, None, tgt)


def partial(w, ch, text, src="en", tgt="ru"):
    worker.emit(w, w.chans[ch], [worker.Run(0, text)], False, src, None, tgt)


class TestOrder:
    def test_finished_lines_go_on_while_their_translations_wait(self, w, lines, engine):
        engine.start()
        final(w, 0, "One. Two.")
        partial(w, 0, "Three")
        # The recognition thread has sent everything of its own before any translation is done.
        assert [(k, t) for k, _, _, _, t in lines] == [("F", "One."), ("F", "Two."), ("P", "Three"),
                                                      ("T", "")]
        engine.gate.set()
        wait_for(lines, 6)
        assert lines[4:] == [("U", 0, 0, "ru", "<One.>"), ("U", 0, 0, "ru", "<Two.>")]
        # the finished lines first; the partial line only once nothing else waits
        wait_for(engine.batches, 2)
        assert engine.batches == [["One.", "Two."], ["Three"]]

    def test_each_channel_gets_its_own_translations_in_order(self, w, lines, engine):
        final(w, 0, "Hello there.", voice=1)
        final(w, 1, "Good morning.", voice=2, src="ru", tgt="en")
        final(w, 0, "")             # an utterance without text waits behind the others
        final(w, 1, "Bye.", voice=2, src="ru", tgt="en")
        engine.start()
        engine.gate.set()
        wait_for(lines, 8)
        assert pairs_as_the_window_makes_them(lines) == [
            ("Hello there.", "<Hello there.>"), ("Good morning.", "<Good morning.>"),
            ("", ""), ("Bye.", "<Bye.>")]
        answers = [line for line in lines if line[0] == "U"]
        assert answers == [("U", 0, 1, "ru", "<Hello there.>"), ("U", 1, 2, "en", "<Good morning.>"),
                           ("U", 0, 0, "ru", ""), ("U", 1, 2, "en", "<Bye.>")]
        # what waited together went to the engine together, one batch per direction
        assert engine.batches == [["Hello there."], ["Good morning.", "Bye."]]

    def test_at_most_eight_lines_are_translated_together(self, w, lines, engine):
        for n in range(10):
            final(w, n % 2, "Line %d." % n)
        engine.start()
        engine.gate.set()
        wait_for(lines, 20)
        assert [len(batch) for batch in engine.batches] == [8, 2]
        assert pairs_as_the_window_makes_them(lines) == [("Line %d." % n, "<Line %d.>" % n)
                                                         for n in range(10)]

    def test_a_line_that_needs_no_engine_goes_at_once_when_nothing_waits(self, w, lines, engine):
        final(w, 0, "Same language.", tgt="en")
        final(w, 1, "No translation.", tgt="none")
        w.cache[("nllb13", "en", "ru", True, "Seen before.")] = "<cached>"
        final(w, 0, "Seen before.")
        assert lines == [("F", 0, 0, "en", "Same language."), ("U", 0, 0, "en", "Same language."),
                         ("F", 1, 0, "en", "No translation."), ("U", 1, 0, "", ""),
                         ("F", 0, 0, "en", "Seen before."), ("U", 0, 0, "ru", "<cached>")]
        assert engine.batches == [] and w.aside.waiting() == 0

    def test_a_cached_line_still_waits_its_turn(self, w, lines, engine):
        w.cache[("nllb13", "en", "ru", True, "Seen before.")] = "<cached>"
        final(w, 0, "New one.")
        final(w, 0, "Seen before.")
        assert [k for k, *_ in lines] == ["F", "F"] and w.aside.waiting() == 2
        engine.start()
        engine.gate.set()
        wait_for(lines, 4)
        assert pairs_as_the_window_makes_them(lines) == [("New one.", "<New one.>"),
                                                         ("Seen before.", "<cached>")]
        assert engine.batches == [["New one."]]

    def test_a_failing_batch_is_retried_line_by_line(self, w, lines, engine, logged):
        final(w, 0, "Broken. Fine.")
        engine.start()
        engine.gate.set()
        wait_for(lines, 4)
        assert pairs_as_the_window_makes_them(lines) == [("Broken.", ""), ("Fine.", "<Fine.>")]
        assert engine.batches == [["Broken.", "Fine."], ["Broken."], ["Fine."]]
        assert logged == ["translate error: ValueError('engine broke')"] * 2


    @pytest.mark.parametrize("due", ["ended", "finishing"])
    def test_a_translation_waits_while_its_channel_has_an_utterance_to_finish(self, w, lines,
                                                                               engine, due):
        final(w, 0, "Earlier.")
        final(w, 1, "Other side.")
        engine.start()
        wait_for(engine.batches, 1)         # both under way when channel 0's utterance ends
        ch = w.chans[0]
        with w.cond:
            if due == "ended":
                ch.buf.extend(b"\0\0" * 100)
                worker.mark_end(w, ch)
            else:
                ch.finishing = True
        engine.gate.set()
        wait_for(lines, 3)
        time.sleep(0.3)
        # Only the held channel waits; the other side's translation goes.
        assert lines[2:] == [("U", 1, 0, "ru", "<Other side.>")]
        with w.cond:
            ch.ends.clear()
            ch.finishing = False
            w.cond.notify_all()
        wait_for(lines, 4)
        assert pairs_as_the_window_makes_them(lines) == [("Earlier.", "<Earlier.>"),
                                                         ("Other side.", "<Other side.>")]

    def test_no_new_batch_starts_while_an_utterance_is_being_finished(self, w, lines, engine):
        engine.gate.set()
        ch = w.chans[1]
        with w.cond:
            ch.finishing = True
        final(w, 0, "Waits for the pass.")
        engine.start()
        time.sleep(0.4)
        assert engine.batches == []
        with w.cond:
            ch.finishing = False
        wait_for(lines, 2)
        assert engine.batches == [["Waits for the pass."]]

    def test_a_final_pass_marks_its_channel_until_its_lines_are_sent(self, w, monkeypatch):
        seen = []
        monkeypatch.setattr(worker, "run_pass", lambda w_, job, options: seen.append(
            (job.final, job.ch.finishing)))
        ch = w.chans[1]
        with w.cond:
            ch.buf.extend(b"\0\0" * 100)
            worker.mark_end(w, ch)
        thread = threading.Thread(target=worker.recognition_loop, args=(w,), daemon=True)
        thread.start()
        deadline = time.monotonic() + 10
        while not seen and time.monotonic() < deadline:
            time.sleep(0.01)
        with w.cond:
            w.quit_flag = True
        thread.join(5)
        assert seen == [(True, True)]
        assert not worker.final_lines_due(ch)


class TestPartialLines:
    @pytest.mark.parametrize("cached, expected", [
        ({}, ""),
        ({"One.": "<1>"}, "<1>"),
        ({"One.": "<1>", "Two": "<2>"}, "<1> <2>"),
    ])
    def test_only_what_the_cache_holds(self, w, lines, engine, cached, expected):
        engine.start()
        for sentence, out in cached.items():
            w.cache[("nllb13", "en", "ru", False, sentence)] = out
        # final translations of the same sentences are decoded otherwise and are not used
        w.cache[("nllb13", "en", "ru", True, "Two")] = "<final>"
        partial(w, 0, "One. Two")
        assert lines == [("P", 0, 0, "en", "One. Two"), ("T", 0, 0, "ru", expected)]
        assert engine.batches == []

    def test_without_the_thread_lines_are_translated_in_place(self, w, lines, engine):
        w.aside = None
        engine.gate.set()
        partial(w, 0, "One. Two")
        final(w, 0, "Three.")
        assert [t for *_, t in lines] == ["One. Two", "<One.> <Two>", "Three.", "<Three.>"]


class TestEndOfInput:
    @pytest.mark.parametrize("ending", [b"Q\0\0\0\0", b""])
    def test_the_frame_loop_ends_while_translations_wait(self, w, lines, engine, ending):
        engine.start()
        final(w, 0, "Waiting.")
        stream = io.BytesIO(b"E" + struct.pack("<I", 1) + b"\0" + ending)
        started = time.monotonic()
        worker.frame_loop(w, stream)
        assert time.monotonic() - started < 2
        # the queued translation is abandoned with the process: no "U" went out
        assert [k for k, *_ in lines] == ["F"]
        assert w.aside.waiting() == 1
        with w.cond:                # no recognition thread here to answer the "E"
            w.chans[0].ends.clear()
        engine.gate.set()
        wait_for(lines, 2)          # let the thread finish before the stand-in goes


@pytest.mark.parametrize("cores, threads", [(1, 1), (2, 2), (3, 3), (8, 4), (None, 4)])
def test_the_recognizer_takes_the_cores_up_to_four(w, monkeypatch, cores, threads):
    import faster_whisper

    made = []
    monkeypatch.setattr(faster_whisper, "WhisperModel",
                        lambda source, **options: made.append(options) or SimpleNamespace(
                            encode=None, model=None))
    monkeypatch.setattr(worker, "recognizer_source", lambda w_, name: name)
    monkeypatch.setattr(worker, "has_nvidia", lambda: False)
    monkeypatch.setattr(worker.os, "cpu_count", lambda: cores)
    monkeypatch.setenv("DICTATE_MODEL", "small")
    # The benchmarks' timed worker, when its tests ran in this session, wraps the loader.
    timed = sys.modules.get("timed_worker")
    load = timed._load_recognizer if timed is not None else worker.load_recognizer
    load(w, "small")
    assert made[0]["device"] == "cpu" and made[0]["cpu_threads"] == threads


@pytest.mark.parametrize("cores, threads", [(1, 1), (2, 1), (4, 2), (None, 1)])
def test_the_engine_takes_half_the_cores_on_the_processor(w, monkeypatch, cores, threads):
    import ctranslate2

    made = []
    monkeypatch.setattr(ctranslate2, "Translator", lambda folder, **options: made.append(options))
    monkeypatch.setattr(worker.os, "cpu_count", lambda: cores)
    worker.create_translator(w, "folder")
    assert made == [{"device": "cpu", "compute_type": "int8", "inter_threads": 1,
                     "intra_threads": threads}]


def _thread_cpu_and_nice():
    out = {}
    for name in os.listdir("/proc/self/task"):
        with open("/proc/self/task/%s/stat" % name) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        out[int(name)] = (int(fields[11]) + int(fields[12]), int(fields[16]))
    return out


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads listed by /proc")
@pytest.mark.parametrize("dev, lowered", [("CPU", True), ("GPU", False)])
def test_the_engine_decodes_below_the_worker_on_the_processor(w, model_store, dev, lowered):
    """The engine decodes on threads of its own: those, not the thread that asks, must yield to
    recognition. (A translator made on the processor after a GPU failure translates in place on
    the recognition thread, so it keeps the worker's priority.)"""
    w.dev = dev
    translator = worker.create_translator(w, str(model_store / "nllb"))
    own_nice = os.getpriority(os.PRIO_PROCESS, 0)
    asking = threading.get_native_id()
    before = _thread_cpu_and_nice()
    for _ in range(40):
        translator.translate_batch([["eng_Latn", "▁Hello", "</s>"]] * 8,
                                   target_prefix=[["rus_Cyrl"]] * 8, beam_size=4,
                                   max_decoding_length=48)
    after = _thread_cpu_and_nice()
    busy = {tid: nice for tid, (ticks, nice) in after.items()
            if tid != asking and ticks > before.get(tid, (0, 0))[0]}
    assert busy, "no engine thread did the decoding"
    expected = own_nice + worker.TRANSLATION_NICE if lowered else own_nice
    assert set(busy.values()) == {expected}
    assert after[asking][1] == own_nice, "the asking thread keeps its priority"


def test_the_translation_thread_lowers_itself(w, lines, engine):
    engine.start()
    final(w, 0, "Which thread?")
    seen = {}
    engine.translate_batch, batch = (lambda *a, **k: seen.update(
        tid=threading.get_native_id(),
        nice=os.getpriority(os.PRIO_PROCESS, threading.get_native_id())) or batch(*a, **k),
        engine.translate_batch)
    final(w, 0, "This one.")
    engine.gate.set()
    wait_for(lines, 4)
    assert seen["tid"] != threading.get_native_id()
    assert seen["nice"] == os.getpriority(os.PRIO_PROCESS, 0) + worker.TRANSLATION_NICE


class TestModelSwitch:
    """A translation model replaced while finished lines wait for their translation."""

    def switching(self, w):
        """The active engine released and a switch running, as load_translator leaves it while
        it creates the new model."""
        w.translation.loading = True
        w.translation.activate(None, "")

    def test_lines_wait_for_the_new_engine(self, w, lines, engine):
        engine.start()
        self.switching(w)
        final(w, 0, "During the switch.")
        final(w, 1, "Also waiting.")
        time.sleep(0.5)
        assert [k for k, *_ in lines] == ["F", "F"], "nothing answered without an engine"
        newer = GatedEngine()
        newer.gate.set()
        w.translation.activate(worker.TranslationEngine(newer, WordTokenizer(), "nllb", ""),
                               "nllb33")
        w.translation.loading = False
        wait_for(lines, 4)
        assert pairs_as_the_window_makes_them(lines) == [
            ("During the switch.", "<During the switch.>"), ("Also waiting.", "<Also waiting.>")]
        assert newer.batches == [["During the switch.", "Also waiting."]]

    def test_a_failed_switch_answers_the_waiting_lines_empty(self, w, lines, engine):
        engine.start()
        self.switching(w)
        final(w, 0, "Waits.")
        time.sleep(0.3)
        w.translation.loading = False      # the load failed and left no engine
        wait_for(lines, 2)
        assert pairs_as_the_window_makes_them(lines) == [("Waits.", "")]

    def test_the_old_engine_is_gone_before_the_new_one_is_made(self, w, lines, monkeypatch):
        import weakref

        gated = GatedEngine()
        old = weakref.ref(gated)
        w.translation.activate(worker.TranslationEngine(gated, WordTokenizer(), "nllb", ""),
                               "nllb13")
        w.aside = worker.TranslationsAside()
        threading.Thread(target=worker.translation_loop, args=(w,), daemon=True).start()
        final(w, 0, "In the engine.")
        wait_for(gated.batches, 1)          # the batch is under way with the old engine
        made = []

        def create(w_, folder):
            gc.collect()
            made.append(old() is None)
            return GatedEngine()

        monkeypatch.setattr(worker, "fetch", lambda *a, **k: "folder")
        monkeypatch.setattr(worker, "create_translator", create)
        monkeypatch.setattr("tokenizers.Tokenizer.from_file", lambda path: WordTokenizer())
        loader = threading.Thread(target=worker.load_translator, args=(w, "nllb33"))
        loader.start()
        time.sleep(0.3)
        assert made == [], "the new model waits for the batch"
        gated.gate.set()
        del gated
        loader.join(10)
        wait_for(lines, 2)
        assert made == [True]
        assert w.translation.active_id == "nllb33"


class TestThreadSurvives:
    def test_an_unexpected_error_costs_one_line(self, w, lines, engine, logged, monkeypatch):
        engine.gate.set()
        real = worker.held_channels
        calls = []

        def failing_once(w_):
            calls.append(1)
            if len(calls) == 1:
                raise RuntimeError("surprise")
            return real(w_)

        monkeypatch.setattr(worker, "held_channels", failing_once)
        final(w, 0, "Lost translation.")
        final(w, 0, "Still translated.")
        engine.start()
        wait_for(lines, 4)
        assert pairs_as_the_window_makes_them(lines) == [("Lost translation.", ""),
                                                         ("Still translated.",
                                                          "<Still translated.>")]
        assert "translation thread error: RuntimeError('surprise')" in logged


class TestIdleTranslatesPartials:
    def test_the_newest_partial_line_fills_the_cache_for_the_next(self, w, lines, engine):
        engine.gate.set()
        engine.start()
        partial(w, 0, "First words")
        partial(w, 0, "Hello there. How")
        deadline = time.monotonic() + 10
        while ("nllb13", "en", "ru", False, "How") not in w.cache and time.monotonic() < deadline:
            time.sleep(0.01)
        partial(w, 0, "Hello there. How are you")
        assert lines[-1] == ("T", 0, 0, "ru", "<Hello there.>")
        assert ("nllb13", "en", "ru", True, "Hello there.") not in w.cache, "partial key only"

    def test_a_finished_line_stops_the_partial_line_after_its_sentence(self, w, lines, engine):
        engine.start()
        partial(w, 0, "One. Two. Three")
        wait_for(engine.batches, 1)         # "One." is in the engine
        final(w, 1, "Final.", src="ru", tgt="en")
        engine.gate.set()
        wait_for(lines, 4)
        assert engine.batches == [["One."], ["Final."]]

    @pytest.mark.parametrize("waited, since_last_partial, held", [
        (1.0, 1.0, False),      # translations keep up: the partial pass goes
        (2.0, 1.0, True),       # a finished line has waited for the engine: it goes first
        (5.0, 3.0, False),      # but the partial line moves at least this often
    ])
    def test_partial_passes_wait_while_translations_fall_behind(self, w, lines, engine,
                                                                 monkeypatch, waited,
                                                                 since_last_partial, held):
        ch = w.chans[0]
        ch.buf.extend(b"\0" * worker.PARTIAL_STEP["CPU"])
        now = [100.0]
        monkeypatch.setattr(worker.time, "monotonic", lambda: now[0])
        final(w, 1, "Waiting for its translation.")
        now[0] += waited
        ch.last_time = now[0] - since_last_partial
        job = worker.pick(w)
        assert (job is None) == held


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads listed by /proc")
def test_threads_the_engine_starts_at_its_first_translation_are_lowered(model_store):
    """With more than one thread per translation the engine starts its helpers at the first
    translation; a thread that another part starts at that moment keeps its priority."""
    import ctranslate2

    own_nice = os.getpriority(os.PRIO_PROCESS, 0)
    translator = ctranslate2.Translator(str(model_store / "nllb"), device="cpu",
                                        compute_type="int8", inter_threads=1, intra_threads=2)
    other = {}
    release = threading.Event()

    def other_part():
        other["tid"] = threading.get_native_id()
        release.wait(10)

    def first_translation():
        threading.Thread(target=other_part, daemon=True).start()
        before = set(os.listdir("/proc/self/task"))
        translator.translate_batch([["eng_Latn", "▁Hello", "</s>"]],
                                   target_prefix=[["rus_Cyrl"]], max_decoding_length=8)
        return set(os.listdir("/proc/self/task")) - before

    started = worker.lower_threads_made_by(first_translation)
    engine_threads = {int(t) for t in started} - {other["tid"]}
    assert engine_threads, "the engine started no thread at its first translation"
    assert {os.getpriority(os.PRIO_PROCESS, t) for t in engine_threads} == {
        own_nice + worker.TRANSLATION_NICE}
    assert os.getpriority(os.PRIO_PROCESS, other["tid"]) == own_nice
    release.set()
