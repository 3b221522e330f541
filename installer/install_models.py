"""Downloads the models the worker needs into the "data" folder next to this script.

Run by the installer with the environment's interpreter: `python -u install_models.py [--gpu]`.
The recognition and translation models are required: a failure there ends the script with the
interpreter's error and a non-zero status. The speaker model is optional: the program fetches it
itself when speaker detection is first switched on, so its failure is only reported.
"""
import os
import sys
import urllib.request

TRANSLATION_REPO = "OpenNMT/nllb-200-distilled-1.3B-ct2-int8"
WHISPER_PATTERNS = ["config.json", "preprocessor_config.json", "model.bin", "tokenizer.json", "vocabulary.*"]
SPEAKER_FILE = "wespeaker_en_voxceleb_resnet34_LM.onnx"
# The same release area the worker downloads speaker models from (and the same override).
RELEASES_HOST = (os.environ.get("DICTATION_RELEASES_HOST") or "https://github.com").rstrip("/")
SPK_BASE = RELEASES_HOST + "/k2-fsa/sherpa-onnx/releases/download/speaker-recongition-models/"
# Longest wait for the next bytes: a stalled server must not hold the installer forever.
READ_TIMEOUT = 60.0


def say(text):
    print(text, flush=True)


def download_speaker_model(root):
    speaker_dir = os.path.join(root, "speaker")
    os.makedirs(speaker_dir, exist_ok=True)
    target = os.path.join(speaker_dir, SPEAKER_FILE)
    if os.path.exists(target):
        return
    part = target + ".part"
    with urllib.request.urlopen(SPK_BASE + SPEAKER_FILE, timeout=READ_TIMEOUT) as answer, open(part, "wb") as out:
        announced = answer.headers.get("Content-Length")
        received = 0
        while True:
            block = answer.read(64 * 1024)
            if not block:
                break
            out.write(block)
            received += len(block)
    # A connection dropped part-way ends the reads quietly; only the count tells a cut-off file.
    if announced is not None and announced.isdigit() and received != int(announced):
        raise IOError("download incomplete: %d of %s bytes" % (received, announced))
    os.replace(part, target)


def main(argv):
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
    hf = os.path.join(root, "hf")
    os.makedirs(hf, exist_ok=True)
    os.environ.setdefault("HF_HOME", hf)
    os.environ.setdefault("HF_HUB_DISABLE_SYMLINKS_WARNING", "1")

    from huggingface_hub import snapshot_download
    from faster_whisper.utils import _MODELS

    whisper = "large-v3" if "--gpu" in argv else "small"
    say("Downloading Whisper %s ..." % whisper)
    snapshot_download(_MODELS[whisper], cache_dir=hf, allow_patterns=WHISPER_PATTERNS)

    say("Downloading NLLB-200 distilled 1.3B (translation) ...")
    snapshot_download(TRANSLATION_REPO, cache_dir=hf)

    say("Downloading the speaker model (26 MB) ...")
    try:
        download_speaker_model(root)
    except Exception as error:  # the program can fetch it later; never a reason to stop
        say("  skipped (%s) - the app will download it when that mode is switched on" % error)

    say("Models are ready.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
