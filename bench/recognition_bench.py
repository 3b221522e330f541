"""Live recognition figures: spoken audio in real time through feed_wav into the worker (tiny.en).

    python bench/recognition_bench.py [--keep DIR]

Two scenarios, each with a freshly started worker on the CPU:
- a 30-second monologue (one speaker on the microphone channel, sentences with short pauses);
- a dialogue of short turns, alternating between the microphone and the system-audio channel.

Printed per scenario: time from an utterance's onset (its first audio frame) to its first "P"
line, time from its "E" frame to its last "F" line (median and worst), the recognition thread's
busy time per second of audio fed (its real-time factor), the word error rate of the finished
lines, and the worker's peak resident memory. For the monologue also the lag of each sentence:
when the finished line holding its last word arrived, counted from the moment that word had been
fed.
"""
import argparse
import os
import queue
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "worker", "tests"))
sys.path.insert(0, os.path.join(REPO, "tools", "models"))

import lay_out_whisper  # noqa: E402
import speech  # noqa: E402

MONOLOGUE = [
    "Good morning everyone and thank you for coming.",
    "Today I want to talk about our plans for the next year.",
    "First we will open a new office in the city.",
    "Then we will hire more people for the support team.",
    "We also want to improve the quality of our products.",
    "Our customers told us that the setup takes too long.",
    "So we will make it simpler and faster.",
    "Finally we will spend more time listening to our customers.",
    "Thank you all for your attention.",
]
SENTENCE_GAP = 0.35       # shorter than the front end's end of utterance (0.7 s)

DIALOGUE = [
    (0, "Hello, can you hear me?"),
    (1, "Yes, I can hear you well."),
    (0, "Good, let us start."),
    (1, "What is the first topic?"),
    (0, "The budget for next month."),
    (1, "I sent it yesterday."),
    (0, "Thank you, I will read it."),
    (1, "Call me when you are done."),
    (0, "I will."),
    (1, "Goodbye."),
]
TURN_GAP = 1.2
VOICES = {0: "en", 1: "en-us"}


class Run:
    """The timed worker with every output line and pass stamped with the monotonic clock."""

    def __init__(self, root):
        env = dict(os.environ)
        for name in ("TRANSLATION_MODEL", "SPEAKER_MODEL", "HF_HOME"):
            env.pop(name, None)
        env.update({"DICTATION_ROOT": root, "DICTATE_MODEL": "tiny.en", "HF_HUB_OFFLINE": "1",
                    "HF_ENDPOINT": "http://127.0.0.1:9",
                    "DICTATION_RELEASES_HOST": "http://127.0.0.1:9"})
        self.proc = subprocess.Popen([sys.executable, "-u", os.path.join(HERE, "timed_worker.py")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.lines = []
        self.passes = []
        self.log = []           # the worker's other standard error lines
        self.ready = queue.Queue()
        threading.Thread(target=self._out, daemon=True).start()
        threading.Thread(target=self._err, daemon=True).start()

    def _out(self):
        for raw in self.proc.stdout:
            fields = raw.decode("utf-8", "replace").rstrip("\n").split("\t")
            self.lines.append((time.monotonic(), fields))
            if fields[0] == "S" and fields[1].startswith("ready"):
                self.ready.put(fields[1])

    def _err(self):
        for raw in self.proc.stderr:
            text = raw.decode("utf-8", "replace").strip()
            if text.startswith("PASS "):
                ch, final, seconds, start, end, finished = text.split()[1:7]
                self.passes.append((int(ch), final == "1", float(seconds), float(start),
                                    float(end), int(finished)))
            elif text:
                self.log.append(text)

    def write(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def peak_rss_mb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
        return float("nan")

    def stop(self, quit_frame):
        try:
            self.write(quit_frame or b"Q\0\0\0\0")
        except OSError:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def settle(run, started, quiet=2.0, timeout=60.0):
    """Waits until every "E" has had its final pass and the worker has been quiet a while."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ends = sum(1 for _, kind, _ in started.events if kind == "E")
        finals = sum(1 for p in run.passes if p[1])
        last = max([t for t, _ in run.lines] + [p[4] for p in run.passes] + [0])
        if finals >= ends and time.monotonic() - last > quiet:
            return
        time.sleep(0.1)


def utterances(feed, run):
    """Per utterance: channel, onset, E time, first P time, last F time of its final pass."""
    out = []
    final_passes = {0: [p for p in run.passes if p[1] and p[0] == 0],
                    1: [p for p in run.passes if p[1] and p[0] == 1]}
    onsets = {0: [], 1: []}
    for t, kind, ch in feed.events:
        if kind == "onset":
            onsets[ch].append(t)
        else:
            k = len([u for u in out if u["ch"] == ch])
            onset = onsets[ch][k]
            final = final_passes[ch][k] if k < len(final_passes[ch]) else None
            end = final[4] if final else float("inf")
            first_p = next((lt for lt, f in run.lines
                            if f[0] == "P" and f[1] == str(ch) and onset < lt <= end), None)
            last_f = max((lt for lt, f in run.lines if f[0] == "F" and f[1] == str(ch)
                          and final and final[3] - 0.01 <= lt <= final[4] + 0.5), default=None)
            out.append({"ch": ch, "onset": onset, "end": t, "first_p": first_p,
                        "last_f": last_f, "final_seconds": final[2] if final else 0.0})
    return out


def describe(values, unit="s"):
    if not values:
        return "none"
    return "median %.2f %s, worst %.2f %s (n=%d)" % (statistics.median(values), unit,
                                                     max(values), unit, len(values))


def scenario(name, root, wavs, references, options, sentence_ends=None, settings=()):
    run = Run(root)
    run.ready.get(timeout=180)
    fed_at = time.monotonic()
    feed = speech.Feed(run.write, wavs, options=options, realtime=True, settings=settings)
    feed.wait(timeout=600)
    fed_seconds = max(speech.seconds_of(w) for w in wavs)
    settle(run, feed)
    peak = run.peak_rss_mb()
    run.stop(feed.quit_frame)

    utts = utterances(feed, run)
    to_p = [u["first_p"] - u["onset"] for u in utts if u["first_p"] is not None]
    to_f = [u["last_f"] - u["end"] for u in utts if u["last_f"] is not None]
    busy = sum(p[4] - p[3] for p in run.passes)
    audio_fed = sum(speech.seconds_of(w) for w in wavs)
    heard = {0: [], 1: []}
    f_lines = []
    for t, f in run.lines:
        if f[0] == "F" and f[4]:
            heard[int(f[1])].append(f[4])
            f_lines.append((t, f))
    pairs = [(references[ch], " ".join(heard[ch])) for ch in references]

    print("=== %s: %.1f s of audio on %d channel(s), %d utterances, %d passes (%d final)"
          % (name, fed_seconds, len(wavs), len(utts), len(run.passes),
             sum(1 for p in run.passes if p[1])))
    print("  onset to first P line:      %s   (%d utterances too short for a partial pass)"
          % (describe(to_p), len(utts) - len(to_p)))
    print("  E frame to last F line:     %s" % describe(to_f))
    print("  recognition thread busy:    %.1f s while %.1f s of audio played: real-time factor "
          "%.2f (%.2f per second of channel audio, %.1f s in all)"
          % (busy, fed_seconds, busy / fed_seconds, busy / audio_fed, audio_fed))
    print("  word error rate:            %.3f" % speech.wer(pairs))
    print("  worker peak resident memory: %.0f MB" % peak)
    for ch, text in references.items():
        print("  ch%d heard: %s" % (ch, " ".join(heard[ch])))
    if sentence_ends:
        print_lags(fed_at, sentence_ends, f_lines)


def print_lags(fed_at, sentence_ends, f_lines):
    """Lag of each sentence: arrival of the finished line with its last word minus feed time."""
    ref_words, last_word_of = [], []
    for text, _ in sentence_ends:
        ref_words += speech.words(text)
        last_word_of.append(len(ref_words) - 1)
    hyp_words, hyp_time = [], []
    for t, f in f_lines:
        for w in speech.words(f[4]):
            hyp_words.append(w)
            hyp_time.append(t)
    matched = speech.align(ref_words, hyp_words)
    lags = []
    print("  sentence lag (finished line arrival after its last word was fed):")
    for (text, end), last in zip(sentence_ends, last_word_of):
        j = matched[last]
        # a misheard last word: take the nearest earlier word of the sentence that lined up
        k = last
        while j is None and k > 0 and speech.words(text) and k > last - len(speech.words(text)):
            k -= 1
            j = matched[k]
        lag = hyp_time[j] - (fed_at + end) if j is not None else None
        lags.append(lag)
        print("    %5.1f s  %s  %s" % (end, "%5.2f s" % lag if lag is not None else "  -   ",
                                      text))
    known = [x for x in lags if x is not None]
    if len(known) >= 2:
        half = len(known) // 2
        print("  lag: first sentence %.2f s, last %.2f s; mean of first half %.2f s, second half "
              "%.2f s" % (known[0], known[-1], statistics.mean(known[:half]),
                          statistics.mean(known[half:])))


def build_monologue(folder):
    parts, ends, t = [], [], 0.0
    gap = speech.silence(os.path.join(folder, "gap.wav"), SENTENCE_GAP)
    lead = speech.silence(os.path.join(folder, "lead.wav"), 0.5)
    parts.append(lead)
    t += 0.5
    for i, text in enumerate(MONOLOGUE):
        wav = speech.speak(os.path.join(folder, "m%02d.wav" % i), text)
        parts.append(wav)
        t += speech.seconds_of(wav)
        ends.append((text, t))
        parts += [gap]
        t += SENTENCE_GAP
    tail = speech.silence(os.path.join(folder, "tail.wav"), 1.5)
    return speech.join(os.path.join(folder, "monologue.wav"), parts + [tail]), ends


def build_dialogue(folder):
    tracks = {0: [], 1: []}
    lead = speech.silence(os.path.join(folder, "dlead.wav"), 0.5)
    gap = speech.silence(os.path.join(folder, "dgap.wav"), TURN_GAP)
    for ch in (0, 1):
        tracks[ch].append(lead)
    for i, (ch, text) in enumerate(DIALOGUE):
        wav = speech.speak(os.path.join(folder, "d%02d.wav" % i), text, voice=VOICES[ch])
        quiet = speech.silence(os.path.join(folder, "q%02d.wav" % i), speech.seconds_of(wav))
        tracks[ch] += [wav, gap]
        tracks[1 - ch] += [quiet, gap]
    return [speech.join(os.path.join(folder, "dialogue%d.wav" % ch), tracks[ch])
            for ch in (0, 1)]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", help="folder for the audio and the data root (kept)")
    args = parser.parse_args(argv)
    if not speech.have_tools():
        print("needs espeak-ng, sox and %s (make build-native && scripts/make_dist.sh)"
              % speech.FEED_WAV)
        return 1
    folder = args.keep or tempfile.mkdtemp(prefix="recognition-bench-")
    os.makedirs(folder, exist_ok=True)
    root = os.path.join(folder, "root")
    lay_out_whisper.lay_out(root)
    print("machine: %d cores; worker: tiny.en on the CPU, no translation model" % os.cpu_count())

    monologue, ends = build_monologue(folder)
    scenario("monologue", root, [monologue], {0: " ".join(MONOLOGUE)}, "en|none|0|0|60", ends)

    dialogue = build_dialogue(folder)
    refs = {ch: " ".join(t for c, t in DIALOGUE if c == ch) for ch in (0, 1)}
    # the echo filter would hold the microphone back right after the other side spoke
    scenario("dialogue", root, dialogue, refs, "en|none|0|0|60", settings=["echo=0"])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
