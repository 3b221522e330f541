"""Translation at the real model sizes: what a sentence costs, and what translation does to live
recognition.

    python bench/translation_bench.py [--base COMMIT] [--rounds N] [--models tiny.en,base]
                                      [--shapes nllb13,nllb33,madlad3b] [--live-shapes nllb13]
                                      [--skip-costs] [--skip-live] [--cache DIR] [--speakers]

The models are of the real shapes with random weights (tools/models/make_translation_model.py
--real-shape), generated on first use into DIR (default ~/.cache/colloquor/real-shape: 1.4, 3.4
and 3.0 GB) and hard-linked into a temporary data root. Random weights never end a sentence
where a real model would, so decoding is held to 1.2 times the source's length (in the live
runs by bench/timed_worker.py with BENCH_HOLD_DECODING=1).

1. Cost of one sentence: each shape, a short, medium and long sentence (12, 24 and 40 source
   tokens), beam 1 (partial lines) and beam 4 (finished lines), with the engine's thread
   settings of the worker (one thread per two cores) and, for the 1.3B shape, with two.
2. Live: the monologue and dialogue of bench/recognition_bench.py in real time through feed_wav,
   for each Whisper model, with translation off ("en|none") and on ("en|ru", the 1.3B shape),
   by the worker of --base (default cb0eeac, translation on the recognition thread) and of this
   tree, interleaved. Figures: processor seconds per audio second, commit latency of the "F"
   lines, lag from each "F" line to its "U" line, finished lines left without a "U" line.

3. With --speakers: a speaker network of the real ResNet34 shape (random weights,
   tools/models/make_speaker_model.py --real-shape): what one voiceprint of 1, 3 and 12 s of audio
   costs, and the live runs of this tree's worker with "Several (detect voices)" off and on
   (no speaker-turn detector, so finished lines take the registry path).

About 4 minutes for the costs (plus generation on first use: about 1.5 minutes), and about 1.5
minutes per live run: 16 runs a round with two Whisper models.
"""
import argparse
import math
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
import make_speaker_model  # noqa: E402
import make_translation_model as mtm  # noqa: E402
import speech  # noqa: E402
import worker_process  # noqa: E402

sys.path.insert(0, os.path.join(rb.REPO, "worker"))
import worker  # noqa: E402

DEFAULT_BASE = "cb0eeac"
SENTENCE_TOKENS = (("short", 12), ("medium", 24), ("long", 40))
OPTIONS_OFF = "en|none|0|0|60"
OPTIONS_ON = "en|ru|0|0|60"
SETTLE_WITH_TRANSLATION = 300.0


def load_note():
    return "load %.1f %.1f %.1f" % os.getloadavg()


# ---------------------------------------------------------------------------------------------
# Cost of one sentence
# ---------------------------------------------------------------------------------------------

def held_length(tokens, kind):
    return math.ceil(1.2 * tokens) + (1 if kind == "nllb" else 0)


def one_sentence(engine, kind, tokens, beam):
    """(wall, processor) seconds of one sentence of tokens source tokens."""
    import time as clock

    if kind == "nllb":
        source = ["eng_Latn"] + ["\u2581a"] * tokens + ["</s>"]
        options = {"target_prefix": [["rus_Cyrl"]], "repetition_penalty": 1.1,
                   "no_repeat_ngram_size": 4}
    else:
        source = ["<2ru>"] + ["\u2581a"] * tokens + ["</s>"]
        options = {}
    length = held_length(tokens, kind)
    wall, cpu = clock.monotonic(), clock.process_time()
    engine.translate_batch([source], beam_size=beam, min_decoding_length=length,
                           max_decoding_length=length, **options)
    return clock.monotonic() - wall, clock.process_time() - cpu


def sentence_costs(shapes, cache):
    import ctranslate2

    print("\n=== cost of one sentence (decoding held to 1.2 x the source), wall / processor s; "
          "%d cores, %s" % (os.cpu_count(), load_note()))
    print("  %-10s %-8s %12s %12s %12s %12s %12s %12s" % (
        "shape", "threads", "short b1", "short b4", "medium b1", "medium b4", "long b1",
        "long b4"))
    made_rows = []
    for model_id in shapes:
        made = mtm.real_shape_model(model_id, cache)
        made_rows.append((model_id, made))
        kind = mtm.REAL_SHAPES[model_id].kind
        thread_choices = [worker.translator_threads()]
        if model_id == "nllb13" and os.cpu_count() > thread_choices[0]:
            thread_choices.append(os.cpu_count())
        for threads in thread_choices:
            started = time.monotonic()
            engine = ctranslate2.Translator(made.folder, device="cpu", compute_type="int8",
                                            inter_threads=1, intra_threads=threads)
            loaded = time.monotonic() - started
            cells = []
            for _, tokens in SENTENCE_TOKENS:
                for beam in (1, 4):
                    wall, cpu = one_sentence(engine, kind, tokens, beam)
                    cells.append("%5.2f/%5.2f" % (wall, cpu))
            print("  %-10s %-8d %s   (loaded in %.1f s; %s)" % (model_id, threads,
                                                                " ".join("%12s" % c for c in cells),
                                                                loaded, load_note()), flush=True)
            del engine
    print("  generated models (cache %s):" % (cache or mtm.DEFAULT_REAL_CACHE))
    for model_id, made in made_rows:
        print("    %-10s %6.0f MB on disk, %s" % (
            model_id, made.megabytes,
            "generated now in %.0f s" % made.seconds if made.seconds else "already generated"))


# ---------------------------------------------------------------------------------------------
# Live runs
# ---------------------------------------------------------------------------------------------

def translation_lags(lines):
    """Seconds from each "F" line to its "U" line, and how many non-empty "F" lines got no "U"
    line. (A model with random weights mostly decodes tokens its small tokenizer does not know,
    so an empty "U" text is no failure here.)"""
    answered = worker_process.answer_lags(lines)
    return ([a.lag for a in answered if a.lag is not None],
            sum(1 for a in answered if a.text and a.lag is None))


def live_rows(results):
    rows = rb.summary(results)
    lags = [x for r in results for x in translation_lags(r["lines"])[0]]
    untranslated = sum(translation_lags(r["lines"])[1] for r in results)
    rows.append(("F to U lag median s", "%.2f" % statistics.median(lags) if lags else "-"))
    rows.append(("F to U lag worst s", "%.2f" % max(lags) if lags else "-"))
    rows.append(("finished lines without U", "%d" % untranslated))
    rows.append(("load at the end", "%.1f" % statistics.mean(r["load"] for r in results)))
    return rows


def live(args, folder):
    root = os.path.join(folder, "root")
    for model in args.models:
        lay_out_whisper.lay_out(root, model)
    for shape in args.live_shapes:
        mtm.lay_out_real(root, shape, args.cache)
    workers = []
    if args.base != "none":
        commit = rb.base_worker(args.base, os.path.join(folder, "base-worker"))
        workers.append(("before", os.path.join(folder, "base-worker")))
        print("before = worker of %s, after = worker of this tree" % commit[:12])
    workers.append(("after", os.path.join(rb.REPO, "worker")))
    scenarios = [("monologue", rb.build_monologue(folder), ()),
                 ("dialogue", rb.build_dialogue(folder), ["echo=0"])]
    columns = []
    for name, _ in workers:
        columns.append((name, "off", OPTIONS_OFF, args.live_shapes[0]))
        for shape in args.live_shapes:
            columns.append((name, "on" if len(args.live_shapes) == 1 else shape, OPTIONS_ON,
                            shape))
    results = {}
    for round_no in range(args.rounds):
        order = columns if round_no % 2 == 0 else list(reversed(columns))
        for model in args.models:
            for name, (wavs, sentences), settings in scenarios:
                for worker_name, tr, options, shape in order:
                    worker_dir = dict(workers)[worker_name]
                    env = {"TRANSLATION_MODEL": shape, "BENCH_HOLD_DECODING": "1"}
                    started = time.monotonic()
                    result = rb.scenario(worker_dir, root, wavs, sentences, settings, options,
                                         model, env, SETTLE_WITH_TRANSLATION)
                    result["load"] = os.getloadavg()[0]
                    results.setdefault((model, name, worker_name, tr), []).append(result)
                    print("  ran %s %s %s translation %s in %.0f s (%s)" % (
                        model, name, worker_name, tr, time.monotonic() - started, load_note()),
                        flush=True)
    for model in args.models:
        for name, (wavs, sentences), _ in scenarios:
            played = max(speech.seconds_of(w) for w in wavs)
            heads = ["%s/%s" % (w, tr) for w, tr, _, _ in columns]
            print()
            rb.print_table("=== %s, %s: %.1f s of audio, %d sentences, %d round(s); translation "
                           "%s" % (model, name, played, len(sentences), args.rounds,
                                   ", ".join(args.live_shapes)), heads,
                           [live_rows(results[(model, name, w, tr)]) for w, tr, _, _ in columns])


def voiceprint_costs(folder):
    import numpy as np
    import sherpa_onnx

    path = make_speaker_model.lay_out(folder, real_shape=True)
    extractor = sherpa_onnx.SpeakerEmbeddingExtractor(sherpa_onnx.SpeakerEmbeddingExtractorConfig(
        model=path, num_threads=2, provider="cpu"))
    print("\n=== one voiceprint with the ResNet34 shape (%.1f MB), 2 threads, wall / processor s; "
          "%s" % (os.path.getsize(path) / 1e6, load_note()))
    rng = np.random.default_rng(1)
    for seconds in (1.0, 3.0, 12.0):
        audio = (rng.standard_normal(int(seconds * 16000)) * 0.1).astype(np.float32)
        cells = []
        for _ in range(3):
            wall, cpu = time.monotonic(), time.process_time()
            stream = extractor.create_stream()
            stream.accept_waveform(16000, audio)
            stream.input_finished()
            extractor.compute(stream)
            cells.append("%.3f/%.3f" % (time.monotonic() - wall, time.process_time() - cpu))
        print("  %4.1f s of audio: %s" % (seconds, "  ".join(cells)))


def speaker_live(args, folder):
    root = os.path.join(folder, "root")
    lay_out_whisper.lay_out(root, "tiny.en")
    make_speaker_model.lay_out(root, real_shape=True)
    scenarios = [("monologue", rb.build_monologue(folder), ()),
                 ("dialogue", rb.build_dialogue(folder), ["echo=0"])]
    worker_dir = os.path.join(rb.REPO, "worker")
    columns = [("off", "en|none|0|0|60"), ("on", "en|none|0|1|60")]
    results = {}
    for round_no in range(args.rounds):
        order = columns if round_no % 2 == 0 else list(reversed(columns))
        for name, (wavs, sentences), settings in scenarios:
            for column, options in order:
                result = rb.scenario(worker_dir, root, wavs, sentences, settings, options,
                                     "tiny.en", {"SPEAKER_MODEL": "resnet34"})
                result["load"] = os.getloadavg()[0]
                results.setdefault((name, column), []).append(result)
    for name, (wavs, sentences), _ in scenarios:
        print()
        rb.print_table("=== tiny.en, %s, speaker detection off / on (ResNet34 shape), %d round(s)"
                       % (name, args.rounds), [c for c, _ in columns],
                       [live_rows(results[(name, c)]) for c, _ in columns])
        rb.print_table("  a pass on average: processor/wall seconds, calls", [c for c, _ in columns],
                       [rb.profile_rows(results[(name, c)]) for c, _ in columns])


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", default=os.environ.get("BASE") or DEFAULT_BASE,
                        help="commit whose worker gives the 'before' figures; 'none' for none")
    parser.add_argument("--rounds", type=int, default=int(os.environ.get("ROUNDS") or 1))
    parser.add_argument("--models", default="tiny.en,base")
    parser.add_argument("--shapes", default="nllb13,nllb33,madlad3b",
                        help="model shapes whose sentence cost is measured")
    parser.add_argument("--live-shapes", default="nllb13",
                        help="model shapes the live runs translate with")
    parser.add_argument("--cache", default=None, help="folder of the generated models")
    parser.add_argument("--skip-costs", action="store_true")
    parser.add_argument("--skip-live", action="store_true")
    parser.add_argument("--speakers", action="store_true",
                        help="also the speaker network of the real ResNet34 shape")
    parser.add_argument("--keep", help="folder for the audio and the data root (kept)")
    args = parser.parse_args(argv)
    args.models = [m for m in args.models.split(",") if m]
    args.live_shapes = [s for s in args.live_shapes.split(",") if s]
    for shape in args.live_shapes + args.shapes.split(","):
        if shape and shape not in mtm.REAL_SHAPES:
            parser.error("unknown shape %r" % shape)
    started = time.monotonic()
    if not args.skip_costs:
        sentence_costs([s for s in args.shapes.split(",") if s], args.cache)
    if not args.skip_live:
        if not speech.have_tools():
            print("needs espeak-ng, sox and %s (make build-native && scripts/make_dist.sh)"
                  % speech.FEED_WAV)
            return 1
        folder = args.keep or tempfile.mkdtemp(prefix="translation-bench-")
        os.makedirs(folder, exist_ok=True)
        try:
            live(args, folder)
        finally:
            if args.keep is None:
                shutil.rmtree(folder, ignore_errors=True)
    if args.speakers:
        folder = tempfile.mkdtemp(prefix="speaker-bench-")
        try:
            voiceprint_costs(folder)
            if speech.have_tools():
                speaker_live(args, folder)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
    print("\ntranslation bench: %.0f s in all (%s)" % (time.monotonic() - started, load_note()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
