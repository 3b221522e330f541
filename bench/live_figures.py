"""Figures of a live run read back from what it recorded: what waits at a given moment, partial
passes in a stretch of time, how often the shown text moves while someone speaks, and the
recognizer double's share (SHAPE lines of the timed worker).

The records, all on the monotonic clock:
- end frames: (channel, time the "E" frame was written);
- passes: the timed worker's PASS lines as worker_process.WorkerProcess keeps them, (channel,
  final, audio seconds, start, end, processor seconds, "F" lines, ...);
- finished lines: soak.finished_line_answers() of the worker's lines, (arrival, lag to its "U"
  line or None, translated);
- speech spans: (channel, first audio frame of an utterance, its "E" frame);
- worker lines: (arrival, fields) as worker_process.WorkerProcess keeps them;
- shape records: the timed worker's SHAPE lines as worker_process.WorkerProcess keeps them, (end,
  real cpu, real wall, shape cpu, shape wall, calls) per pass.
"""


def waiting_at(t, end_frames, passes, finished_lines):
    """(ended utterances not yet recognized, finished lines not yet translated) at time t.

    An utterance waits from its "E" frame until a final pass of its channel has finished for
    it: per channel, the "E" frames written by t less the final passes finished by t. A finished
    line waits from its arrival until its "U" line."""
    recognizing = 0
    for ch in sorted({c for c, _ in end_frames} | {p[0] for p in passes}):
        ended = sum(1 for c, at in end_frames if c == ch and at <= t)
        finished = sum(1 for p in passes if p[0] == ch and p[1] and p[4] <= t)
        recognizing += max(0, ended - finished)
    translating = sum(1 for arrival, lag, _ in finished_lines
                      if arrival <= t and (lag is None or arrival + lag > t))
    return recognizing, translating


def most_waiting(end_frames, passes, finished_lines, start=float("-inf"), end=float("inf")):
    """The most utterances and the most finished lines waiting at any one moment in [start, end)
    (each at the moment it was largest: when an "E" frame or a finished line came)."""
    moments = [at for _, at in end_frames] + [arrival for arrival, _, _ in finished_lines]
    moments = [t for t in moments if start <= t < end]
    counts = [waiting_at(t, end_frames, passes, finished_lines) for t in moments] or [(0, 0)]
    return max(c[0] for c in counts), max(c[1] for c in counts)


def partial_passes(passes, start, end):
    """How many partial passes started in [start, end)."""
    return sum(1 for p in passes if not p[1] and start <= p[3] < end)


def speech_spans(events):
    """(channel, onset, end) of each utterance, from a feed's events: (time, "onset" or "E",
    channel). An onset without its "E" yet is no utterance."""
    spans, onsets = [], {}
    for t, kind, ch in sorted(events):
        if kind == "onset":
            onsets.setdefault(ch, t)
        elif kind == "E" and ch in onsets:
            spans.append((ch, onsets.pop(ch), t))
    return spans


def shown_text_changes(lines):
    """Per channel, when the text the window shows for it changed: every "F" line with text, and
    every "P" line whose text differs from the channel's previous "P" line (a pass that found
    nothing new moves nothing)."""
    changes, shown = {}, {}
    for t, fields in lines:
        if len(fields) < 5 or fields[0] not in ("P", "F"):
            continue
        ch, text = int(fields[1]), fields[4]
        if fields[0] == "F":
            if text:
                changes.setdefault(ch, []).append(t)
            shown[ch] = ""
        elif text != shown.get(ch, ""):
            changes.setdefault(ch, []).append(t)
            shown[ch] = text
    return changes


def partial_text_gaps(lines, spans):
    """(first, gaps): per utterance, seconds from its onset to the first change of its channel's
    shown text (its end when nothing changed before it); and every stretch without a change while
    it is spoken: between two changes, and from the last change to the "E" frame."""
    changes = shown_text_changes(lines)
    first, gaps = [], []
    for ch, onset, end in spans:
        moved = [t for t in changes.get(ch, []) if onset < t < end]
        first.append(moved[0] - onset if moved else end - onset)
        gaps += [later - earlier for earlier, later in zip(moved, moved[1:] + [end])]
    return first, gaps


def real_model_cpu(records, start=float("-inf"), end=float("inf")):
    """(processor seconds of the loaded model's own calls, of the shape's calls) in the passes
    that ended in [start, end)."""
    mine = [r for r in records if start <= r[0] < end]
    return sum(r[1] for r in mine), sum(r[3] for r in mine)
