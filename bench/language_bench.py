"""Two languages in one conversation with the multilingual recognizer (Whisper base on the CPU),
before and after: an older commit's worker and this tree's, on the same spoken audio.

    python bench/language_bench.py [--base COMMIT] [--pairs en-de,ru-uk] [--count N]
                                   [--only before|after] [--no-live] [--keep DIR] [--lines]

For each pair of worker/tests/language_corpus.py, with a freshly started worker per run:
- "one ch mixed": eight sentences of the two languages taking turns on the microphone in mixed
  order (language_run.MIXED_ORDER: one language after three of the other, and single turns),
  once with the pair set and once with the speech language "auto" (the recognizer's own
  detection) as the baseline;
- "two channels": the languages alternating, the microphone speaking the first, the other side
  the second, with "Other side speaks the translation language" on (--all-modes: also "auto").
The turns go one by one through feed_wav (see language_run.py).

Figures per pair, scenario, speech language and worker:
- codes: finished lines whose language code is the language spoken;
- in code: lines whose text is written in the language of their code;
- bad: lines with the right code but text in the other language (the goal is none);
- copies: lines repeating an earlier sentence they were not spoken as (the goal is none);
- WER of each language (the turn's finished text against its sentence), and silent turns.

Then the recognizer's work (from bench/timed_worker.py's pass records): encoder runs and language
detections per pass and worker processor seconds per second of audio, pooled over every run of
a speech language; and, unless --no-live, one conversation played in real time (with its partial
passes) with the pair set and with "auto".
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "worker", "tests"))
sys.path.insert(0, os.path.join(REPO, "tools", "models"))

import language_corpus  # noqa: E402
import language_run  # noqa: E402
import lay_out_whisper  # noqa: E402
import recognition_bench  # noqa: E402
import speech  # noqa: E402

# The worker before its prompt was kept per language.
DEFAULT_BASE = "cb0eeac"
# (name, two channels, speech languages run); a two-channel conversation has one language per
# channel, so Auto there shows nothing the one-channel runs do not.
SCENARIOS = (("one ch mixed", False, ("pair", "auto")), ("two channels", True, ("pair",)))
LIVE_GAP = 1.2


class Work:
    """The recognizer's work in one run: passes, encoder runs, detections, processor time."""

    def __init__(self, passes, profiles, cpu, audio):
        finals = [p for p in passes if p.final]
        self.passes = len(passes)
        self.encoder = sum(p.encoder_runs for p in passes)
        self.detections = sum(parts.get("language detection", (0, 0, 0))[2]
                              for parts in profiles)
        self.finals = len(finals)
        # processor and audio seconds of the final passes
        self.final_cpu = sum(p.cpu for p in finals)
        self.final_audio = sum(p.seconds for p in finals)
        self.cpu = cpu
        self.audio = audio


WORK_ROW = "  %-5s %-7s %18s %12s %12s %17s %17s"
WORK_HEADER = WORK_ROW % ("lang", "worker", "passes", "encoder/pass", "detect/pass",
                          "CPU s per audio s", "final pass CPU s")
WORK_NOTE = ("  (CPU s per audio s: the worker's processor seconds over the seconds of audio; "
             "final pass CPU s: the final passes' processor seconds per second of their audio)")


def pooled(works):
    passes = max(1, sum(w.passes for w in works))
    return ("%4d (%3d final)" % (sum(w.passes for w in works), sum(w.finals for w in works)),
            "%.2f" % (sum(w.encoder for w in works) / passes),
            "%.2f" % (sum(w.detections for w in works) / passes),
            "%.2f" % (sum(w.cpu for w in works) / max(1e-9, sum(w.audio for w in works))),
            "%.2f" % (sum(w.final_cpu for w in works)
                      / max(1e-9, sum(w.final_audio for w in works))))


def run_turns(worker_dir, root, turns, audio, opts):
    worker = recognition_bench.timed_worker(root, worker_dir, "base")
    try:
        worker.start_up()
        cpu = worker.cpu_seconds()
        heard = language_run.speak_turns(worker, turns, audio, opts)
        cpu = worker.cpu_seconds() - cpu
    finally:
        worker.stop()
    seconds = sum(speech.seconds_of(wavs[0]) for wavs in audio)
    return heard, Work(worker.passes, worker.profiles, cpu, seconds)


def run_live(worker_dir, root, folder, turns):
    """The turns played in real time as one recording with pauses, options from the caller."""
    parts = []
    gap = speech.silence(os.path.join(folder, "live-gap.wav"), LIVE_GAP)
    for wavs in language_run.turn_audio(folder, turns, False):
        parts += [wavs[0], gap]
    wav = os.path.join(folder, "live.wav")
    if not os.path.exists(wav):
        speech.join(wav, parts)
    played = speech.seconds_of(wav)

    def play(opts):
        worker = recognition_bench.timed_worker(root, worker_dir, "base")
        try:
            worker.start_up()
            cpu = worker.cpu_seconds()
            feed = speech.Feed(worker.write, [wav], options=opts, realtime=True,
                               settings=["echo=0"])
            feed.wait(timeout=600)
            worker.answer(sum(1 for _, kind, _ in feed.events if kind == "E"), quiet=2.0)
            cpu = worker.cpu_seconds() - cpu
        finally:
            worker.stop()
        return Work(worker.passes, worker.profiles, cpu, played)

    return play, played


def score_cells(s):
    lines = max(1, s.lines)
    cells = ["%2d/%-2d" % (s.right_code, s.lines), "%2d/%-2d" % (s.text_in_code, s.lines),
             "%d" % s.right_code_wrong_text, "%d" % s.copies]
    for code in sorted(s.errors):
        e, n = s.errors[code]
        cells.append("%s %.2f" % (code, e / max(1, n)))
    cells.append("%d" % s.silent)
    del lines
    return cells


HEADER = ("%-8s %-13s %-5s %-7s %6s %8s %4s %6s %9s %9s %6s"
          % ("pair", "scenario", "lang", "worker", "codes", "in code", "bad", "copies", "WER",
             "WER", "silent"))


def show_run(totals, key, turns, heard, lines):
    """One row of the table (and the turns with their lines); the score joins totals."""
    first, second, scenario, mode, name = key
    s = language_run.score(turns, heard, first, second)
    totals.setdefault((name, mode), []).append(s)
    print("%-8s %-13s %-5s %-7s %6s %8s %4s %6s %9s %9s %6s"
          % (("%s/%s" % (first, second), scenario, mode, name) + tuple(score_cells(s))),
          flush=True)
    if lines:
        for row in language_run.describe(turns, heard):
            print("      " + row)


def print_totals(totals):
    print()
    print("all pairs and scenarios (codes right / lines, text in its code's language / lines):")
    for (name, mode), scores in sorted(totals.items(), key=lambda kv: (kv[0][1], kv[0][0])):
        s = language_run.merge(scores)
        wer = " ".join("%s %.2f" % (c, e / max(1, n)) for c, (e, n) in sorted(s.errors.items()))
        print("  %-5s %-7s codes %3d/%-3d in code %3d/%-3d bad %d copies %d silent %d  WER %s"
              % (mode, name, s.right_code, s.lines, s.text_in_code, s.lines,
                 s.right_code_wrong_text, s.copies, s.silent, wer))


def rescore(path, lines):
    """The table again from a kept run's lines.jsonl, judged by this tree's rules."""
    print(HEADER)
    totals = {}
    with open(path, encoding="utf-8") as f:
        for record in f:
            first, second, scenario, mode, name, turns, heard = json.loads(record)
            turns = [language_run.Turn(*t) for t in turns]
            heard = [[language_run.Line(*x) for x in got] for got in heard]
            show_run(totals, (first, second, scenario, mode, name), turns, heard, lines)
    print_totals(totals)
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", default=os.environ.get("LANGUAGE_BASE") or DEFAULT_BASE,
                        help="commit whose worker gives the 'before' figures (default %s)"
                        % DEFAULT_BASE)
    parser.add_argument("--pairs", default=",".join("%s-%s" % p for p in language_corpus.PAIRS))
    parser.add_argument("--count", type=int, default=3,
                        help="sentences per language of the two-channel conversations")
    parser.add_argument("--only", choices=("before", "after"))
    parser.add_argument("--modes", default="pair,auto")
    parser.add_argument("--all-modes", action="store_true",
                        help="also run the two-channel conversations with Auto")
    parser.add_argument("--no-live", action="store_true")
    parser.add_argument("--live-rounds", type=int, default=1,
                        help="plays of the real-time conversation per worker and language")
    parser.add_argument("--live-only", action="store_true",
                        help="only the real-time conversation (of the first pair)")
    parser.add_argument("--lines", action="store_true", help="print every turn's lines")
    parser.add_argument("--keep", help="folder for the audio, the data root and every run's "
                        "turns and lines (lines.jsonl), kept")
    parser.add_argument("--rescore", metavar="LINES_JSONL",
                        help="only print the table of a kept run's lines again")
    args = parser.parse_args(argv)
    if args.rescore:
        return rescore(args.rescore, args.lines)
    if not speech.have_tools():
        print("needs espeak-ng, sox and %s (make build-native && scripts/make_dist.sh)"
              % speech.FEED_WAV)
        return 1
    pairs = [tuple(p.split("-")) for p in args.pairs.split(",")]
    modes = args.modes.split(",")
    folder = args.keep or tempfile.mkdtemp(prefix="language-bench-")
    os.makedirs(folder, exist_ok=True)
    root = os.path.join(folder, "root")
    lay_out_whisper.lay_out(root, "base")
    workers = []
    if args.only != "after":
        commit = recognition_bench.base_worker(args.base, os.path.join(folder, "base-worker"))
        workers.append(("before", os.path.join(folder, "base-worker")))
    if args.only != "before":
        workers.append(("after", os.path.join(REPO, "worker")))
    print("machine: %d cores, load %.2f %.2f %.2f at the start; Whisper base on the CPU, "
          "no translation model" % ((os.cpu_count(),) + os.getloadavg()))
    if args.only != "after":
        print("before = worker of %s, after = worker of this tree" % commit[:12])
    started = time.monotonic()
    work = {}
    print()
    print(HEADER)
    totals = {}
    for first, second in [] if args.live_only else pairs:
        for scenario, two, scenario_modes in SCENARIOS:
            if two:
                turns = language_run.conversation(first, second, args.count, True)
            else:
                turns = language_run.mixed_conversation(first, second)
            audio = language_run.turn_audio(folder, turns, two)
            for mode in [m for m in modes if m in scenario_modes or args.all_modes]:
                opts = language_run.options(first, second, mode == "auto", two)
                for name, worker_dir in workers:
                    heard, done = run_turns(worker_dir, root, turns, audio, opts)
                    with open(os.path.join(folder, "lines.jsonl"), "a", encoding="utf-8") as f:
                        f.write(json.dumps([first, second, scenario, mode, name, turns,
                                            heard], ensure_ascii=False) + "\n")
                    work.setdefault((name, mode), []).append(done)
                    show_run(totals, (first, second, scenario, mode, name), turns, heard,
                             args.lines)
    print_totals(totals)
    print()
    print("the recognizer's work, every run pooled (load %.2f %.2f %.2f now):" % os.getloadavg())
    print(WORK_NOTE)
    print(WORK_HEADER)
    for (name, mode), works in sorted(work.items(), key=lambda kv: (kv[0][1], kv[0][0])):
        print(WORK_ROW % ((mode, name) + pooled(works)))
    if not args.no_live:
        first, second = pairs[0]
        turns = language_run.mixed_conversation(first, second)
        print()
        print("played in real time: %s/%s mixed on one channel, %d sentences, %d play(s) each "
              "(load %.2f %.2f %.2f):" % ((first, second, len(turns), args.live_rounds)
                                          + os.getloadavg()))
        print(WORK_HEADER)
        for mode in modes:
            opts = language_run.options(first, second, mode == "auto")
            for name, worker_dir in workers:
                play, _ = run_live(worker_dir, root, folder, turns)
                print(WORK_ROW % ((mode, name) + pooled([play(opts)
                                                         for _ in range(args.live_rounds)])),
                      flush=True)
    print()
    print("%.0f s in all; load %.2f %.2f %.2f at the end" % ((time.monotonic() - started,)
                                                            + os.getloadavg()))
    if args.keep is None:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
