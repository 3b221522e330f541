"""What waits at a minute's end, the minute's partial passes and the text model's share, counted on
a recorded run as the soak counts them."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import live_figures  # noqa: E402
import soak  # noqa: E402
from soak import EndFrame  # noqa: E402


def line(t, kind, ch, text):
    return (t, [kind, str(ch), "0", "en", text])


class Recorded:
    """A soak's job and worker run as they stand after two minutes."""

    def __init__(self):
        self.started = {1: 100.0, 2: 160.0}
        self.ends = [EndFrame(1, 0, 109.9, 110.0), EndFrame(1, 0, 119.9, 120.0),
                     EndFrame(1, 1, 129.9, 130.0), EndFrame(2, 1, 164.9, 165.0),
                     EndFrame(2, 0, 169.9, 170.0)]
        # (channel, final, audio s, start, end, processor s, "F" lines)
        self.passes = [(0, False, 2.0, 105.0, 106.0, 1.0, 0), (0, True, 4.0, 110.1, 112.0, 2.0, 1),
                       (0, True, 3.0, 120.1, 161.0, 9.0, 1),    # ends after minute 1 is over
                       (1, True, 2.0, 130.1, 131.0, 1.0, 1), (1, False, 2.0, 150.0, 151.0, 1.0, 0),
                       (1, True, 2.0, 165.1, 166.0, 1.0, 1), (0, True, 2.0, 170.1, 172.0, 1.0, 1)]
        self.lines = [line(112.0, "F", 0, "One."),
                      line(131.0, "F", 1, "Two."),                       # never translated
                      line(161.0, "F", 0, "Three."), line(163.0, "U", 0, "x"),
                      line(166.0, "U", 0, "y"),
                      line(166.0, "F", 1, ""), line(172.0, "F", 0, "Four.")]
        # (end, real cpu, real wall, shape cpu, shape wall, calls)
        self.shapes = [(106.0, 0.25, 0.3, 1.0, 1.2, 3), (112.0, 0.5, 0.6, 2.0, 2.4, 3),
                       (161.0, 2.0, 2.5, 8.0, 9.0, 6)]
        self.proc = None


def test_what_waits_at_each_minutes_end_and_the_minutes_passes():
    run = Recorded()
    first = soak.minute_figures(run, run, 1, "small")
    # at 160: channel 0 ended twice and one final pass finished; "One." waits for its "U" line
    # until 163, "Two." for ever; at most: at 130, channel 0's long final pass and channel 1's
    # new end frame
    assert first == soak.MinuteFigures(partial_passes=2, recognizing=1, translating=2,
                                       most_recognizing=2, most_translating=2, own_cpu=0.75)
    second = soak.minute_figures(run, run, 2, None)
    # at 220 everything is recognized; "Two." and "Four." are still untranslated; at 161 "One.",
    # "Two." and "Three." waited together; at 165 and 170 one utterance waited each time
    assert second == soak.MinuteFigures(0, 0, 2, 1, 3, None)


def test_the_most_that_waits_at_once():
    run = Recorded()
    ends = [(e.channel, e.after) for e in run.ends]
    answers = soak.finished_line_answers(run.lines)
    # at 130 the long final pass of channel 0 holds one utterance and channel 1 has just ended
    # one; at 161 three finished lines wait
    assert live_figures.most_waiting(ends, run.passes, answers) == (2, 3)
    assert live_figures.waiting_at(109.0, ends, run.passes, answers) == (0, 0)


def test_the_shown_text_moves_only_when_a_channel_shows_something_new():
    events = [(10.0, "onset", 0), (11.0, "onset", 1), (20.0, "E", 0), (15.0, "E", 1),
              (30.0, "onset", 0)]                     # still speaking: no utterance yet
    spans = live_figures.speech_spans(events)
    assert spans == [(1, 11.0, 15.0), (0, 10.0, 20.0)]
    lines = [line(13.0, "P", 0, "Hello"),
             line(13.5, "P", 1, "Other side"),      # the other channel moves nothing here
             line(16.0, "P", 0, "Hello"),           # the same text again: no change
             line(17.0, "F", 0, "Hello there."),
             line(17.1, "P", 0, ""),                # cleared after the commit: nothing new shown
             line(18.0, "P", 0, "and"),
             line(21.0, "P", 0, "and more")]        # after the "E": not while speaking
    first, gaps = live_figures.partial_text_gaps(lines, spans)
    assert first == [2.5, 3.0]
    assert gaps == [1.5, 4.0, 1.0, 2.0]


def test_an_utterance_whose_text_never_moved_waited_its_whole_length():
    spans = [(0, 10.0, 16.0)]
    lines = [line(9.0, "P", 0, "earlier"), line(16.5, "F", 0, "Late.")]
    assert live_figures.partial_text_gaps(lines, spans) == ([6.0], [])
