"""The default processor configuration live: Whisper small and NLLB-200 distilled 1.3B, at their
real shapes, on this machine's processor, fed in real time.

    python bench/default_config_bench.py [--worker COMMIT] [--shape small] [--text-model tiny.en]
                                         [--scenarios dialogue,monologue] [--soak-minutes 10]
                                         [--keep DIR]

One worker per invocation: this tree's, or with --worker (or WORKER= from the environment) the
worker of an older commit, taken out of git as the recognition benchmark takes its "before"
worker; run it once for each and compare the tables.

The recognizer costs what Whisper of the --shape would (bench/recognizer_double.py: the text
comes from --text-model, every call is made once more on a model of the shape with random
weights), and translation uses a model of the 1.3B shape with decoding held to a real sentence's
length (BENCH_HOLD_DECODING=1); both are generated once into ~/.cache/colloquor/real-shape.
The dialogue and the monologue of bench/recognition_bench.py are played through feed_wav in real
time, with translation off ("en|none") and on ("en|ru"), one fresh worker each, one after the
other; then the soak (bench/soak.py) with both for --soak-minutes minutes (0: none).

Printed first: what one call of the text model and of the shape costs (bench/whisper_shape_costs.py).
Printed per run:
- "F" latency: from a sentence's end in the audio to the "F" line holding its last word (the
  soak: from each "E" frame to the last "F" line of its answer), median, 90th percentile, worst;
- "U" lag: from each finished line to its "U" line, median and worst, and lines left without one;
- processor seconds of the worker per audio second, and of them the text model's own calls (the
  figure overstates the shape's cost by these: subtract them for the shape alone);
- partial passes per minute of audio;
- how the shown text moves while someone speaks: from an utterance's first audio to the first
  change of its channel's text, then every stretch without a change until its "E" frame;
- what waits: ended utterances not yet recognized ("E" frames written less final passes
  finished) and finished lines not yet translated, when the audio ended (the soak: at the end of
  each minute, whose last seconds are quiet) and the most at any moment;
- the worker's resident memory at the end and at its highest (the soak: minute 2 and the last).

About 3 minutes per short run and 11 for the soak: 25 minutes with the defaults.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import recognition_bench as rb  # noqa: E402  (also puts worker/tests and tools/models on the path)
import lay_out_whisper  # noqa: E402
import live_figures  # noqa: E402
import make_translation_model  # noqa: E402
import make_whisper_model  # noqa: E402
import soak  # noqa: E402
import speech  # noqa: E402
import whisper_shape_costs  # noqa: E402

TRANSLATION_SHAPE = "nllb13"
OPTIONS = {"off": "en|none|0|0|60", "on": "en|ru|0|0|60"}
SETTLE = 300.0


def load_note():
    return "load %.1f %.1f %.1f" % os.getloadavg()


def seconds(values, pick):
    return "%.2f" % pick(values) if values else "-"


def median_p90_worst(values):
    return "%s / %s / %s" % (seconds(values, statistics.median),
                             seconds(values, lambda v: rb.percentile(v, 0.9)),
                             seconds(values, max))


# ---------------------------------------------------------------------------------------------
# Short runs: one scenario, translation off or on
# ---------------------------------------------------------------------------------------------

def run_figures(result):
    """The figures of one scenario run (a result of recognition_bench.scenario)."""
    latencies = [x for x in result["latencies"] if x is not None]
    answers = soak.finished_line_answers(result["lines"])
    lags = [lag for _, lag, _ in answers if lag is not None]
    ends = [(ch, t) for t, kind, ch in result["events"] if kind == "E"]
    passes = result["pass_times"]
    played = result["played"]
    own = live_figures.real_model_cpu(result["shapes"])[0]
    at_end = live_figures.waiting_at(result["started_at"] + played, ends, passes, answers)
    first_text, gaps = live_figures.partial_text_gaps(
        result["lines"], live_figures.speech_spans(result["events"]))
    return {
        "first_text": first_text, "text_gaps": gaps,
        "latencies": latencies, "missed": len(result["latencies"]) - len(latencies),
        "lags": lags, "untranslated": sum(1 for _, lag, _ in answers if lag is None),
        "cpu": result["cpu"], "own_cpu": own, "audio": played,
        "partial_per_minute": live_figures.partial_passes(passes, float("-inf"), float("inf"))
        * 60.0 / played,
        "waiting_at_end": at_end, "most_waiting": live_figures.most_waiting(ends, passes, answers),
        "memory": "%.0f / %.0f" % result["memory"],
        "final_passes": sum(1 for p in passes if p[1]), "end_frames": len(ends),
    }


def soak_figures(summary):
    waits = [(m.recognizing, m.translating) for m in summary["per_minute"]]
    most = [(m.most_recognizing, m.most_translating) for m in summary["per_minute"]]
    partials = [m.partial_passes for m in summary["per_minute"]]
    memory = summary["memory"]
    return {
        "first_text": summary["first_text"], "text_gaps": summary["text_gaps"],
        "latencies": summary["latencies"], "missed": None, "lags": summary["lags"],
        "untranslated": summary["untranslated"], "cpu": summary["cpu"],
        "own_cpu": summary["own_cpu"], "audio": summary["audio"],
        "partial_per_minute": statistics.mean(partials) if partials else 0.0,
        "waiting_at_end": waits[-1] if waits else (0, 0),
        "most_waiting": (max(w[0] for w in most), max(w[1] for w in most)) if most else (0, 0),
        "waits": waits, "most": most, "partials": partials,
        "memory": "%.0f -> %.0f" % (memory[1 if len(memory) > 1 else 0], memory[-1])
        if memory else "-",
    }


def rows(figures):
    f = figures
    missed = "" if f["missed"] is None else " (%d never)" % f["missed"]
    return [
        ('"F" latency median / p90 / worst s', median_p90_worst(f["latencies"]) + missed),
        ('"U" lag median / worst s', "%s / %s" % (seconds(f["lags"], statistics.median),
                                                 seconds(f["lags"], max))),
        ('finished lines without "U"', "%d" % f["untranslated"]),
        ("processor s per audio s", "%.2f" % (f["cpu"] / f["audio"])),
        ("  of it the text model's calls", "%.2f" % (f["own_cpu"] / f["audio"])),
        ("  without them", "%.2f" % ((f["cpu"] - f["own_cpu"]) / f["audio"])),
        ("partial passes per minute", "%.1f" % f["partial_per_minute"]),
        ("first text after the onset median / p90 / worst s", median_p90_worst(f["first_text"])),
        ("then unchanged text while speaking median / p90 / worst s",
         median_p90_worst(f["text_gaps"])),
        ("waiting E / F when the audio ended", "%d / %d" % f["waiting_at_end"]),
        ("waiting E / F at most", "%d / %d" % f["most_waiting"]),
        ("memory MB (end / peak; soak: min 2 -> last)", f["memory"]),
    ]


def print_table(title, columns):
    names = [name for name, _ in rows(columns[0][1])]
    width = max(len(n) for n in names) + 2
    cell = max(24, max(len(v) for _, f in columns for _, v in rows(f)) + 2)
    print(title)
    print("  %-*s%s" % (width, "", "".join("%*s" % (cell, head) for head, _ in columns)))
    for i, name in enumerate(names):
        print("  %-*s%s" % (width, name, "".join("%*s" % (cell, rows(f)[i][1])
                                                  for _, f in columns)))


def print_minutes(figures):
    print("  soak per minute: partial passes; ended utterances not yet recognized / finished lines "
          "not yet translated at the minute's end, and the most during it")
    for minute, (partial, (e, f), (most_e, most_f)) in enumerate(
            zip(figures["partials"], figures["waits"], figures["most"]), 1):
        print("    minute %2d: %3d partial passes, waiting %d / %d at the end, at most %d / %d"
              % (minute, partial, e, f, most_e, most_f))


# ---------------------------------------------------------------------------------------------
# The whole configuration
# ---------------------------------------------------------------------------------------------

def prepare(args, folder):
    """The data root (text model and translation shape), the worker folder, the shape."""
    root = os.path.join(folder, "root")
    lay_out_whisper.lay_out(root, args.text_model)
    made_whisper = make_whisper_model.real_shape_model(args.shape)
    _, made_translation = make_translation_model.lay_out_real(root, TRANSLATION_SHAPE)
    for what, made in (("Whisper " + args.shape, made_whisper),
                       (TRANSLATION_SHAPE, made_translation)):
        print("  %s shape: %.0f MB, %s" % (what, made.megabytes, "generated now in %.0f s"
                                           % made.seconds if made.seconds else "already generated"))
    # What the double overstates: the text model's own calls beside the shape's.
    whisper_shape_costs.print_costs([args.text_model], [args.shape])
    worker_dir = ""
    if args.worker:
        worker_dir = os.path.join(folder, "worker")
        commit = rb.base_worker(args.worker, worker_dir)
        print("worker of %s" % commit[:12])
    else:
        print("worker of this tree")
    return root, worker_dir


def short_runs(args, root, worker_dir, folder):
    builds = {"monologue": (rb.build_monologue, ()), "dialogue": (rb.build_dialogue, ["echo=0"])}
    env = {"TRANSLATION_MODEL": TRANSLATION_SHAPE, "BENCH_HOLD_DECODING": "1",
           "BENCH_RECOGNIZER_SHAPE": args.shape}
    tables = []
    for name in args.scenarios:
        build, settings = builds[name]
        wavs, sentences = build(folder)
        columns = []
        for translation, options in OPTIONS.items():
            started = time.monotonic()
            result = rb.scenario(worker_dir, root, wavs, sentences, settings, options,
                                 args.text_model, env, SETTLE)
            figures = run_figures(result)
            columns.append(("translation " + translation, figures))
            print("  ran %s, translation %s, in %.0f s (%s); E frames %d, final passes %d"
                  % (name, translation, time.monotonic() - started, load_note(),
                     figures["end_frames"], figures["final_passes"]), flush=True)
        played = max(speech.seconds_of(w) for w in wavs)
        tables.append(("=== %s: %.1f s of audio, %d sentences" % (name, played, len(sentences)),
                       columns))
    return tables


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worker", default=os.environ.get("WORKER") or None,
                        help="commit whose worker runs (default: this tree's)")
    parser.add_argument("--shape", default="small", choices=sorted(make_whisper_model.REAL_SHAPES))
    parser.add_argument("--text-model", default="tiny.en", choices=lay_out_whisper.MODELS)
    parser.add_argument("--scenarios", default="dialogue,monologue")
    parser.add_argument("--soak-minutes", type=int, default=10)
    parser.add_argument("--keep", help="folder for the audio, the data root and the soak's records")
    args = parser.parse_args(argv)
    args.scenarios = [s for s in args.scenarios.split(",") if s]
    for name in args.scenarios:
        if name not in ("dialogue", "monologue"):
            parser.error("unknown scenario %r" % name)
    if not speech.have_tools():
        print("needs espeak-ng, sox and %s (make build-native && scripts/make_dist.sh)"
              % speech.FEED_WAV)
        return 1
    folder = args.keep or tempfile.mkdtemp(prefix="default-config-")
    os.makedirs(folder, exist_ok=True)
    started = time.monotonic()
    print("machine: %d cores, %s; recognizer: %s at the cost of Whisper %s's shape; translation: "
          "the %s shape, decoding held" % (os.cpu_count(), load_note(), args.text_model,
                                           args.shape, TRANSLATION_SHAPE), flush=True)
    try:
        root, worker_dir = prepare(args, folder)
        tables = short_runs(args, root, worker_dir, folder)
        soak_columns, code = [], 0
        if args.soak_minutes > 0:
            summary = {}
            soak_folder = os.path.join(folder, "soak")
            os.makedirs(soak_folder, exist_ok=True)
            code = soak.soak(args.soak_minutes, soak_folder, kept=bool(args.keep), translate=True,
                             shape=args.shape, worker_dir=worker_dir, model=args.text_model,
                             summary=summary)
            if summary:
                soak_columns = [("soak, translation on", soak_figures(summary))]
    finally:
        if args.keep is None:
            shutil.rmtree(folder, ignore_errors=True)
    print("\n=== the default configuration: %s at the cost of Whisper %s, translation with the %s "
          "shape; worker of %s" % (args.text_model, args.shape, TRANSLATION_SHAPE,
                                   args.worker or "this tree"))
    for title, columns in tables:
        print_table(title, columns)
    if soak_columns:
        print_table("=== soak: %d minute(s) of the one-minute program on both channels"
                    % args.soak_minutes, soak_columns)
        print('  ("F" latency of the soak: from each "E" frame to the last "F" line of its answer)')
        print_minutes(soak_columns[0][1])
    elif args.soak_minutes > 0:
        print("the soak gave no figures (exit code %d)" % code)
    print("default configuration bench: %.0f s in all (%s)" % (time.monotonic() - started,
                                                               load_note()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
