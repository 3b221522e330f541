"""Soak: minutes of live speech and non-speech through feed_wav into one worker (tiny.en, CPU).

    python bench/soak.py [--minutes N] [--keep DIR] [--translate] [--recognizer-shape small]
                         [--worker COMMIT]

Every minute plays the same one-minute program on both channels, in real time, through
dist/linux/feed_wav into a worker that runs for the whole soak: sentences in several espeak-ng
voices, a monologue long enough for streaming commit, talk on both channels at once, pauses,
noise, mains hum and tones. As the audio repeats, the minutes differ only in what the worker
carries from one to the next.

Printed per minute: the time from the write of each "E" frame to the arrival of the last "F"
line of the final pass that answered it (median and worst), the worker's resident memory,
threads and open files at the minute's end, its CPU time in the minute and the machine's load;
then the minute's partial passes and what waits at its end and at most during it: ended
utterances not yet recognized ("E" frames written less final passes finished) and, with
translation, finished lines without their "U" line yet.
At the end the goal: at the last minute, latency (median) and memory within 10 % of minute 2,
no more threads or open files than at minute 2, and every "E" answered. Exit code 0 when it
is met.

On Linux, glibc keeps the large buffers that the worker's threads free in its per-thread arenas,
so resident memory climbs for the first 10 to 20 minutes and then levels off. With
MALLOC_MMAP_THRESHOLD_=131072 in the environment those buffers go back to the system at once and
the figure follows what the worker actually holds (at the price of slower passes). Latency follows
the machine's load (the last column) more than anything the worker carries.

With --translate the worker translates everything into Russian with a model of the shape of
NLLB-200 distilled 1.3B (random weights, decoding held to a real sentence's length: see
bench/translation_bench.py; the translation cache forgets after half a minute, since the minutes
repeat), and each minute also shows the lag from each "F" line to its "U"
line (median, worst) and the finished lines still without a "U" line; the goal then also asks
for every finished line answered by its "U" line and a lag at the last minute no longer than at minute 2 (with
10 % or 1 s of slack).

With --recognizer-shape NAME the recognizer costs what Whisper of that shape would (tiny.en still
gives the text; bench/recognizer_double.py), and each minute also shows the processor seconds of
tiny.en's own calls, which the figures overstate the shape's cost by. --worker COMMIT runs that
commit's worker instead of this tree's.
"""
import argparse
import bisect
import collections
import os
import queue
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import recognition_bench  # noqa: E402  (also puts worker/tests and tools/models on the path)
import lay_out_whisper  # noqa: E402
import live_figures  # noqa: E402
import make_whisper_model  # noqa: E402
import make_translation_model  # noqa: E402
import speech  # noqa: E402
import worker_process  # noqa: E402

MINUTE = 60.0
QUIET_TAIL = 5.0         # each channel's program ends in silence, so a minute's answers are in
ANSWER_WAIT = 30.0       # after a minute's audio, how long its answers may still take
OPTIONS = "en|none|0|0|60"
TRANSLATING_OPTIONS = "en|ru|0|0|60"
TRANSLATION_SHAPE = "nllb13"
LAG_SLACK = 1.0
# the echo filter would hold the microphone back whenever the other side has just spoken
SETTINGS = ["echo=0"]
TOLERANCE = 0.10

EndFrame = collections.namedtuple("EndFrame", "minute channel before after")
Pass = collections.namedtuple("Pass", "channel final start finished")
Sample = collections.namedtuple("Sample", "rss_mb anon_mb threads files cpu_seconds")

MONOLOGUE = [
    "Good morning everyone and thank you for coming.",
    "Today I want to talk about our plans for the next year.",
    "First we will open a new office in the city.",
    "Then we will hire more people for the support team.",
    "Our customers told us that the setup takes too long.",
    "So we will make it simpler and faster.",
]
MONOLOGUE_GAP = 0.3      # shorter than the front end's end of utterance: one long utterance

# (pause before, what) per channel; what is ("say", voice, text), ("say", voice, [texts]) for
# sentences run together, or ("synth", seconds, sox synth arguments...).
MICROPHONE = [
    (0.5, ("say", "en-gb", "The weather is nice today.")),
    (1.2, ("say", "en-us", MONOLOGUE)),
    (1.5, ("synth", 2.0, "pinknoise", "vol", "0.05")),
    (1.0, ("say", "en-gb-x-rp", "Can you send me the report by email?")),
    (1.0, ("synth", 3.0, "square", "50", "vol", "0.1")),
    (1.0, ("say", "en-us+f3", "Yes.")),
    (1.5, ("say", "en-029", "Turn left at the next corner.")),
]
SYSTEM_AUDIO = [
    (3.0, ("say", "en-us-nyc", "Hello, can you hear me?")),
    (2.0, ("synth", 1.5, "sine", "440", "vol", "0.3")),
    (1.0, ("say", "en-gb-scotland", "I sent the budget yesterday.")),
    (3.0, ("synth", 1.0, "whitenoise", "vol", "0.1")),
    (2.0, ("synth", 2.0, "sine", "300-3000", "vol", "0.3")),
    (2.0, ("say", "en-gb-x-gbclan", ["She is reading a book in the garden.",
                                     "We need more time to finish the project."])),
    (3.0, ("synth", 3.0, "brownnoise", "vol", "0.1")),
    (2.0, ("say", "en-us", "Goodbye, talk to you soon.")),
]


# ---------------------------------------------------------------------------------------------
# The minute's audio
# ---------------------------------------------------------------------------------------------

def synth(path, seconds, *arguments):
    subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", path, "synth",
                    "%.3f" % seconds] + list(arguments), check=True)
    return path


def build_channel(folder, name, program):
    """One channel's minute: the program's parts after their pauses, then silence to 60 s."""
    parts, n = [], 0

    def piece(kind):
        nonlocal n
        n += 1
        return os.path.join(folder, "%s-%02d-%s.wav" % (name, n, kind))

    for pause, what in program:
        parts.append(speech.silence(piece("pause"), pause))
        if what[0] == "synth":
            parts.append(synth(piece("synth"), *what[1:]))
            continue
        voice, texts = what[1], what[2]
        for i, text in enumerate([texts] if isinstance(texts, str) else texts):
            if i:
                parts.append(speech.silence(piece("gap"), MONOLOGUE_GAP))
            parts.append(speech.speak(piece("say"), text, voice=voice))
    played = sum(speech.seconds_of(p) for p in parts)
    if played > MINUTE - QUIET_TAIL:
        raise ValueError("the %s program lasts %.1f s; it must leave %.0f s of silence"
                         % (name, played, QUIET_TAIL))
    parts.append(speech.silence(piece("tail"), MINUTE - played))
    return speech.join(os.path.join(folder, "%s.wav" % name), parts)


def build_minute(folder):
    os.makedirs(folder, exist_ok=True)
    return [build_channel(folder, "microphone", MICROPHONE),
            build_channel(folder, "system-audio", SYSTEM_AUDIO)]


# ---------------------------------------------------------------------------------------------
# Pairing "E" frames with their answers
# ---------------------------------------------------------------------------------------------

def answer_times(ends, passes, f_arrivals):
    """For each end frame, the arrival time of the last "F" line that answered it, or None.

    passes: the worker's passes in the order it ran them; f_arrivals: per channel, the arrival
    times of its "F" lines in order. Counting each channel's "F" lines pass by pass says which
    lines a pass sent. An end frame is answered by the first final pass of its channel that
    started after the frame began its way and whose last line came after the frame was written
    (a pass that took the audio just before the frame arrived may start a moment later).
    None: no such pass yet, its lines are still on their way, or it sent no "F" line at all.
    """
    starts, lasts = {0: [], 1: []}, {0: [], 1: []}
    sent = {0: 0, 1: 0}
    for p in passes:
        sent[p.channel] += p.finished
        if p.final:
            starts[p.channel].append(p.start)
            lasts[p.channel].append(sent[p.channel] - 1 if p.finished else None)
    answers = []
    for end in ends:
        answer = None
        first = bisect.bisect_left(starts[end.channel], end.before)
        for last in lasts[end.channel][first:]:
            if last is None or last >= len(f_arrivals[end.channel]):
                break
            if f_arrivals[end.channel][last] >= end.after:
                answer = f_arrivals[end.channel][last]
                break
        answers.append(answer)
    return answers


def latencies(ends, answers, minute):
    """(latencies of the minute's answered end frames, how many of its frames are unanswered)"""
    mine = [(e, a) for e, a in zip(ends, answers) if e.minute == minute]
    return [a - e.after for e, a in mine if a is not None], sum(1 for _, a in mine if a is None)


def finished_line_answers(lines):
    """Per non-empty "F" line: (its arrival time, seconds until its "U" line or None while none
    came, whether that "U" carried a translation)."""
    return [(a.arrived, a.lag, bool(a.translation)) for a in worker_process.answer_lags(lines)
            if a.text]


def translation_figures(lines, start, end):
    """(lags of the finished lines that arrived in [start, end), how many of them have no "U"
    line (yet)). An empty translation counts as one: a model with random weights mostly decodes
    tokens that its small tokenizer does not know."""
    mine = [a for a in finished_line_answers(lines) if start <= a[0] < end]
    return ([lag for _, lag, _ in mine if lag is not None],
            sum(1 for _, lag, _ in mine if lag is None))


def translation_cells(lags, untranslated):
    return "  %14s  %7s  %12d" % ("%.2f s" % statistics.median(lags) if lags else "-",
                                  "%.2f s" % max(lags) if lags else "-", untranslated)


TRANSLATION_HEADER = "  %14s  %7s  %12s" % ("F to U: median", "worst", "without U")


def waiting_header(translate, shape):
    """The columns of what waits at each minute's end, the minute's partial passes and (with a
    recognizer double) the processor seconds of the loaded model's own calls."""
    names = ["partial passes", "E waiting: end, most"]
    names += ["F waiting: end, most"] if translate else []
    names += ["text model CPU s"] if shape else []
    return "".join("  %s" % n for n in names)


def waiting_cells(header, values):
    widths = [len(n) for n in header.split("  ")[1:]]
    return "".join("  %*s" % (w, v) for w, v in zip(widths, values))


def observed(run):
    """The worker's passes and each channel's "F" arrival times, as read so far."""
    passes = [Pass(p[0], p[1], p[3], p[6]) for p in list(run.passes)]
    f_arrivals = {0: [], 1: []}
    for t, fields in list(run.lines):
        if fields[0] == "F" and len(fields) > 1 and fields[1] in ("0", "1"):
            f_arrivals[int(fields[1])].append(t)
    return passes, f_arrivals


# ---------------------------------------------------------------------------------------------
# The worker process as the system sees it
# ---------------------------------------------------------------------------------------------

def proc_sample(pid):
    with open("/proc/%d/status" % pid) as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))
    def mb(key):
        return int(status[key].split()[0]) / 1024.0

    return Sample(mb("VmRSS"), mb("RssAnon"), int(status["Threads"]),
                  len(os.listdir("/proc/%d/fd" % pid)), cpu)


# ---------------------------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------------------------

COLUMNS = [("minute", 6), ("utterances", 10), ("unanswered", 10), ("E to last F: median", 19),
           ("worst", 7), ("memory MB", 9), ("of it anonymous", 16), ("threads", 7),
           ("open files", 10), ("CPU s", 5), ("load", 4)]
HEADER = "  ".join(name.rjust(width) for name, width in COLUMNS)


def row(minute, times, unanswered, sample, cpu_in_minute, load):
    median = "%.2f s" % statistics.median(times) if times else "-"
    worst = "%.2f s" % max(times) if times else "-"
    values = [str(minute), str(len(times) + unanswered), str(unanswered), median, worst,
              "%.1f" % sample.rss_mb, "%.1f" % sample.anon_mb, str(sample.threads),
              str(sample.files),
              "%.1f" % cpu_in_minute, "%.1f" % load]
    return "  ".join(v.rjust(width) for v, (_, width) in zip(values, COLUMNS))


def within(value, reference):
    """Not grown beyond the tolerance: a figure that fell is no growth."""
    return value <= reference * (1 + TOLERANCE)


def verdict(medians, samples, unanswered, lag_medians=None, untranslated=0):
    """Lines comparing the last minute with minute 2, and whether the goal is met. With
    lag_medians (translation on) also the lag from "F" to "U" and the untranslated lines."""
    last = len(samples)
    if last < 2:
        return ["goal: needs at least 2 minutes"], False
    m2, mn = medians[1], medians[last - 1]
    s2, sn = samples[1], samples[last - 1]
    checks = []
    if m2 is None or mn is None:
        checks.append(("latency median: no answered utterance in minute 2 or %d" % last, False))
    else:
        checks.append(("latency median %.2f s against %.2f s (%+.1f %%)"
                       % (mn, m2, 100.0 * (mn - m2) / m2), within(mn, m2)))
    checks.append(("resident memory %.1f MB against %.1f MB (%+.1f %%)"
                   % (sn.rss_mb, s2.rss_mb, 100.0 * (sn.rss_mb - s2.rss_mb) / s2.rss_mb),
                   within(sn.rss_mb, s2.rss_mb)))
    checks.append(("threads %d against %d (most in any minute %d)"
                   % (sn.threads, s2.threads, max(s.threads for s in samples)),
                   sn.threads <= s2.threads))
    checks.append(("open files %d against %d (most in any minute %d)"
                   % (sn.files, s2.files, max(s.files for s in samples)), sn.files <= s2.files))
    checks.append(("unanswered E frames over the whole soak: %d" % unanswered, unanswered == 0))
    if lag_medians is not None:
        l2, ln = lag_medians[1], lag_medians[last - 1]
        if l2 is None or ln is None:
            checks.append(("F to U lag: no translated line in minute 2 or %d" % last, False))
        else:
            checks.append(("F to U lag median %.2f s against %.2f s" % (ln, l2),
                           ln <= max(l2 * (1 + TOLERANCE), l2 + LAG_SLACK)))
        checks.append(("finished lines without a U line over the whole soak: %d"
                       % untranslated, untranslated == 0))
    lines = ["goal, minute %d against minute 2:" % last]
    lines += ["  %-70s %s" % (text, "ok" if good else "MISSED") for text, good in checks]
    met = all(good for _, good in checks)
    lines.append("verdict: goal %s" % ("met" if met else "missed"))
    return lines, met


# ---------------------------------------------------------------------------------------------
# The soak
# ---------------------------------------------------------------------------------------------

class Soak:
    def __init__(self, run):
        self.run = run
        self.minute = 0
        self.started = {}       # minute -> when its audio began
        self.ends = []
        self.events = []        # (time, "onset" or "E", channel), as speech.Feed notes them
        self.speaking = set()

    def write(self, data):
        kind = data[:1]
        if kind not in (b"A", b"E") or len(data) < 6:
            self.run.write(data)
            return
        before = time.monotonic()
        self.run.write(data)
        ch = data[5]
        if kind == b"A":
            if ch not in self.speaking:
                self.speaking.add(ch)
                self.events.append((before, "onset", ch))
            return
        self.speaking.discard(ch)
        self.events.append((before, "E", ch))
        self.ends.append(EndFrame(self.minute, ch, before, time.monotonic()))

    def answers(self):
        passes, f_arrivals = observed(self.run)
        return answer_times(self.ends, passes, f_arrivals)

    def wait_for_answers(self, minute, deadline):
        ends = [e for e in self.ends if e.minute == minute]
        while time.monotonic() < deadline and self.run.proc.poll() is None:
            if None not in answer_times(ends, *observed(self.run)):
                return
            time.sleep(0.5)

    def write_utterances(self, path):
        """One row per end frame: minute, channel, seconds into the minute, latency."""
        with open(path, "w") as f:
            f.write("minute\tchannel\tE at s\tE to last F s\n")
            for e, a in zip(self.ends, self.answers()):
                latency = "%.3f" % (a - e.after) if a is not None else "-"
                f.write("%d\t%d\t%.2f\t%s\n" % (e.minute, e.channel,
                                                 e.after - self.started[e.minute], latency))

    def check_counts(self):
        """A pairing that rests on counts must see every "F" line the passes say they sent."""
        passes, f_arrivals = observed(self.run)
        for ch in (0, 1):
            counted = sum(p.finished for p in passes if p.channel == ch)
            if counted != len(f_arrivals[ch]):
                return ("warning: channel %d: the passes report %d \"F\" lines, %d arrived; "
                        "the latencies may be paired wrongly" % (ch, counted, len(f_arrivals[ch])))
        return None


# What waits: at the minute's end, and the most at any moment of the minute.
MinuteFigures = collections.namedtuple("MinuteFigures", "partial_passes recognizing translating "
                                                      "most_recognizing most_translating own_cpu")


def minute_cells(m, translate, shape):
    return ([str(m.partial_passes), "%d, %d" % (m.recognizing, m.most_recognizing)]
            + (["%d, %d" % (m.translating, m.most_translating)] if translate else [])
            + (["%.1f" % m.own_cpu] if shape else []))


def minute_figures(job, run, minute, shape):
    """The minute's partial passes, what waits at its end, and the loaded model's own processor
    seconds in it (with a recognizer double)."""
    start = job.started[minute]
    end = start + MINUTE
    passes = list(run.passes)
    ends = [(e.channel, e.after) for e in job.ends]
    answers = finished_line_answers(run.lines)
    recognizing, translating = live_figures.waiting_at(end, ends, passes, answers)
    most = live_figures.most_waiting(ends, passes, answers, start, end)
    own = live_figures.real_model_cpu(list(run.shapes), start, end)[0]
    return MinuteFigures(live_figures.partial_passes(passes, start, end), recognizing,
                         translating, most[0], most[1], own if shape else None)


def soak_summary(job, run, samples, per_minute, cpu_before, untranslated, met):
    answered = [a - e.after for e, a in zip(job.ends, job.answers()) if a is not None]
    answers = finished_line_answers(run.lines)
    seconds = MINUTE * len(samples)
    records = list(run.shapes)
    first_text, gaps = live_figures.partial_text_gaps(run.lines,
                                                      live_figures.speech_spans(job.events))
    return {"latencies": answered, "lags": [lag for _, lag, _ in answers if lag is not None],
            "first_text": first_text, "text_gaps": gaps,
            "untranslated": untranslated, "audio": seconds,
            "cpu": samples[-1].cpu_seconds - cpu_before if samples else 0.0,
            "own_cpu": live_figures.real_model_cpu(records)[0],
            "per_minute": per_minute, "memory": [s.rss_mb for s in samples], "goal": met}


def keep_smaps(pid, folder, minute):
    """The worker's memory map at a minute's end, to tell later which mappings grew."""
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile("/proc/%d/smaps" % pid, os.path.join(folder, "minute-%02d.txt" % minute))


def soak(minutes, folder, kept=False, translate=False, shape=None, worker_dir="", model="tiny.en",
         summary=None):
    """Runs the soak and prints it; returns the exit code. shape: a Whisper shape whose cost the
    recognizer takes on (bench/recognizer_double.py); worker_dir: an older worker's folder;
    summary: a dict that receives the soak's figures (see soak_summary)."""
    root = os.path.join(folder, "root")
    lay_out_whisper.lay_out(root, model)
    options, env = OPTIONS, {}
    if shape:
        made = make_whisper_model.real_shape_model(shape)
        env["BENCH_RECOGNIZER_SHAPE"] = shape
        if made.seconds:
            print("generated the Whisper %s shape in %.0f s (%.0f MB)" % (shape, made.seconds,
                                                                       made.megabytes))
    if translate:
        _, made = make_translation_model.lay_out_real(root, TRANSLATION_SHAPE)
        options = TRANSLATING_OPTIONS
        env.update({"TRANSLATION_MODEL": TRANSLATION_SHAPE, "BENCH_HOLD_DECODING": "1",
                    "BENCH_FORGET_TRANSLATIONS": "%.0f" % (MINUTE / 2)})
        if made.seconds:
            print("generated the %s shape in %.0f s (%.0f MB)" % (TRANSLATION_SHAPE, made.seconds,
                                                                 made.megabytes))
    wavs = build_minute(os.path.join(folder, "audio"))
    print("machine: %d cores; worker%s: %s on the CPU%s, %s; %d minute(s) of the same "
          "one-minute program on both channels" % (
              os.cpu_count(), " of " + worker_dir if worker_dir else "", model,
              " at the cost of Whisper %s's shape" % shape if shape else "",
              "translating into Russian with the %s shape" % TRANSLATION_SHAPE
              if translate else "no translation model", minutes), flush=True)

    run = recognition_bench.timed_worker(root, worker_dir, model, extra_env=env)
    try:
        print("worker %d: %s" % (run.proc.pid, run.start_up(timeout=300)[-1][1]), flush=True)
    except (queue.Empty, AssertionError):
        print("the worker did not become ready; its log:\n  " + "\n  ".join(run.stderr[-20:]))
        run.stop(None)
        return 1
    job = Soak(run)
    samples, load_at, medians, lag_medians, quit_frame = [], [], [], [], None
    cpu_before = proc_sample(run.proc.pid).cpu_seconds
    waiting = waiting_header(translate, shape)
    print(HEADER + (TRANSLATION_HEADER if translate else "") + waiting, flush=True)
    per_minute = []

    def report(minute):
        job.wait_for_answers(minute, time.monotonic() + ANSWER_WAIT)
        times, unanswered = latencies(job.ends, job.answers(), minute)
        medians.append(statistics.median(times) if times else None)
        cpu = samples[minute - 1].cpu_seconds - (samples[minute - 2].cpu_seconds
                                                  if minute > 1 else cpu_before)
        text = row(minute, times, unanswered, samples[minute - 1], cpu, load_at[minute - 1])
        if translate:
            lags, untranslated = translation_figures(
                run.lines, job.started[minute], job.started.get(minute + 1, float("inf")))
            lag_medians.append(statistics.median(lags) if lags else None)
            text += translation_cells(lags, untranslated)
        figures = minute_figures(job, run, minute, shape)
        per_minute.append(figures)
        text += waiting_cells(waiting, minute_cells(figures, translate, shape))
        print(text, flush=True)

    failure = None
    for minute in range(1, minutes + 1):
        job.minute = minute
        job.started[minute] = time.monotonic()
        feed = speech.Feed(job.write, wavs, options=options, realtime=True, settings=SETTINGS)
        if minute > 1:
            report(minute - 1)
        if not feed.wait(timeout=MINUTE + 60):
            feed.stop()
            failure = "feed_wav did not finish minute %d: the worker stopped reading" % minute
            break
        quit_frame = feed.quit_frame or quit_frame
        if run.proc.poll() is not None:
            feed.stop()
            failure = "the worker ended during minute %d (exit code %s)" % (minute,
                                                                         run.proc.returncode)
            break
        samples.append(proc_sample(run.proc.pid))
        if kept:
            keep_smaps(run.proc.pid, os.path.join(folder, "smaps"), minute)
        load_at.append(os.getloadavg()[0])
    if failure is None:
        report(minutes)
    untranslated = 0
    if translate:
        deadline = time.monotonic() + ANSWER_WAIT
        while time.monotonic() < deadline and translation_figures(run.lines, 0, float("inf"))[1]:
            time.sleep(0.5)
        untranslated = translation_figures(run.lines, 0, float("inf"))[1]
    warning = job.check_counts()
    run.stop(quit_frame)
    with open(os.path.join(folder, "worker.log"), "w") as f:
        f.write("\n".join(run.stderr) + "\n")
    job.write_utterances(os.path.join(folder, "utterances.tsv"))
    with open(os.path.join(folder, "worker-lines.tsv"), "w", encoding="utf-8") as f:
        for t, fields in run.lines:
            f.write("%.3f\t%s\n" % (t - job.started.get(1, t), "\t".join(fields)))

    if failure:
        print(failure + "; the worker's last log lines:\n  " + "\n  ".join(run.stderr[-20:]))
        return 1
    if warning:
        print(warning)
    unanswered = sum(1 for a in job.answers() if a is None)
    lines, met = verdict(medians, samples, unanswered, lag_medians if translate else None,
                         untranslated)
    print("\n".join(lines))
    if summary is not None:
        summary.update(soak_summary(job, run, samples, per_minute, cpu_before, untranslated, met))
    return 0 if met and not warning else 1


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=int, default=30)
    parser.add_argument("--keep", help="folder for the audio, the data root, the worker's log "
                        "and lines, utterances.tsv with every latency, and the worker's memory map "
                        "at each minute's end in smaps/ (kept)")
    parser.add_argument("--translate", action="store_true",
                        help="translate with a model of the real 1.3B shape (generated once "
                        "into ~/.cache/colloquor/real-shape, 1.4 GB)")
    parser.add_argument("--recognizer-shape", choices=sorted(make_whisper_model.REAL_SHAPES),
                        help="the recognizer costs what Whisper of this shape would (tiny.en "
                        "gives the text; a model of the shape is generated once into "
                        "~/.cache/colloquor/real-shape)")
    parser.add_argument("--worker", help="the worker of this commit instead of this tree's")
    args = parser.parse_args(argv)
    if args.minutes < 1:
        parser.error("--minutes must be at least 1")
    if not speech.have_tools():
        print("needs espeak-ng, sox and %s (make build-native && scripts/make_dist.sh)"
              % speech.FEED_WAV)
        return 1
    folder = args.keep or tempfile.mkdtemp(prefix="soak-")
    os.makedirs(folder, exist_ok=True)
    worker_dir = ""
    if args.worker:
        worker_dir = os.path.join(folder, "worker-" + args.worker)
        print("worker of %s" % recognition_bench.base_worker(args.worker, worker_dir)[:12])
    try:
        return soak(args.minutes, folder, kept=bool(args.keep), translate=args.translate,
                    shape=args.recognizer_shape, worker_dir=worker_dir)
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
