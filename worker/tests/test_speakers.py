"""Voice numbers: run building, registry matching, neural turns, the sensitivity, and the real
sherpa-onnx extractor and diarizer on generated models."""
import math
import os
import threading
import time

import numpy as np
import pytest

import make_segmentation_model
import worker
from conftest import Route, add_speaker_model

RATE = 16000


# ---------------------------------------------------------------------------------------------
# Fixtures and scripted stand-ins
# ---------------------------------------------------------------------------------------------

class Log(list):
    def __call__(self, text):
        self.append(text)


@pytest.fixture
def state(monkeypatch, w):
    """Speaker detection wanted with the default model active; diagnostics collected instead of
    printed."""
    w.options = w.options._replace(diarize=True)
    w.speaker.active_id = "resnet34"
    logged = Log()
    monkeypatch.setattr(worker, "log", logged)
    return logged


def basis(k, dim=12):
    v = np.zeros(dim, dtype=np.float32)
    v[k] = 1.0
    return v


def like(k, sim, spare=11):
    """A unit vector whose similarity to basis(k) is sim."""
    return sim * basis(k) + math.sqrt(1 - sim * sim) * basis(spare)


class ScriptedExtractor:
    """Voiceprints by audio level: audio at level c / 100 sounds like voices[c].

    The median of the fed samples decides, so the 0.1 s margins of `span` that reach into a
    neighbouring piece do not change the answer. Every computed piece is recorded.
    """

    def __init__(self, voices, on_compute=None):
        self.voices = voices
        self.computed = []
        self.on_compute = on_compute

    def create_stream(self):
        outer = self

        class Stream:
            samples = np.zeros(0, dtype=np.float32)

            def accept_waveform(self, rate, samples):
                assert rate == RATE
                self.samples = np.concatenate([self.samples, samples])

            def input_finished(self):
                pass

        outer.last_stream = Stream()
        return outer.last_stream

    def compute(self, stream):
        code = int(round(float(np.median(stream.samples)) * 100))
        self.computed.append((code, len(stream.samples) / RATE))
        if self.on_compute:
            self.on_compute()
        return list(self.voices[code] * 3.0)       # not unit length: the worker normalises


def audio(*pieces):
    """Samples of (level code, seconds) pieces in a row."""
    return np.concatenate([np.full(int(round(sec * RATE)), code / 100.0, dtype=np.float32)
                           for code, sec in pieces])


class ScriptedDiarizer:
    """Answers every utterance with the given (start, end, local speaker) turns."""

    def __init__(self, segments):
        self.segments = segments
        self.calls = 0

    def process(self, samples):
        self.calls += 1
        segs = self.segments

        class Segment:
            def __init__(self, start, end, speaker):
                self.start, self.end, self.speaker = start, end, speaker

        class Result:
            def sort_by_start_time(self):
                return sorted((Segment(*s) for s in segs), key=lambda s: s.start)

        return Result()


def use(w, monkeypatch, ext, diarizer=None):
    w.speaker.model = ext
    monkeypatch.setattr(worker, "get_diarizer", lambda w: diarizer)


def handle(w, kind, payload):
    return worker.handle_frame(w, worker.Frame(kind, payload))


def registry(ch):
    return {n: tuple(np.round(worker.unit(v), 3)) for n, v in ch.voice_sums.items()}


# ---------------------------------------------------------------------------------------------
# Keeping sentences whole
# ---------------------------------------------------------------------------------------------

class TestSnapRuns:
    @pytest.mark.parametrize("runs, expected", [
        ([(1, "Hello there. How"), (2, "are you? Fine.")],
         [(1, "Hello there."), (2, "How are you? Fine.")]),
        ([(1, "yes right"), (2, "So we agree.")],
         [(2, "yes right So we agree.")]),
        ([(1, "I said that we should go"), (2, "No.")],
         [(1, "I said that we should go"), (2, "No.")]),
        # A tail of exactly four words moves, five do not.
        ([(1, "Done. one two three four"), (2, "Yes.")],
         [(1, "Done."), (2, "one two three four Yes.")]),
        ([(1, "Done. one two three four five"), (2, "Yes.")],
         [(1, "Done. one two three four five"), (2, "Yes.")]),
        # The ellipsis and the other marks end a sentence too; the last run keeps its tail.
        ([(1, "Well\u2026 maybe"), (3, "Sure! And then")],
         [(1, "Well\u2026"), (3, "maybe Sure! And then")]),
    ])
    def test_examples(self, runs, expected):
        assert worker.snap_runs(runs) == expected

    def test_tail_travels_on_through_a_run_that_it_swallows(self):
        # The second run becomes "a b c" with no mark, three words: it joins the third whole.
        assert worker.snap_runs([(1, "Right. a"), (2, "b c"), (1, "Okay.")]) == [
            (1, "Right."), (1, "a b c Okay.")]

    def test_blanks_and_empty_input(self):
        assert worker.snap_runs([]) == []
        assert worker.snap_runs([(1, "  Fine.   really  "), (2, "")]) == [(1, "Fine."),
                                                                          (2, "really")]
        assert worker.snap_runs([(1, " "), (2, "Yes.")]) == [(2, "Yes.")]


# ---------------------------------------------------------------------------------------------
# Thresholds and the sensitivity slider
# ---------------------------------------------------------------------------------------------

class TestThresholds:
    @pytest.mark.parametrize("model_id, tm, preview", [
        ("resnet34", 0.75, 0.72), ("resnet293", 0.83, 0.80), ("", 0.75, 0.72)])
    def test_at_the_default_sensitivity_the_model_bases_stand(self, model_id, tm, preview):
        assert worker.match_threshold(model_id, 60) == pytest.approx(tm)
        assert worker.preview_threshold(model_id, 60) == pytest.approx(preview)

    @pytest.mark.parametrize("sens, shift", [
        (100, 0.08), (61, 0.002), (59, -0.002), (0, -0.12),
        (250, 0.08), (-5, -0.12), ("x", 0.0), (None, 0.0)])
    def test_sensitivity_moves_both_thresholds(self, sens, shift):
        assert worker.match_threshold("resnet34", sens) == pytest.approx(0.75 + shift)
        assert worker.preview_threshold("resnet152", sens) == pytest.approx(0.80 + shift)

    def test_a_more_sensitive_setting_tells_a_borderline_voice_apart(self, state, w, monkeypatch):
        # Similarity 0.76 to the known voice: the same voice at 60, a new one at 100.
        ext = ScriptedExtractor({1: basis(1), 2: like(1, 0.76)})
        use(w, monkeypatch, ext)
        results = {}
        for sens in (60, 100):
            w.options = w.options._replace(sens=sens)
            ch = worker.Chan(0)
            ch.voice_sums, ch.gnext = {1: basis(1)}, 2
            results[sens] = worker.assign_by_registry(w, ch, audio((2, 3.2)),
                                                      [("Hi there.", 0.1, 3.1)], True)
        assert results == {60: [(1, "Hi there.")], 100: [(2, "Hi there.")]}


# ---------------------------------------------------------------------------------------------
# Registry matching
# ---------------------------------------------------------------------------------------------

class TestRegistry:
    def test_first_voice_of_an_empty_registry(self, state, w, monkeypatch):
        ext = ScriptedExtractor({5: basis(5)})
        use(w, monkeypatch, ext)
        ch = w.chans[0]
        runs = worker.assign_by_registry(w, ch, audio((5, 1.5)), [("Short one.", 0.1, 1.4)], True)
        assert runs == [(1, "Short one.")]
        assert ch.gnext == 2 and ch.last_spk == 1 and list(ch.voice_sums) == [1]

    @pytest.mark.parametrize("item_seconds, voice, learned", [
        (1.8, 1, False),    # 2.0 s with margins: too short for a new voice, not learned
        (2.8, 2, False),    # 3.0 s: a long piece unlike voice 1 founds voice 2
    ])
    def test_known_voice_and_a_dissimilar_piece(self, state, w, monkeypatch, item_seconds, voice,
                                                learned):
        ext = ScriptedExtractor({1: basis(1), 7: like(1, 0.70)})
        use(w, monkeypatch, ext)
        ch = w.chans[0]
        ch.voice_sums, ch.gnext, ch.last_spk = {1: basis(1)}, 2, 1
        samples = audio((0, 0.5), (7, item_seconds + 0.2), (0, 0.5))
        runs = worker.assign_by_registry(w, ch, samples,
                                         [("Well.", 0.6, 0.6 + item_seconds)], True)
        assert ext.computed == [(7, pytest.approx(item_seconds + 0.2))]
        assert runs == [(voice, "Well.")]
        assert registry(ch)[1] == tuple(np.round(basis(1), 3))       # voice 1 unchanged
        assert ch.gnext == voice + 1 and ch.last_spk == voice

    def test_learning_needs_a_match_and_a_piece_of_one_and_a_half_seconds(self, state, w,
                                                                          monkeypatch):
        ext = ScriptedExtractor({1: basis(1), 3: like(1, 0.9)})
        use(w, monkeypatch, ext)
        ch = w.chans[0]
        ch.voice_sums, ch.gnext = {1: basis(1)}, 2
        worker.assign_by_registry(w, ch, audio((3, 1.3)), [("a", 0.1, 1.2)], True)   # 1.3 s
        assert np.allclose(ch.voice_sums[1], basis(1))
        worker.assign_by_registry(w, ch, audio((3, 1.6)), [("b", 0.1, 1.5)], True)   # 1.6 s
        assert np.allclose(ch.voice_sums[1], basis(1) + like(1, 0.9), atol=1e-5)

    def test_short_items_follow_the_previous_voice_and_runs_merge(self, state, w, monkeypatch):
        ext = ScriptedExtractor({1: basis(1), 2: basis(2)})
        use(w, monkeypatch, ext)
        ch = w.chans[0]
        ch.voice_sums, ch.gnext, ch.last_spk = {1: basis(1), 2: basis(2)}, 3, 2
        samples = audio((1, 3.0), (2, 3.0), (2, 0.5), (1, 3.0))
        items = [("Ok", 0.0, 0.5),                    # short, first: last_spk
                 ("One.", 0.1, 2.9), ("Two.", 3.1, 5.9),
                 ("yes", 6.05, 6.45),                 # short: the previous item's voice
                 ("Three.", 6.6, 9.4)]
        runs = worker.assign_by_registry(w, ch, samples, items, True)
        assert runs == [(2, "Ok"), (1, "One."), (2, "Two. yes"), (1, "Three.")]
        assert [c for c, _ in ext.computed] == [1, 2, 1]
        assert ch.last_spk == 1

    def test_short_item_with_nothing_known_is_voice_one(self, state, w, monkeypatch):
        use(w, monkeypatch, ScriptedExtractor({}))
        ch = w.chans[1]
        assert worker.assign_by_registry(w, ch, audio((4, 0.6)), [("Hm", 0.1, 0.5)], True) == [
            (1, "Hm")]
        assert ch.voice_sums == {} and ch.gnext == 1 and ch.last_spk == 1

    def test_six_voices_at_most_then_the_closest(self, state, w, monkeypatch):
        voices = {k: basis(k) for k in range(1, 7)}
        voices[7] = 0.5 * basis(3) + 0.3 * basis(5) + 0.81 * basis(10)
        ext = ScriptedExtractor(voices)
        use(w, monkeypatch, ext)
        ch = w.chans[0]
        got = []
        for code in range(1, 8):
            got += worker.assign_by_registry(w, ch, audio((code, 3.0)), [("s%d." % code, 0.1, 2.9)],
                                             True)
        assert [v for v, _ in got] == [1, 2, 3, 4, 5, 6, 3]
        assert ch.gnext == 7 and sorted(ch.voice_sums) == [1, 2, 3, 4, 5, 6]

    def test_a_partial_pass_learns_nothing(self, state, w, monkeypatch):
        use(w, monkeypatch, ScriptedExtractor({5: basis(5)}))
        ch = w.chans[0]
        assert worker.assign_by_registry(w, ch, audio((5, 3.0)), [("x", 0.1, 2.9)], False) == [
            (1, "x")]
        assert ch.voice_sums == {} and ch.gnext == 1 and ch.last_spk == 0

    def test_a_reset_during_the_pass_is_not_undone(self, state, w, monkeypatch):
        ch = w.chans[0]

        def reset():
            handle(w, "R", b"")

        ext = ScriptedExtractor({1: basis(1), 2: basis(2)}, on_compute=reset)
        use(w, monkeypatch, ext)
        ch.voice_sums, ch.gnext, ch.last_spk = {1: basis(1)}, 2, 1
        runs = worker.assign_by_registry(w, ch, audio((2, 3.0)), [("New one.", 0.1, 2.9)], True)
        assert runs == [(2, "New one.")]        # numbered with what the pass knew...
        assert ch.voice_sums == {} and ch.gnext == 1 and ch.last_spk == 0   # ...the reset stands
        runs = worker.assign_by_registry(w, ch, audio((2, 3.0)), [("Again.", 0.1, 2.9)], True)
        assert runs == [(1, "Again.")]


    def test_a_model_switch_at_the_start_of_a_pass_never_mixes_two_models(self, state, w,
                                                                           monkeypatch):
        """The switch takes the shared-state lock between two takings of a pass; whichever
        they are, no voiceprint of the old model may end up in the new model's registry."""
        old_model = ScriptedExtractor({2: basis(2)})
        new_model = ScriptedExtractor({2: basis(8)})
        use(w, monkeypatch, old_model)
        real_cond = w.cond

        class SwitchOnSecondTaking:
            takings = 0

            def __enter__(self):
                SwitchOnSecondTaking.takings += 1
                if SwitchOnSecondTaking.takings == 2:
                    with real_cond:
                        w.speaker.model, w.speaker.active_id = new_model, "campp"
                        for c in w.chans:
                            worker.reset_voices(c)
                return real_cond.__enter__()

            def __exit__(self, *exc):
                return real_cond.__exit__(*exc)

        w.cond = SwitchOnSecondTaking()
        ch = w.chans[0]
        worker.assign_by_registry(w, ch, audio((2, 3.0)), [("Hello there.", 0.1, 2.9)], True)
        assert w.speaker.model is new_model
        assert all(registry(ch)[n] == tuple(np.round(basis(8), 3)) for n in ch.voice_sums), \
            registry(ch)


# ---------------------------------------------------------------------------------------------
# Live preview
# ---------------------------------------------------------------------------------------------

class TestPreview:
    @pytest.fixture
    def known(self, state, w, monkeypatch):
        ext = ScriptedExtractor({1: basis(1), 2: basis(2), 3: like(2, 0.73), 4: like(2, 0.71),
                                 5: (basis(1) + basis(2)) / math.sqrt(2)})
        use(w, monkeypatch, ext)
        ch = w.chans[0]
        ch.voice_sums, ch.gnext, ch.last_spk = {1: 2 * basis(1), 2: basis(2)}, 3, 1
        return ch, ext

    def test_close_enough_gives_the_best_voice(self, known, w):
        ch, _ = known
        assert worker.match_global(w, ch, audio((3, 1.0))) == 2        # 0.73 >= 0.72

    def test_not_close_enough_keeps_the_last_speaker(self, known, w):
        ch, _ = known
        assert worker.match_global(w, ch, audio((4, 1.0))) == 1        # 0.71 < 0.72
        ch.last_spk = 0
        assert worker.match_global(w, ch, audio((4, 1.0))) == 2

    def test_equal_similarity_gives_the_lower_number(self, known, w):
        ch, _ = known
        ch.last_spk = 0
        assert worker.match_global(w, ch, audio((5, 1.0))) == 1

    def test_short_audio_or_no_voices_compute_nothing(self, known, w):
        ch, ext = known
        assert worker.match_global(w, ch, audio((2, 0.79))) == 1
        ch.last_spk = 0
        assert worker.match_global(w, ch, audio((2, 0.5))) == 1
        ch.voice_sums = {}
        ch.last_spk = 4
        assert worker.match_global(w, ch, audio((2, 2.0))) == 4
        assert ext.computed == []

    def test_never_learns(self, known, w):
        ch, _ = known
        before = {n: v.copy() for n, v in ch.voice_sums.items()}
        worker.match_global(w, ch, audio((2, 2.0)))
        assert ch.voice_sums.keys() == before.keys()
        assert all(np.array_equal(ch.voice_sums[n], before[n]) for n in before)
        assert ch.gnext == 3 and ch.last_spk == 1


# ---------------------------------------------------------------------------------------------
# Neural turns with a scripted diarizer
# ---------------------------------------------------------------------------------------------

def words_of(*triples):
    """Words (" text", start, end) from (text, start, end) triples."""
    return [(" " + t, s, e) for t, s, e in triples]


class TestNeuralTurns:
    def test_one_speaker_becomes_voice_one(self, state, w, monkeypatch):
        ext = ScriptedExtractor({4: basis(4)})
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.2, 4.8, 0)]))
        ch = w.chans[1]
        words = words_of(("Hello", 0.3, 0.8), ("there.", 0.9, 1.4), ("Fine", 2.0, 2.5),
                         ("thanks.", 2.6, 3.0))
        runs = worker.runs_by_diarization(w, ch, audio((4, 5.0)), [], words)
        assert runs == [(1, "Hello there. Fine thanks.")]
        assert ch.last_spk == 1 and ch.gnext == 2 and list(ch.voice_sums) == [1]
        assert state == ["DIAR ch1 resnet34 neural: 1 turns, voices [1], known 1"]

    def test_turns_matched_by_similarity_and_the_taken_rule(self, state, w, monkeypatch):
        # Both local speakers are closest to voice 1; local 1 is closer and takes it. Voice 1
        # is taken for local 0, and voice 2 is too far from it: local 0 founds voice 3.
        ext = ScriptedExtractor({1: like(1, 0.95), 2: 0.85 * basis(1) + 0.5268 * basis(2)})
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 3.0, 0), (3.0, 6.0, 1)]))
        ch = w.chans[0]
        ch.voice_sums, ch.gnext, ch.last_spk = {1: basis(1), 2: basis(2)}, 3, 2
        samples = audio((2, 3.0), (1, 3.0))
        words = words_of(("A", 0.5, 1.0), ("b.", 1.0, 2.0), ("C", 3.5, 4.0), ("d.", 4.0, 5.0))
        runs = worker.runs_by_diarization(w, ch, samples, [], words)
        sim_local0_voice2 = float(worker.unit(ext.voices[2]) @ basis(2))
        assert sim_local0_voice2 < 0.75     # so local 0 cannot match voice 2 either...
        assert runs == [(3, "A b."), (1, "C d.")]   # ...and founds voice 3
        assert ch.gnext == 4 and ch.last_spk == 1
        assert np.allclose(ch.voice_sums[1], basis(1) + worker.unit(ext.voices[1]), atol=1e-5)
        assert np.allclose(ch.voice_sums[2], basis(2))

    def test_matching_walks_from_the_highest_similarity_down(self, state, w, monkeypatch):
        ext = ScriptedExtractor({1: like(1, 0.80), 2: like(2, 0.99)})
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 3.0, 0), (3.0, 6.0, 1)]))
        ch = w.chans[0]
        ch.voice_sums, ch.gnext = {1: basis(1), 2: basis(2)}, 3
        runs = worker.runs_by_diarization(w, ch, audio((1, 3.0), (2, 3.0)),
                                          [("One.", 0.2, 2.8), ("Two.", 3.2, 5.8)], [])
        assert runs == [(1, "One."), (2, "Two.")]     # items stand in for missing words
        assert ch.gnext == 3

    def test_new_voices_by_speaking_time_and_the_seventh_voice(self, state, w, monkeypatch):
        voices = {k: basis(k) for k in range(1, 8)}
        voices[7] = 0.3 * basis(2) + 0.6 * basis(5) + 0.74 * basis(10)
        ext = ScriptedExtractor(voices)
        ch = w.chans[0]
        ch.voice_sums = {k: basis(k) for k in range(1, 5)}
        ch.gnext = 5
        # Local 0 speaks longest (4 s) and is numbered first, local 1 (2.5 s) next; local 2
        # (2 s) finds every number in use and joins the closest voice, 6, although local 1 of
        # the same utterance has it.
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 2.5, 1), (2.5, 6.5, 0), (6.5, 8.5, 2)]))
        samples = audio((5, 2.5), (6, 4.0), (7, 2.0))
        words = words_of(("one.", 0.5, 1.5), ("two.", 3.0, 4.0), ("three.", 7.0, 8.0))
        runs = worker.runs_by_diarization(w, ch, samples, [], words)
        assert runs == [(6, "one."), (5, "two."), (6, "three.")]
        assert ch.gnext == 7
        assert np.allclose(ch.voice_sums[5], basis(6))
        assert np.allclose(ch.voice_sums[6], basis(5) + worker.unit(voices[7]), atol=1e-5)

    def test_seven_voices_over_time(self, state, w, monkeypatch):
        voices = {k: basis(k) for k in range(1, 8)}
        voices[7] = like(4, 0.6)
        ext = ScriptedExtractor(voices)
        ch = w.chans[0]
        got = []
        for code in range(1, 8):
            use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 3.0, 0)]))
            got += worker.runs_by_diarization(w, ch, audio((code, 3.0)), [("x.", 0.5, 2.5)], [])
        assert [v for v, _ in got] == [1, 2, 3, 4, 5, 6, 4]

    def test_fallback_for_turns_without_voiceprint_and_nearest_turn(self, state, w, monkeypatch):
        ext = ScriptedExtractor({1: basis(1), 2: basis(2)})
        # Local 1 speaks only 0.5 s: no voiceprint, so its stretch takes the fallback.
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 2.0, 0), (2.5, 3.0, 1), (3.5, 6.0, 0)]))
        ch = w.chans[0]
        ch.voice_sums, ch.gnext, ch.last_spk = {1: basis(1), 2: basis(2)}, 3, 2
        samples = audio((1, 6.0))
        words = words_of(("Start", 0.1, 1.0), ("here.", 1.0, 1.9),
                         ("Huh?", 2.5, 3.0),          # inside local 1's turn: fallback 2
                         ("And", 3.3, 3.4),           # between turns: nearer to the third
                         ("more.", 4.0, 5.0))
        runs = worker.runs_by_diarization(w, ch, samples, [], words)
        assert runs == [(1, "Start here."), (2, "Huh?"), (1, "And more.")]
        assert [c for c, _ in ext.computed] == [1]
        assert ch.last_spk == 1

    def test_equal_distance_picks_the_first_turn(self, state, w, monkeypatch):
        ext = ScriptedExtractor({1: basis(1), 2: basis(2)})
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 2.0, 0), (3.0, 5.0, 1)]))
        ch = w.chans[0]
        ch.voice_sums, ch.gnext = {1: basis(1), 2: basis(2)}, 3
        runs = worker.runs_by_diarization(w, ch, audio((1, 2.5), (2, 2.5)), [],
                                          words_of(("Go.", 0.5, 1.5), ("Mid.", 2.4, 2.6)))
        assert runs == [(1, "Go. Mid.")]

    def test_cut_time_keeps_the_text_before_it_but_learns_from_everything(self, state, w,
                                                                          monkeypatch):
        ext = ScriptedExtractor({1: basis(1), 2: basis(2)})
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 3.0, 0), (3.0, 6.0, 1)]))
        ch = w.chans[0]
        words = words_of(("First", 0.5, 1.0), ("part.", 1.0, 2.0), ("Later", 3.5, 4.0),
                         ("part.", 4.0, 5.0))
        runs = worker.runs_by_diarization(w, ch, audio((1, 3.0), (2, 3.0)), [], words, cut=3.2)
        assert runs == [(1, "First part.")]
        assert sorted(ch.voice_sums) == [1, 2] and ch.last_spk == 1

    def test_no_runs_without_diarizer_short_audio_no_turns_or_no_text(self, state, w,
                                                                      monkeypatch):
        ext = ScriptedExtractor({1: basis(1)})
        ch = w.chans[0]
        items = [("x.", 0.1, 1.9)]
        use(w, monkeypatch, ext, None)
        assert worker.runs_by_diarization(w, ch, audio((1, 5.0)), items, []) is None
        diarizer = ScriptedDiarizer([(0.0, 1.9, 0)])
        use(w, monkeypatch, ext, diarizer)
        assert worker.runs_by_diarization(w, ch, audio((1, 1.99)), items, []) is None
        assert diarizer.calls == 0
        use(w, monkeypatch, ext, ScriptedDiarizer([]))
        assert worker.runs_by_diarization(w, ch, audio((1, 5.0)), items, []) is None
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 5.0, 0)]))
        assert worker.runs_by_diarization(w, ch, audio((1, 5.0)), items, [], cut=0.5) is None
        assert ch.last_spk == 0 and state == []

    def test_a_reset_or_model_switch_during_the_pass_wins(self, state, w, monkeypatch):
        ch = w.chans[0]
        ext = ScriptedExtractor({1: basis(1), 2: basis(2)},
                                on_compute=lambda: handle(w, "R", b""))
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 3.0, 0), (3.0, 6.0, 1)]))
        ch.voice_sums, ch.gnext, ch.last_spk = {1: basis(1)}, 2, 1
        runs = worker.runs_by_diarization(w, ch, audio((1, 3.0), (2, 3.0)),
                                          [("One.", 0.2, 2.8), ("Two.", 3.2, 5.8)], [])
        assert runs == [(1, "One."), (2, "Two.")]
        assert ch.voice_sums == {} and ch.gnext == 1 and ch.last_spk == 0
        assert ch.spk_epoch == 2                # one reset per voiceprint computed

    def test_twelve_seconds_of_speech_at_most_per_voiceprint(self, state, w, monkeypatch):
        ext = ScriptedExtractor({1: basis(1)})
        use(w, monkeypatch, ext, ScriptedDiarizer([(0.0, 8.0, 0), (9.0, 17.0, 0)]))
        ch = w.chans[0]
        worker.runs_by_diarization(w, ch, audio((1, 18.0)), [("x.", 1.0, 2.0)], [])
        assert ext.computed == [(1, pytest.approx(12.0))]


# ---------------------------------------------------------------------------------------------
# Runs of one pass
# ---------------------------------------------------------------------------------------------

ITEMS = [("Hello there.", 0.1, 1.0), ("How are you?", 1.2, 2.9)]


class TestMakeRuns:
    def test_no_items_no_runs(self, state, w, monkeypatch):
        use(w, monkeypatch, ScriptedExtractor({}))
        assert worker.make_runs(w, w.chans[0], audio((1, 3.0)), [], True, []) == []

    @pytest.mark.parametrize("wanted, loaded", [(False, True), (True, False)])
    def test_voice_zero_when_off_or_unavailable(self, state, w, monkeypatch, wanted, loaded):
        ext = ScriptedExtractor({1: basis(1)})
        use(w, monkeypatch, ext if loaded else None, ScriptedDiarizer([(0, 3, 0)]))
        w.options = w.options._replace(diarize=wanted)
        for final in (True, False):
            assert worker.make_runs(w, w.chans[0], audio((1, 3.0)), ITEMS, final, []) == [
                (0, "Hello there. How are you?")]
        assert ext.computed == [] and w.chans[0].voice_sums == {}

    def test_partial_pass_previews_the_newest_item(self, state, w, monkeypatch):
        ext = ScriptedExtractor({1: basis(1), 2: basis(2)})
        use(w, monkeypatch, ext, ScriptedDiarizer([(0, 3, 0)]))
        ch = w.chans[0]
        ch.voice_sums, ch.gnext, ch.last_spk = {1: basis(1), 2: basis(2)}, 3, 1
        runs = worker.make_runs(w, ch, audio((1, 1.1), (2, 1.9)), ITEMS, False, [])
        assert runs == [(2, "Hello there. How are you?")]
        assert ext.computed == [(2, pytest.approx(1.9, abs=1e-3))]    # 1.1 s to the end (3.0 s)

    def test_final_pass_prefers_neural_turns(self, state, w, monkeypatch):
        use(w, monkeypatch, ScriptedExtractor({1: basis(1)}), ScriptedDiarizer([(0.0, 3.0, 0)]))
        runs = worker.make_runs(w, w.chans[0], audio((1, 3.0)), ITEMS, True, [])
        assert runs == [(1, "Hello there. How are you?")]
        assert state[0].startswith("DIAR ch0 ")

    def test_final_pass_falls_back_to_the_registry(self, state, w, monkeypatch):
        ext = ScriptedExtractor({1: basis(1), 2: basis(2)})
        ch = w.chans[0]
        items = [("One.", 0.1, 2.9), ("Two.", 3.1, 5.9)]
        samples = audio((1, 3.0), (2, 3.0))
        use(w, monkeypatch, ext, None)
        assert worker.make_runs(w, ch, samples, items, True, []) == [(1, "One."), (2, "Two.")]

        class Failing:
            def process(self, samples):
                raise RuntimeError("segmentation broke")

        use(w, monkeypatch, ext, Failing())
        assert worker.make_runs(w, ch, samples, items, True, []) == [(1, "One."), (2, "Two.")]
        assert state == ["neural diarization failed: RuntimeError('segmentation broke')"]


    @pytest.mark.parametrize("final", [True, False])
    def test_a_failing_voiceprint_keeps_the_text(self, state, w, monkeypatch, final):
        class Broken(ScriptedExtractor):
            def compute(self, stream):
                raise RuntimeError("onnxruntime failed")

        use(w, monkeypatch, Broken({}), None)
        ch = w.chans[0]
        ch.voice_sums, ch.gnext, ch.last_spk = {1: basis(1), 2: basis(2)}, 3, 2
        assert worker.make_runs(w, ch, audio((1, 3.0)), ITEMS, final, []) == [
            (2, "Hello there. How are you?")]
        assert state == ["speaker labelling failed: RuntimeError('onnxruntime failed')"]
        assert ch.gnext == 3 and ch.last_spk == 2


# ---------------------------------------------------------------------------------------------
# The real extractor and diarizer on generated models
# ---------------------------------------------------------------------------------------------

def tone(freq, seconds, amplitude=0.3):
    t = np.arange(int(seconds * RATE)) / RATE
    return (amplitude * np.sin(2 * np.pi * freq * t)).astype(np.float32)


def quiet(seconds):
    return np.zeros(int(seconds * RATE), dtype=np.float32)


@pytest.fixture
def real(tmp_path, monkeypatch, state, w, model_store):
    """A data root with the generated speaker model active and the generated detector."""
    root = tmp_path / "root"
    monkeypatch.setenv("DICTATION_ROOT", str(root))
    w.paths = worker.set_up_environment()
    add_speaker_model(root, "wespeaker_en_voxceleb_resnet34_LM.onnx", model_store)
    add_speaker_model(root, "wespeaker_en_voxceleb_CAM++_LM.onnx", model_store)
    worker.load_speaker(w, "resnet34")
    make_segmentation_model.lay_out(str(root))
    return root


def wait_for_trials(w, timeout=60.0):
    deadline = time.monotonic() + timeout
    while w.speakers.trials.running and time.monotonic() < deadline:
        time.sleep(0.02)
    assert not w.speakers.trials.running


def checked_diarizer(w):
    """The diarizer once the detector's trial run (in the background) is over."""
    worker.get_diarizer(w)
    wait_for_trials(w)
    return worker.get_diarizer(w)


def detector_trials(w):
    return [key for key in w.speakers.trials.outcomes if key[0] is worker._DETECTOR_TRIAL]


class TestRealModels:
    def test_voiceprints_of_the_real_extractor(self, real, w):
        low, low2, high = (worker.embed(w.speaker.model, tone(f, 1.0)) for f in (200, 220, 2000))
        assert np.linalg.norm(low) == pytest.approx(1.0, abs=1e-5)
        assert low @ low2 > 0.95 and low @ high < 0.2

    def test_turns_from_the_real_diarizer(self, real, w, state):
        assert checked_diarizer(w) is not None
        ch = w.chans[1]
        samples = np.concatenate([tone(200, 3.0), quiet(0.5), tone(2000, 3.0), quiet(0.5),
                                  tone(220, 3.0)])
        items = [("First voice here.", 0.1, 2.9), ("Second voice now.", 3.6, 6.4),
                 ("First again.", 7.1, 9.9)]
        runs = worker.make_runs(w, ch, samples, items, True, [])
        assert runs == [(1, "First voice here."), (2, "Second voice now."), (1, "First again.")]
        assert sorted(ch.voice_sums) == [1, 2] and ch.last_spk == 1
        assert state[-1] == "DIAR ch1 resnet34 neural: 3 turns, voices [1, 2], known 2"
        # The next utterance by the second voice is matched to the registry.
        runs = worker.make_runs(w, ch, np.concatenate([tone(1900, 2.5), quiet(0.3)]),
                                [("Me again.", 0.1, 2.4)], True, [])
        assert runs == [(2, "Me again.")]
        assert sorted(ch.voice_sums) == [1, 2] and ch.last_spk == 2

    def test_diarizer_built_once_per_speaker_model(self, real, w, capsys):
        t0 = time.monotonic()
        first = checked_diarizer(w)
        built = time.monotonic() - t0
        assert first is not None and worker.get_diarizer(w) is first
        worker.load_speaker(w, "campp")
        second = checked_diarizer(w)
        assert second is not None and second is not first and w.speakers.diarizer_for == "campp"
        assert len(detector_trials(w)) == 2      # one check per (detector, speaker model) pair
        samples = np.concatenate([tone(200, 5.0), tone(2000, 5.0)])
        t0 = time.monotonic()
        runs = worker.make_runs(w, w.chans[0], samples, [("a.", 0.5, 4.5), ("b.", 5.5, 9.5)],
                                True, [])
        labelled = time.monotonic() - t0
        assert [v for v, _ in runs] == [1, 2]
        with capsys.disabled():
            print("\n[figures] generated models: first diarizer (detector check in a child "
                  "process + build) %.2f s; neural labelling of a 10 s final pass %.0f ms"
                  % (built, labelled * 1000))

    def test_the_detector_trial_never_holds_up_a_pass(self, real, w, state, monkeypatch):
        release = threading.Event()
        started = []
        real_trial = w.speakers.trials.run

        def slow_trial(program, *paths):
            if program is worker._DETECTOR_TRIAL:
                started.append(threading.current_thread())
                release.wait(30)
            return real_trial(program, *paths)

        monkeypatch.setattr(w.speakers.trials, "run", slow_trial)
        worker.load_speaker(w, "campp")             # speaker detection is on: the trial starts
        # While it runs, passes get no diarizer and label with the registry.
        assert worker.get_diarizer(w) is None and worker.get_diarizer(w) is None
        runs = worker.make_runs(w, w.chans[0], np.concatenate([tone(200, 3.0), quiet(0.3)]),
                                [("Registry.", 0.1, 2.9)], True, [])
        assert runs == [(1, "Registry.")]
        assert len(started) == 1 and threading.current_thread() not in started
        release.set()
        assert checked_diarizer(w) is not None and w.speakers.diarizer_for == "campp"
        assert "speaker-turn detector usable with wespeaker_en_voxceleb_CAM++_LM.onnx" in state

    def test_no_diarizer_without_detector_or_extractor(self, real, w, monkeypatch):
        os.remove(worker.seg_path(w))
        assert worker.get_diarizer(w) is None
        make_segmentation_model.lay_out(str(real))
        w.speaker.model = None
        assert worker.get_diarizer(w) is None

    def test_a_detector_sherpa_onnx_would_die_on_is_refused(self, real, w, state, model_store):
        # A valid ONNX file without the detector's metadata: sherpa-onnx would end the process.
        add_speaker_model(real, worker.SEG_FILE, model_store)
        assert checked_diarizer(w) is None
        assert worker.get_diarizer(w) is None
        refusals = [line for line in state if line.startswith("speaker-turn detector unusable")]
        assert len(refusals) == 1
        # Speaker detection goes on with the registry.
        runs = worker.make_runs(w, w.chans[0], tone(300, 3.0), [("Still here.", 0.1, 2.9)],
                                True, [])
        assert runs == [(1, "Still here.")]

    def test_registry_path_and_preview_with_the_real_extractor(self, real, w):
        os.remove(worker.seg_path(w))
        ch = w.chans[0]
        samples = np.concatenate([tone(200, 3.0), tone(2000, 3.0), tone(210, 1.0)])
        runs = worker.make_runs(w, ch, samples, [("Low.", 0.1, 2.9), ("High.", 3.1, 5.9),
                                              ("Low", 6.1, 6.9)], True, [])
        assert runs == [(1, "Low."), (2, "High."), (1, "Low")]
        assert worker.make_runs(w, ch, samples, [("x", 0.0, 2.9), ("y", 6.0, 7.0)], False,
                                []) == [(1, "x y")]
        assert worker.make_runs(w, ch, samples, [("x", 3.0, 5.9)], False, []) == [(2, "x")]


# ---------------------------------------------------------------------------------------------
# Downloading the speaker-turn detector
# ---------------------------------------------------------------------------------------------

def detector_archive(tmp_path):
    import io
    import tarfile

    model = make_segmentation_model.write_segmentation_model(str(tmp_path / "made.onnx"))
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w:bz2") as tar:
        tar.add(model, "sherpa-onnx-pyannote-segmentation-3-0/model.onnx")
    with open(model, "rb") as f:
        return data.getvalue(), f.read()


def join_new_threads(before):
    """Waits for the threads started since `before` (the download threads among them)."""
    for t in set(threading.enumerate()) - before:
        try:
            t.join(timeout=30)
        except RuntimeError:        # a server thread caught between creation and start
            pass


class TestDetectorDownload:
    @pytest.fixture
    def seg(self, tmp_path, monkeypatch, state, w, http_server):
        root = tmp_path / "root"
        monkeypatch.setenv("DICTATION_ROOT", str(root))
        w.paths = worker.set_up_environment()
        monkeypatch.setattr(worker, "SEG_URL", http_server.url + "/seg.tar.bz2")
        return http_server, w.send

    def leftovers(self, w):
        return sorted(os.listdir(w.paths.speaker)) if os.path.isdir(w.paths.speaker) else []

    def test_broken_half_way_then_retried(self, seg, w, state, tmp_path):
        server, sent = seg
        archive, model = detector_archive(tmp_path)
        server.routes["/seg.tar.bz2"] = Route(archive, cut_after=len(archive) // 2)
        worker.ensure_segmentation(w)
        assert sent[-2][:2] == ("D", -1)
        assert sent[-1][0] == "S" and sent[-1][1].startswith(
            "Could not download the speaker-turn detector: ")
        assert state[-1].startswith("segmentation model failed: ")
        assert not os.path.exists(worker.seg_path(w)) and w.speakers.download_busy is False
        assert self.leftovers(w) == []
        server.routes["/seg.tar.bz2"] = Route(archive)
        del sent[:]
        worker.ensure_segmentation(w)
        assert sent[-1] == ("S", "Speaker-turn detector ready.")
        with open(worker.seg_path(w), "rb") as f:
            assert f.read() == model
        assert self.leftovers(w) == [worker.SEG_FILE]

    def test_damaged_archive_is_not_kept(self, seg, w, state):
        server, sent = seg
        server.routes["/seg.tar.bz2"] = Route(b"BZh9 this is not an archive" * 100)
        worker.ensure_segmentation(w)
        assert sent[-1][1].startswith("Could not download the speaker-turn detector: ")
        assert self.leftovers(w) == []

    def test_two_options_frames_in_a_row_start_one_download(self, seg, w, tmp_path):
        server, sent = seg
        archive, _ = detector_archive(tmp_path)
        server.routes["/seg.tar.bz2"] = Route(archive, delay=0.3)
        before = set(threading.enumerate())
        handle(w, "L", b"en|ru|1|1|60")
        handle(w, "L", b"en|ru|1|1|75")
        join_new_threads(before)
        assert [r for r in server.requests if r[1] == "/seg.tar.bz2"] == [
            ("GET", "/seg.tar.bz2")]
        assert [f for f in sent if f[0] == "S"] == [
            ("S", "Downloading the speaker-turn detector (6 MB, one time only)..."),
            ("S", "Speaker-turn detector ready.")]
        assert w.options.sens == 75 and os.path.isfile(worker.seg_path(w))
        # Present now: a further frame with diarize on fetches nothing and says nothing.
        count = len(sent)
        handle(w, "L", b"en|ru|1|1|60")
        join_new_threads(before)
        assert len(sent) == count and len(server.requests) == 1
