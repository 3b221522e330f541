"""Live recognition figures, before and after: spoken audio in real time through feed_wav into the
worker (tiny.en on the CPU), once with an older commit's worker and once with this tree's.

    python bench/recognition_bench.py [--base COMMIT] [--rounds N] [--passes] [--keep DIR]

Two scenarios, each with a freshly started worker:
- a 30-second monologue (one speaker on the microphone channel, sentences with short pauses);
- a dialogue of short turns, alternating between the microphone and the system-audio channel.

The older worker (COMMIT's worker.py and dl_progress.py, taken out of git into a temporary
folder) and this tree's worker run one after the other, scenario by scenario and round by round,
the order swapped every round, so that a busy machine weighs on both alike. The figures of all
rounds are pooled:
- worker processor seconds (user + system, from its start being ready to the last line) per
  second of audio played;
- commit latency of each sentence: from the moment its last word had been fed to the arrival of
  the "F" line that completes it (median, 90th percentile, worst; sentences never heard are
  counted apart);
- word error rate of the finished lines;
- partial passes: how many, how long they took, and how late they started after their audio
  was there;
- where a pass spends its time (see bench/timed_worker.py);
- with --passes, every pass of each worker's last run.
"""
import argparse
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "worker", "tests"))
sys.path.insert(0, os.path.join(REPO, "tools", "models"))

import lay_out_whisper  # noqa: E402
import speech  # noqa: E402
import worker_process  # noqa: E402

TIMED_WORKER = os.path.join(HERE, "timed_worker.py")

# The commit the "before" figures come from unless --base (or BASE=) names another: the worker as
# it was before its passes were made cheaper.
DEFAULT_BASE = "b0a286d4aced3a077a9a1f163d88813990ac4142"
WORKER_FILES = ("worker.py", "dl_progress.py", "requirements.txt")

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
OPTIONS = "en|none|0|0|60"
CPU_PARTIAL_STEP = 2.0    # seconds of new audio before a partial pass on the CPU


def timed_worker(root, worker_dir="", model="tiny.en", extra_env=None):
    """The timed worker started (not yet ready): every output line and pass stamped with the
    monotonic clock."""
    env = {"BENCH_WORKER_DIR": worker_dir}
    env.update(extra_env or {})
    return worker_process.WorkerProcess(root, model, TIMED_WORKER, env=env)


def settle(run, feed, quiet=2.0, timeout=60.0):
    """Waits until every "E" has had its final pass, every "F" its "U", and the worker has been
    quiet a while."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ends = sum(1 for _, kind, _ in feed.events if kind == "E")
        finals = sum(1 for p in run.passes if p[1])
        kinds = [f[0] for _, f in list(run.lines)]
        last = max([t for t, _ in run.lines] + [p[4] for p in run.passes] + [0])
        if (finals >= ends and kinds.count("U") >= kinds.count("F")
                and time.monotonic() - last > quiet):
            return
        time.sleep(0.1)


def commit_latencies(sentences, f_lines, started_at):
    """Per sentence (channel, text, end in the audio): seconds from its end being fed to the
    arrival of the "F" line holding its last word, or None when it was never heard."""
    out = [None] * len(sentences)
    for ch in sorted({s[0] for s in sentences}):
        mine = [(i, s) for i, s in enumerate(sentences) if s[0] == ch]
        ref_words, last_word_of = [], []
        for _, (_, text, _) in mine:
            ref_words += speech.words(text)
            last_word_of.append(len(ref_words) - 1)
        hyp_words, hyp_time = [], []
        for t, f in f_lines:
            if f[1] == str(ch):
                for w in speech.words(f[4]):
                    hyp_words.append(w)
                    hyp_time.append(t)
        matched = speech.align(ref_words, hyp_words)
        for (i, (_, text, end)), last in zip(mine, last_word_of):
            # a misheard last word: the nearest earlier word of the sentence that lined up
            first = last - len(speech.words(text)) + 1
            k = last
            while k > first and matched[k] is None:
                k -= 1
            if matched[k] is not None:
                out[i] = hyp_time[matched[k]] - (started_at + end)
    return out


def scenario(worker_dir, root, wavs, sentences, settings=(), options=OPTIONS, model="tiny.en",
             extra_env=None, settle_timeout=60.0):
    """One fresh worker fed the audio in real time; the raw facts of the run."""
    run = timed_worker(root, worker_dir, model, extra_env)
    run.start_up(timeout=300)
    cpu_at_ready = run.cpu_seconds()
    feed = speech.Feed(run.write, wavs, options=options, realtime=True, settings=settings)
    feed.wait(timeout=600)
    settle(run, feed, timeout=settle_timeout)
    cpu = run.cpu_seconds() - cpu_at_ready
    memory = memory_mb(run.proc.pid)
    run.stop(feed.quit_frame)

    played = max(speech.seconds_of(w) for w in wavs)
    f_lines = [(t, f) for t, f in run.lines if f[0] == "F" and f[4]]
    heard = {ch: " ".join(f[4] for _, f in f_lines if f[1] == str(ch))
             for ch in sorted({s[0] for s in sentences})}
    references = {ch: " ".join(text for c, text, _ in sentences if c == ch) for ch in heard}
    errors = [speech.word_errors(references[ch], heard[ch]) for ch in heard]
    partial = [p for p in run.passes if not p[1]]
    return {
        "played": played, "cpu": cpu,
        "latencies": commit_latencies(sentences, f_lines, feed.started_at),
        "errors": sum(e for e, _ in errors), "words": sum(n for _, n in errors),
        "passes": len(run.passes), "finals": sum(1 for p in run.passes if p[1]),
        "partial_walls": [p[4] - p[3] for p in partial],
        "partial_delays": partial_delays(run.passes, feed.started_at, feed.events),
        "pass_cpu": sum(p[5] for p in run.passes),
        "profiles": run.profiles, "heard": heard, "lines": list(run.lines),
        "started_at": feed.started_at, "events": list(feed.events), "pass_times": list(run.passes),
        "shapes": list(run.shapes), "memory": memory,
        "pass_rows": [(p[0], p[1], p[2], p[3] - feed.started_at, p[4] - p[3], p[5],
                       prof.get("encoder", (0, 0, 0))[2])
                      for p, prof in zip(run.passes, run.profiles)],
    }


def memory_mb(pid):
    """(resident, most resident so far) megabytes of a process."""
    with open("/proc/%d/status" % pid) as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    return tuple(int(status[key].split()[0]) / 1024.0 for key in ("VmRSS", "VmHWM"))


def partial_delays(passes, started_at, events):
    """For each partial pass after the first of its utterance: how long after its audio step
    was complete it started (0 when the thread was free and waiting)."""
    delays = []
    previous = {}
    for ch, final, seconds, start, end, *_ in sorted(passes, key=lambda p: p[3]):
        if final:
            previous.pop(ch, None)
            continue
        if ch in previous:
            due = previous[ch][3] + CPU_PARTIAL_STEP
            delays.append(max(0.0, start - due))
        previous[ch] = (ch, final, seconds, start)
    return delays


def percentile(values, share):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(share * len(ordered)) - 1)]


def summary(results):
    """The pooled figures of several runs of one worker on one scenario."""
    lat = [x for r in results for x in r["latencies"] if x is not None]
    missed = sum(1 for r in results for x in r["latencies"] if x is None)
    walls = [x for r in results for x in r["partial_walls"]]
    delays = [x for r in results for x in r["partial_delays"]]
    played = sum(r["played"] for r in results)
    return [
        ("worker CPU s per audio s", "%.2f" % (sum(r["cpu"] for r in results) / played)),
        ("  of which in passes", "%.2f" % (sum(r["pass_cpu"] for r in results) / played)),
        ("commit latency median s", "%.2f" % statistics.median(lat) if lat else "-"),
        ("commit latency p90 s", "%.2f" % percentile(lat, 0.9) if lat else "-"),
        ("commit latency worst s", "%.2f" % max(lat) if lat else "-"),
        ("sentences never committed", "%d" % missed),
        ("word error rate", "%.3f" % (sum(r["errors"] for r in results)
                                      / max(1, sum(r["words"] for r in results)))),
        ("passes per run (final)", "%.1f (%.1f)" % (
            statistics.mean(r["passes"] for r in results),
            statistics.mean(r["finals"] for r in results))),
        ("partial pass s mean / worst", "%.2f / %.2f" % (statistics.mean(walls), max(walls))
         if walls else "-"),
        ("partial pass late s mean / worst", "%.2f / %.2f" % (statistics.mean(delays),
                                                              max(delays)) if delays else "-"),
    ]


def profile_rows(results):
    """Processor and wall seconds per pass, by part, averaged over every pass of the runs, with
    the calls per pass."""
    totals, count = {}, 0
    for r in results:
        for parts in r["profiles"]:
            count += 1
            for name, figures in parts.items():
                t = totals.setdefault(name, [0.0, 0.0, 0])
                for i, x in enumerate(figures):
                    t[i] += x
    count = max(1, count)
    rows = [(name, "%.3f/%.3f %3.1fx" % (cpu / count, wall / count, calls / count))
            for name, (wall, cpu, calls) in sorted(totals.items(), key=lambda kv: -kv[1][1])]
    all_wall = sum(t[0] for t in totals.values())
    all_cpu = sum(t[1] for t in totals.values())
    rows.append(("all", "%.3f/%.3f     " % (all_cpu / count, all_wall / count)))
    return rows


def print_table(title, columns, rows_by_column):
    names = []
    for rows in rows_by_column:
        for name, _ in rows:
            if name not in names:
                names.append(name)
    print(title)
    print("  %-34s %s" % ("", "".join("%18s" % c for c in columns)))
    for name in names:
        cells = [dict(rows).get(name, "-") for rows in rows_by_column]
        print("  %-34s %s" % (name, "".join("%18s" % c for c in cells)))


def print_lags(sentences, results_by_column, columns):
    print("  commit latency per sentence (mean over rounds; end in the audio, then %s):"
          % " / ".join(columns))
    for i, (ch, text, end) in enumerate(sentences):
        cells = []
        for results in results_by_column:
            known = [r["latencies"][i] for r in results if r["latencies"][i] is not None]
            cells.append("%6.2f" % statistics.mean(known) if known else "   -  ")
        print("    ch%d %5.1f s %s  %s" % (ch, end, " ".join(cells), text))


def build_monologue(folder):
    parts, sentences, t = [], [], 0.0
    gap = speech.silence(os.path.join(folder, "gap.wav"), SENTENCE_GAP)
    lead = speech.silence(os.path.join(folder, "lead.wav"), 0.5)
    parts.append(lead)
    t += 0.5
    for i, text in enumerate(MONOLOGUE):
        wav = speech.speak(os.path.join(folder, "m%02d.wav" % i), text)
        parts.append(wav)
        t += speech.seconds_of(wav)
        sentences.append((0, text, t))
        parts += [gap]
        t += SENTENCE_GAP
    tail = speech.silence(os.path.join(folder, "tail.wav"), 1.5)
    return [speech.join(os.path.join(folder, "monologue.wav"), parts + [tail])], sentences


def build_dialogue(folder):
    tracks = {0: [], 1: []}
    lead = speech.silence(os.path.join(folder, "dlead.wav"), 0.5)
    gap = speech.silence(os.path.join(folder, "dgap.wav"), TURN_GAP)
    for ch in (0, 1):
        tracks[ch].append(lead)
    sentences, t = [], 0.5
    for i, (ch, text) in enumerate(DIALOGUE):
        wav = speech.speak(os.path.join(folder, "d%02d.wav" % i), text, voice=VOICES[ch])
        quiet = speech.silence(os.path.join(folder, "q%02d.wav" % i), speech.seconds_of(wav))
        tracks[ch] += [wav, gap]
        tracks[1 - ch] += [quiet, gap]
        t += speech.seconds_of(wav)
        sentences.append((ch, text, t))
        t += TURN_GAP
    wavs = [speech.join(os.path.join(folder, "dialogue%d.wav" % ch), tracks[ch])
            for ch in (0, 1)]
    return wavs, sentences


def base_worker(base, folder):
    """The base commit's worker files in folder; its full commit id."""
    commit = subprocess.run(["git", "-C", REPO, "rev-parse", "--verify", base + "^{commit}"],
                            check=True, capture_output=True, text=True).stdout.strip()
    os.makedirs(folder, exist_ok=True)
    for name in WORKER_FILES:
        shown = subprocess.run(["git", "-C", REPO, "show", "%s:worker/%s" % (commit, name)],
                               capture_output=True)
        if shown.returncode == 0:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(shown.stdout)
    return commit


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", default=os.environ.get("BASE") or DEFAULT_BASE,
                        help="commit whose worker gives the 'before' figures (default %s)"
                        % DEFAULT_BASE)
    parser.add_argument("--rounds", type=int, default=int(os.environ.get("ROUNDS") or 2))
    parser.add_argument("--only", choices=("before", "after"),
                        help="run one worker only (no comparison)")
    parser.add_argument("--scenario", choices=("monologue", "dialogue"))
    parser.add_argument("--passes", action="store_true",
                        help="also list the passes of each worker's last run")
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
    workers = []
    if args.only != "after":
        commit = base_worker(args.base, os.path.join(folder, "base-worker"))
        workers.append(("before", os.path.join(folder, "base-worker")))
    if args.only != "before":
        workers.append(("after", os.path.join(REPO, "worker")))
    columns = [name for name, _ in workers]
    print("machine: %d cores, load %.1f; worker: tiny.en on the CPU, no translation model; "
          "%d round(s)" % (os.cpu_count(), os.getloadavg()[0], args.rounds))
    if args.only != "after":
        print("before = worker of %s, after = worker of this tree" % commit[:12])

    scenarios = [("monologue", build_monologue(folder), ()),
                 # the echo filter would hold the microphone back right after the other side
                 ("dialogue", build_dialogue(folder), ["echo=0"])]
    if args.scenario:
        scenarios = [s for s in scenarios if s[0] == args.scenario]
    results = {(s[0], name): [] for s in scenarios for name in columns}
    for round_no in range(args.rounds):
        order = workers if round_no % 2 == 0 else list(reversed(workers))
        for name, (wavs, sentences), settings in scenarios:
            for column, worker_dir in order:
                results[(name, column)].append(scenario(worker_dir, root, wavs, sentences,
                                                        settings))
    for name, (wavs, sentences), _ in scenarios:
        played = max(speech.seconds_of(w) for w in wavs)
        print()
        print_table("=== %s: %.1f s of audio on %d channel(s), %d sentences, %d round(s)"
                    % (name, played, len(wavs), len(sentences), args.rounds), columns,
                    [summary(results[(name, c)]) for c in columns])
        print_lags(sentences, [results[(name, c)] for c in columns], columns)
        for c in columns:
            for ch, text in results[(name, c)][-1]["heard"].items():
                print("  %s ch%d heard: %s" % (c, ch, text))
        if args.passes:
            for c in columns:
                print("  %s, passes of the last run: channel, final, audio s, start s, wall s, "
                      "processor s, encoder runs" % c)
                for row in results[(name, c)][-1]["pass_rows"]:
                    print("    ch%d %s %5.1f  at %5.1f  %5.2f  %5.2f  %d" % (
                        row[0], "F" if row[1] else "P", row[2], row[3], row[4], row[5], row[6]))
        print_table("  a pass on average: processor/wall seconds, calls", columns,
                    [profile_rows(results[(name, c)]) for c in columns])
    if args.keep is None:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
