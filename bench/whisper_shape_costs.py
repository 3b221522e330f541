"""What one recognizer call costs: the packaged tiny.en and base against Whisper models of the real
shapes with random weights (tools/models/make_whisper_model.py), on this machine's processor.

    python bench/whisper_shape_costs.py [--models tiny.en,base] [--shapes small,medium,large-v3]
                                        [--threads N]

Per model: its size on disk (and for a shape how long it took to generate, when it was generated
now), then wall / processor seconds of one encoder run over a 30-second window, a decoding of 20
and of 40 tokens at beam 5 (held to that length: the end of text is suppressed, as the recognizer
double does), the word timings of 20 tokens and, for a multilingual model, language detection.
Threads as the worker's recognizer has them (CTranslate2's default) unless --threads.
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools", "models"))
sys.path.insert(0, HERE)

import lay_out_whisper  # noqa: E402
import make_whisper_model  # noqa: E402
import recognizer_double  # noqa: E402

DECODED = (20, 40)
BEAM = 5


def timed(fn, *args, **kwargs):
    wall, cpu = time.monotonic(), time.process_time()
    fn(*args, **kwargs)
    return time.monotonic() - wall, time.process_time() - cpu


def call_costs(folder, threads):
    """[(call, wall, processor)] for the model in folder."""
    import ctranslate2
    import numpy as np
    from faster_whisper import WhisperModel

    model = WhisperModel(folder, device="cpu", compute_type="int8", cpu_threads=threads)
    vocabulary = recognizer_double.Vocabulary(model.hf_tokenizer)
    engine = model.model
    rng = np.random.default_rng(1)
    features = ctranslate2.StorageView.from_array(
        rng.standard_normal((1, engine.n_mels, 3000)).astype(np.float32))
    prompt = [vocabulary.sot]
    if vocabulary.multilingual:
        prompt += [model.hf_tokenizer.token_to_id(recognizer_double.ENGLISH),
                   model.hf_tokenizer.token_to_id(recognizer_double.TRANSCRIBE)]
    engine.encode(features)                    # the first call allocates; not counted
    costs = [("encoder, 30 s",) + timed(engine.encode, features)]
    encoded = engine.encode(features)
    start = recognizer_double.start_step(prompt, vocabulary)
    for tokens in DECODED:
        options = recognizer_double.held_generate_options({"beam_size": BEAM}, start, tokens,
                                                          vocabulary.eot)
        costs.append(("%d tokens, beam %d" % (tokens, BEAM),)
                     + timed(engine.generate, encoded, [prompt], **options))
    text = [list(range(1000, 1000 + DECODED[0]))]
    costs.append(("word timings, %d tokens" % DECODED[0],)
                 + timed(engine.align, encoded, prompt, text, 3000))
    if vocabulary.multilingual:
        costs.append(("language detection",) + timed(engine.detect_language, encoded))
    return costs


def print_costs(models, shapes, threads=0, cache=None):
    rows = []
    for name in models:
        folder = lay_out_whisper.packaged_model_dir(name)
        size = make_whisper_model.folder_megabytes(folder)
        rows.append((name, "%.0f MB packaged" % size, call_costs(folder, threads)))
    for name in shapes:
        made = make_whisper_model.real_shape_model(name, cache)
        note = "%.0f MB, %s" % (made.megabytes, "generated in %.0f s" % made.seconds
                                if made.seconds else "already generated")
        rows.append((name + " shape", note, call_costs(made.folder, threads)))
    load = "load %.1f %.1f %.1f" % os.getloadavg()
    print("=== one recognizer call, wall / processor s (%d cores, %s threads, %s)"
          % (os.cpu_count(), threads or "default", load))
    calls = []
    for _, _, costs in rows:
        calls += [c for c, _, _ in costs if c not in calls]
    print("  %-16s %-30s %s" % ("model", "disk", "".join("%24s" % c for c in calls)))
    for name, note, costs in rows:
        by_call = {c: "%.2f / %.2f" % (w, p) for c, w, p in costs}
        print("  %-16s %-30s %s" % (name, note, "".join("%24s" % by_call.get(c, "-")
                                                        for c in calls)), flush=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", default="tiny.en,base", help="packaged models to compare")
    parser.add_argument("--shapes", default="small")
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--cache", default=None, help="folder of the generated models")
    args = parser.parse_args(argv)
    print_costs([m for m in args.models.split(",") if m], [s for s in args.shapes.split(",") if s],
                args.threads, args.cache)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
