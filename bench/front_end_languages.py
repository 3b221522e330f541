"""How sure the multilingual recognizer is of the spoken language, on the clips as spoken and on
what the audio front end makes of them, stage by stage.

    python bench/front_end_languages.py [--langs en,de,...] [--speed WPM] [--gap SECONDS]
                                        [--clips] [--keep DIR]

Every sentence of the language corpus (worker/tests/language_corpus.py) is spoken by espeak-ng in
its own language. All of them, 1.5 s apart, make one recording that runs through feed_wav (the
front end's conditioning and speech detector, as in Parlivo) once per variant below; the "A"
frames between two "E" frames are one utterance, which must be exactly one clip. Each clip or
utterance is judged as the worker judges a finished utterance: samples / 32768, lift_quiet, then
language_probs, with Whisper base (CPU, int8).

Variants (rows of the table):
- clip: the clip as spoken;
- clip, 5 ms later: the same with 5 ms of silence before it, nothing else: how far the
  recognizer's own judgement moves when the audio merely starts a little later (every cut does
  that);
- cut: the detector's cut of it, nothing conditioned (ns=0, agc=0: the samples are the clip's);
- high-pass: cut plus the high-pass filter alone (ns=1 with strength 0: the gate stays open);
- high-pass + gate: cut plus filter and noise gate at the default strength 50, no gain control;
- AGC: cut plus the automatic gain control alone (ns=0, agc=1);
- AGC, no limit: the same gains with nothing clipped at +-32000, redone here in Python (checked
  against feed_wav's AGC frames; the note gives the largest difference in sample values);
- front end: everything as Parlivo's defaults have it (ns=1, nsv=50, agc=1, gain 0 dB).

Figures: the true language's share within each pair of the corpus it belongs to (p(true) /
(p(true) + p(other)), what the worker's language choice compares with 0.5 and 0.85), its mean,
its lowest value and how many (clip, pair) cases fall below 0.5 and 0.85; how far the shares
moved from the clip's, case by case; the raw probability of the true language; and the mean
share per language. --clips prints every case.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
for path in (os.path.join(REPO, "worker"), os.path.join(REPO, "worker", "tests"),
             os.path.join(REPO, "tools", "models")):
    sys.path.insert(0, path)
# Nothing here may reach the model hub.
os.environ.setdefault("HF_ENDPOINT", "http://127.0.0.1:9")

import language_corpus  # noqa: E402
import lay_out_whisper  # noqa: E402
import speech  # noqa: E402

RATE = 16000
BLOCK = 1600
SUB_BLOCK = 160
GAP_SECONDS = 1.5   # between clips: well over the detector's 0.7 s hang-over
LEAD_SECONDS = 1.0  # before the first clip, so the detector has heard the room first

UNLIMITED = "unlimited"
SHIFTED = "shifted"
SHIFT_SAMPLES = 80  # 5 ms, half a frame of the recognizer's features
# (row label, feed_wav settings); None is the clip itself, UNLIMITED the gain control's gains
# without the output limit (redone here: feed_wav always limits).
VARIANTS = (
    ("clip", None),
    ("clip, 5 ms later", SHIFTED),
    ("cut", ("ns=0", "agc=0")),
    ("high-pass", ("ns=1", "nsv=0", "agc=0")),
    ("high-pass + gate", ("ns=1", "nsv=50", "agc=0")),
    ("AGC", ("ns=0", "agc=1")),
    ("AGC, no limit", UNLIMITED),
    ("front end", ("ns=1", "nsv=50", "agc=1")),
)


def corpus(langs):
    """[(code, sentence)], the languages taking turns so that the gain control carries from one
    language to the other as in a conversation."""
    out = []
    for i in range(max(len(language_corpus.SENTENCES[c]) for c in langs)):
        for code in langs:
            sentences = language_corpus.SENTENCES[code]
            if i < len(sentences):
                out.append((code, sentences[i]))
    return out


def pairs_of(code, langs):
    """The other language of every corpus pair that holds code (both within langs)."""
    others = []
    for a, b in language_corpus.PAIRS:
        if code in (a, b):
            other = b if code == a else a
            if other in langs and other not in others:
                others.append(other)
    return others


def read_wav(path):
    import numpy as np

    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").copy()


def write_wav(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(samples.astype("<i2").tobytes())


def session_recording(clips, gap=GAP_SECONDS):
    """The clips one after the other with silence between them, as one recording, and where each
    clip starts in it."""
    import numpy as np

    parts = [np.zeros(int(LEAD_SECONDS * RATE), dtype=np.int16)]
    starts = []
    at = len(parts[0])
    for clip in clips:
        starts.append(at)
        parts += [clip, np.zeros(int(gap * RATE), dtype=np.int16)]
        at += len(clip) + len(parts[-1])
    return np.concatenate(parts), starts


def front_end(wav_path, settings):
    """The samples of each utterance feed_wav makes of the recording with these settings."""
    import numpy as np

    return [np.frombuffer(u, dtype="<i2")
            for u in speech.front_end_utterances([wav_path], settings=settings)[0]]


def agc_alone(samples, limit=True):
    """The conditioning with the filter and the gate off and 0 dB of gain (ns=0, agc=1) redone in
    double precision, with or without the output limit: what the gain control alone makes of the
    audio, and the same gains with nothing clipped. Checked against feed_wav's own output."""
    import numpy as np

    x = samples.astype(np.float64)
    out = np.empty(len(x))
    floor, agc, prev = 40.0, 1.0, 1.0
    for off in range(0, len(x), SUB_BLOCK):
        w = x[off:off + SUB_BLOCK]
        n = len(w)
        b = float(np.sqrt(np.dot(w, w) / n))
        floor = 0.8 * floor + 0.2 * b if b < floor else floor * 1.0003
        floor = min(max(floor, 5.0), 800.0)
        if b > 2.8 * floor:
            agc += (min(max(2500.0 / max(1.0, b), 0.3), 31.0) - agc) * 0.01
        y = w * (np.arange(1, n + 1) * (agc - prev) / n + prev)
        out[off:off + n] = np.trunc(np.clip(y, -32000, 32000)) if limit else y
        prev = agc
    return out


def utterance_starts(recording, cuts, clip_starts):
    """Where each utterance of the unconditioned cut begins in the recording (feed_wav's blocks
    start at multiples of 1600 samples), None when it is not found there whole. Even unconditioned,
    the front end limits its output to +-32000."""
    import numpy as np

    recording = np.clip(recording, -32000, 32000)
    starts = []
    for cut, at in zip(cuts, clip_starts):
        first = max(0, (at - 2 * RATE) // BLOCK)
        found = None
        for k in range(first, (at + len(cut)) // BLOCK + 1):
            if np.array_equal(recording[k * BLOCK:k * BLOCK + len(cut)], cut):
                found = k * BLOCK
                break
        starts.append(found)
    return starts


def load_model():
    from faster_whisper import WhisperModel

    return WhisperModel(lay_out_whisper.packaged_model_dir("base"), device="cpu",
                        compute_type="int8")


def judge(model, samples):
    """{code: probability} as the worker's plan sees a finished utterance; {} when the
    voice-activity filter hears nothing."""
    import numpy as np
    import worker

    audio = worker.lift_quiet(np.asarray(samples, dtype=np.float32) / 32768.0)
    probs = worker.language_probs(model, audio)
    out = {}
    for code, p in probs or ():
        out.setdefault(code, p)
    return out


def shares(probs, code, others):
    """[(other, share of code within the pair, raw probability of code)]."""
    out = []
    p = probs.get(code, 0.0)
    for other in others:
        total = p + probs.get(other, 0.0)
        out.append((other, p / total if total > 0 else 0.0, p))
    return out


def measure(model, items, audio_of, clips_out):
    """The cases of one variant: [(code, other, share, raw)]."""
    cases = []
    for (code, sentence), samples, others in items_with(items, audio_of):
        for other, share, raw in shares(judge(model, samples), code, others):
            cases.append((code, other, share, raw))
            if clips_out is not None:
                clips_out.append((code, other, share, raw, len(samples) / RATE, sentence))
    return cases


def items_with(items, audio_of):
    for i, (code, sentence, others) in enumerate(items):
        yield (code, sentence), audio_of[i], others


def summary_row(label, cases, langs, reference):
    share = [c[2] for c in cases]
    raw = [c[3] for c in cases]
    moved = statistics.mean(abs(a - b) for a, b in zip(share, reference))
    cells = ["%-17s" % label, "%5.3f" % statistics.mean(share), "%5.3f" % min(share),
             "%3d" % sum(1 for s in share if s < 0.5), "%3d" % sum(1 for s in share if s < 0.85),
             "%5.3f" % moved, "%5.3f" % statistics.mean(raw)]
    for code in langs:
        mine = [c[2] for c in cases if c[0] == code]
        cells.append("%4.2f" % statistics.mean(mine) if mine else "  - ")
    return "  ".join(cells)


def header(langs, cases):
    return ("  ".join(["%-17s" % "variant", "share", " min ", "<.5", "<.85", "moved", "p(true)"]
                      + ["%4s" % c for c in langs])
            + "\n(%d cases: clip x pair; share = p(true) / (p(true) + p(other)); moved = mean "
              "|share - the clip's share| case by case)" % cases)


def variant_audio(settings, clips, recording, samples, clip_starts):
    """(the audio of each clip in this variant, a note for its row), or (None, why not)."""
    if settings is None:
        return clips, ""
    if settings == SHIFTED:
        import numpy as np

        return [np.concatenate([np.zeros(SHIFT_SAMPLES, dtype=np.int16), c]) for c in clips], ""
    if settings != UNLIMITED:
        out = front_end(recording, settings)
        if len(out) != len(clips):
            return None, "%d utterances for %d clips: the detector cut a clip" % (len(out),
                                                                                 len(clips))
        return out, ""
    cuts = front_end(recording, ("ns=0", "agc=0"))
    starts = utterance_starts(samples, cuts, clip_starts) if len(cuts) == len(clips) else [None]
    if None in starts:
        return None, "the detector's cut does not line up with the clips"
    limited, free = agc_alone(samples, True), agc_alone(samples, False)
    agc = front_end(recording, ("ns=0", "agc=1"))
    worst = max(float(abs(limited[s:s + len(a)] - a).max())
                for s, a in zip(starts, agc) if s + len(a) <= len(limited))
    return ([free[s:s + len(c)] for s, c in zip(starts, cuts)],
            "  (limited: within %g of feed_wav)" % worst)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--langs", default=",".join(language_corpus.CODES))
    ap.add_argument("--clips", action="store_true", help="print every (clip, pair) case")
    ap.add_argument("--keep", default="", help="keep the recordings in this folder")
    ap.add_argument("--speed", type=int, default=0,
                    help="espeak-ng's words per minute (default: its own, 175)")
    ap.add_argument("--gap", type=float, default=GAP_SECONDS,
                    help="seconds of silence between clips (default %(default)s)")
    args = ap.parse_args(argv[1:])
    langs = [c for c in args.langs.split(",") if c]
    unknown = [c for c in langs if c not in language_corpus.SENTENCES]
    if unknown:
        print("front_end_languages: unknown language code(s): %s" % ", ".join(unknown),
              file=sys.stderr)
        return 2
    if not (shutil.which("espeak-ng") and shutil.which("sox")
            and os.access(speech.FEED_WAV, os.X_OK)):
        print("front_end_languages: needs espeak-ng, sox and %s (make build)" % speech.FEED_WAV,
              file=sys.stderr)
        return 1
    try:
        model = load_model()
    except Exception as e:
        print("front_end_languages: the multilingual recognizer \"base\" is not available "
              "(make setup installs it): %r" % (e,), file=sys.stderr)
        return 1

    work = args.keep or tempfile.mkdtemp(prefix="front-end-languages.")
    os.makedirs(work, exist_ok=True)
    started = time.time()
    try:
        spoken = corpus(langs)
        items = [(code, sentence, pairs_of(code, langs)) for code, sentence in spoken]
        clips = []
        for i, (code, sentence) in enumerate(spoken):
            path = speech.speak(os.path.join(work, "clip%02d_%s.wav" % (i, code)), sentence,
                                voice=language_corpus.VOICES[code], speed=args.speed or None)
            clips.append(read_wav(path))
        recording = os.path.join(work, "session.wav")
        samples, clip_starts = session_recording(clips, args.gap)
        write_wav(recording, samples)

        cases_total = sum(len(others) for _, _, others in items)
        print("Language shares with Whisper base, %d clips of %s (%.0f s of speech), %d cases"
              % (len(clips), ",".join(langs), sum(len(c) for c in clips) / RATE, cases_total))
        print(header(langs, cases_total))
        details = {}
        reference = None
        for label, settings in VARIANTS:
            audio_of, note = variant_audio(settings, clips, recording, samples, clip_starts)
            if audio_of is None:
                print("%-17s  %s" % (label, note))
                continue
            details[label] = [] if args.clips else None
            cases = measure(model, items, audio_of, details[label])
            reference = reference or [c[2] for c in cases]
            print(summary_row(label, cases, langs, reference) + note, flush=True)
        if args.clips:
            for label, rows in details.items():
                print("\n%s: code/other share p(true) seconds sentence" % label)
                for code, other, share, raw, seconds, sentence in rows:
                    print("  %s/%s %5.3f %5.3f %4.1f %s" % (code, other, share, raw, seconds,
                                                              sentence))
        print("(%.0f s)" % (time.time() - started))
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
