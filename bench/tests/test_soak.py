"""The soak's pairing of "E" frames with the last "F" line of their answers, on a canned run, and
the utterances it notes from the frames it writes."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import live_figures  # noqa: E402
import soak  # noqa: E402
import speech  # noqa: E402
from soak import EndFrame, Pass  # noqa: E402


def end(channel, at, minute=1):
    return EndFrame(minute, channel, at, at + 0.001)


def test_each_end_frame_gets_the_last_line_of_its_own_final_pass():
    passes = [
        Pass(0, False, 1.0, 1),   # a partial pass that committed one sentence early
        Pass(1, True, 1.5, 1),    # the other channel's final pass in between
        Pass(0, False, 2.0, 0),
        Pass(0, True, 3.0, 2),    # answers the first end frame of channel 0 with two sentences
        Pass(0, True, 6.0, 1),    # the next utterance: no partial pass, a final pass at once
        Pass(1, True, 6.5, 1),    # answers both end frames of channel 1 that came before it
    ]
    f_arrivals = {0: [1.2, 3.4, 3.6, 6.3], 1: [1.7, 6.8]}
    ends = [end(0, 2.9), end(1, 1.4), end(0, 5.9), end(1, 5.0), end(1, 6.4)]
    assert soak.answer_times(ends, passes, f_arrivals) == [3.6, 1.7, 6.3, 6.8, 6.8]


def test_a_pass_that_took_the_audio_before_the_frame_arrived_is_not_its_answer():
    # The final pass started a moment after the frame began its way, but its last line came
    # before the frame was written through: it answered the previous end frame.
    passes = [Pass(0, True, 1.0005, 1), Pass(0, True, 2.0, 1)]
    ends = [EndFrame(1, 0, 1.0, 1.5)]
    assert soak.answer_times(ends, passes, {0: [1.2, 2.4]}) == [2.4]


def test_unanswered_frames_stay_none():
    passes = [Pass(0, True, 1.0, 0),    # a final pass that sent no "F" line at all
              Pass(0, True, 3.0, 2)]    # its lines have not all arrived yet
    ends = [end(0, 0.5), end(0, 2.5), end(1, 0.5)]
    assert soak.answer_times(ends, passes, {0: [3.2], 1: []}) == [None, None, None]
    times, unanswered = soak.latencies(ends, [None, 3.5, None], minute=1)
    assert (len(times), unanswered) == (1, 2) and abs(times[0] - (3.5 - 2.501)) < 1e-9


def test_verdict_catches_growth_against_minute_two():
    sample = soak.Sample(400.0, 300.0, 10, 8, 0.0)
    medians = [2.0, 1.0, 1.05]
    _, met = soak.verdict(medians, [sample, sample, sample], 0)
    assert met
    for later, unanswered in ((soak.Sample(441.0, 341.0, 10, 8, 0.0), 0),    # memory +10.25 %
                              (soak.Sample(400.0, 300.0, 11, 8, 0.0), 0),    # one more thread
                              (soak.Sample(400.0, 300.0, 10, 9, 0.0), 0),    # one more open file
                              (sample, 1)):                           # an unanswered frame
        lines, met = soak.verdict(medians, [sample, sample, later], unanswered)
        assert not met and "MISSED" in "\n".join(lines)
    assert not soak.verdict([2.0, 1.0, 1.2], [sample] * 3, 0)[1]
    # quicker answers and less memory at the end are no growth
    smaller = soak.Sample(300.0, 200.0, 10, 8, 0.0)
    assert soak.verdict([2.0, 1.0, 0.8], [sample, sample, smaller], 0)[1]


def f_u(t, kind, ch, text):
    return (t, [kind, str(ch), "0", "en", text])


def test_translation_figures_pair_per_channel_and_count_missing_translations_by_minute():
    lines = [f_u(1.0, "F", 0, "One."), f_u(2.0, "F", 1, "Two."), f_u(3.0, "U", 1, "<2>"),
             f_u(4.0, "F", 0, ""), f_u(61.0, "U", 0, ""), f_u(62.0, "U", 0, ""),
             f_u(63.0, "F", 1, "Three."), f_u(64.0, "F", 0, "Four.")]
    # "One." waited 60 s (its empty translation counts); the empty line is no finished line
    assert soak.translation_figures(lines, 0.0, 60.0) == ([60.0, 1.0], 0)
    assert soak.translation_figures(lines, 60.0, 120.0) == ([], 2)


def test_with_translation_the_goal_also_asks_for_a_steady_lag_and_every_line_translated():
    sample = soak.Sample(100.0, 80.0, 10, 20, 1.0)
    base = dict(medians=[1.0, 1.0, 1.0], samples=[sample] * 3, unanswered=0)
    assert soak.verdict(**base, lag_medians=[2.0, 2.0, 2.9], untranslated=0)[1]
    assert not soak.verdict(**base, lag_medians=[2.0, 2.0, 3.1], untranslated=0)[1]
    assert not soak.verdict(**base, lag_medians=[2.0, 2.0, 2.0], untranslated=1)[1]
    assert soak.verdict(**base)[1]


def test_the_soak_notes_each_utterance_from_its_first_audio_to_its_end():
    written = []

    class Run:
        write = written.append

    job = soak.Soak(Run())
    job.minute = 1
    frames = [speech.frame("A", b"\x00" + b"\x00" * 64), speech.frame("A", b"\x01" + b"\x00" * 64),
              speech.frame("A", b"\x00" + b"\x00" * 64), speech.frame("E", b"\x00"),
              speech.frame("A", b"\x00" + b"\x00" * 64), speech.frame("E", b"\x01"),
              speech.frame("L", "en|ru|0|0|60")]
    for data in frames:
        job.write(data)
    assert written == frames
    assert [(kind, ch) for _, kind, ch in job.events] == [
        ("onset", 0), ("onset", 1), ("E", 0), ("onset", 0), ("E", 1)]
    assert [(e.minute, e.channel) for e in job.ends] == [(1, 0), (1, 1)]
    spans = live_figures.speech_spans(job.events)
    assert [ch for ch, _, _ in spans] == [0, 1]
