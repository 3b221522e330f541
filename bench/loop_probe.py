"""Decoding loops of the recognizer on the soak's program, and what the loop filter keeps of them.

    python bench/loop_probe.py [--minutes N] [--seed S] [--keep DIR]

The soak's one-minute program (bench/soak.py) goes through dist/linux/feed_wav as fast as it
can, and every utterance the front end makes of it is recognized with the worker's own passes
and tiny.en on the CPU: partial passes after 2.0 to 4.5 s of new audio each (an irregular grid,
as on a loaded machine, so every minute cuts the audio at other places) and a final pass at its
end. Printed: every segment that scores as a loop (compression ratio above LOOP_COMPRESSION),
with its ratio, the pass, and the text the loop filter keeps of it; then per minute the number
of segments and of loops, and how many words the filter kept out of loops.
"""
import argparse
import os
import random
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "worker"))

import soak  # noqa: E402  (puts worker/tests and tools/models on the path)
import lay_out_whisper  # noqa: E402
import speech  # noqa: E402
import worker  # noqa: E402


def probe(minutes, seed, folder):
    from faster_whisper import WhisperModel

    heard = speech.front_end_utterances(soak.build_minute(os.path.join(folder, "audio")),
                                        options=soak.OPTIONS, settings=soak.SETTINGS)
    seen = []
    filter_segment = worker.add_segment

    def add_segment(seg, items, words):
        before = len(words), len(items)
        filter_segment(seg, items, words)
        seen.append((seg, items[before[1]:], len(words) - before[0], dict(where)))

    worker.add_segment = add_segment
    worker.log = lambda text: None
    w = worker.Worker(lambda *fields: None, worker.data_paths(os.path.join(folder, "root")))
    w.model = WhisperModel(lay_out_whisper.packaged_model_dir("tiny.en"), device="cpu",
                           compute_type="int8", cpu_threads=1)
    w.options = worker.Options("en", "none", False, False, 60)
    grid = random.Random(seed)
    where = {}

    def run(ch, final):
        with w.cond:
            if final:
                worker.mark_end(w, ch)
            job = worker.pick(w)
        if job:
            worker.run_pass(w, job, w.options)

    for minute in range(1, minutes + 1):
        first = len(seen)
        for channel, audios in enumerate(heard):
            ch = w.chans[channel]
            for number, audio in enumerate(audios):
                where.update(channel=channel, utterance=number + 1, seconds=len(audio) / 32000.0)
                at = 0
                while True:
                    step = int(grid.uniform(2.0, 4.5) * worker.RATE * 2) // 2 * 2
                    if at + step >= len(audio):
                        break
                    with w.cond:
                        ch.buf += audio[at:at + step]
                    at += step
                    where["pass"] = "partial pass at %.1f s" % (at / 32000.0)
                    run(ch, False)
                with w.cond:
                    ch.buf += audio[at:]
                where["pass"] = "final pass"
                run(ch, True)
        loops = kept = 0
        for seg, items, words, at in seen[first:]:
            ratio = worker.compression_ratio(seg.text.strip())
            if ratio <= worker.LOOP_COMPRESSION:
                continue
            loops += 1
            kept += words
            text = " ".join(item.text for item in items)
            print("  minute %d, channel %d, utterance %d (%.1f s), %s: ratio %.2f, %d words, "
                  "no-speech %.2f, log-probability %.2f; kept %r; segment %r"
                  % (minute, at["channel"], at["utterance"], at["seconds"], at["pass"], ratio,
                     len(seg.words or seg.text.split()), seg.no_speech_prob, seg.avg_logprob,
                     text[:100], seg.text.strip()[:100]), flush=True)
            if seg.words:
                print("    words: " + " ".join("%s@%.2f-%.2f" % (w.word.strip(), w.start, w.end)
                                             for w in seg.words[:40]))
        print("minute %d: %d segments, %d scoring as loops, %d words kept out of them"
              % (minute, len(seen) - first, loops, kept), flush=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=int, default=10)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", help="folder for the audio (kept afterwards)")
    args = parser.parse_args(argv)
    speech.require_tools()
    folder = args.keep or tempfile.mkdtemp(prefix="loop-probe-")
    try:
        probe(args.minutes, args.seed, folder)
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
