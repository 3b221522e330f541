"""Colloquor recognition worker.

Parlivo starts this script with its standard input and output on two pipes: binary frames come in
(audio, end of utterance, options, model switches, voice reset, quit), UTF-8 lines go out (status,
progress, model catalogs, active models, recognized text and translations). Diagnostics go to
standard error, which Parlivo keeps in worker.log, one line per failure.

Heavy libraries (numpy, faster-whisper, CTranslate2, tokenizers, sherpa-onnx) are imported only
after the dependency check, which may have to install them first.
"""
import gc
import glob
import importlib.metadata
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import threading
import time

from dl_progress import download_file, fetch

# ---------------------------------------------------------------------------------------------
# Constants and catalogs
# ---------------------------------------------------------------------------------------------

RATE = 16000
MAX_SPEAKERS = 6

SCRIPT_DIR = os.path.dirname(os.path.abspath(__file__))

WHISPER_FILES = ["config.json", "preprocessor_config.json", "model.bin", "tokenizer.json",
                 "vocabulary.*"]

TR_MODELS = [
    {"id": "nllb13", "label": "NLLB 1.3B - fast (default)",
     "repo": "OpenNMT/nllb-200-distilled-1.3B-ct2-int8", "size": 1400, "kind": "nllb"},
    {"id": "nllb33", "label": "NLLB 3.3B - better",
     "repo": "OpenNMT/nllb-200-3.3B-ct2-int8", "size": 3400, "kind": "nllb"},
    {"id": "madlad3b", "label": "MADLAD-400 3B - best, fluent text",
     "repo": "Nextcloud-AI/madlad400-3b-mt-ct2-int8", "size": 3000, "kind": "madlad"},
]
DEFAULT_TR_MODEL = "nllb13"

SPEAKER_MODELS = [
    {"id": "resnet34", "label": "ResNet34 - fast, recommended",
     "file": "wespeaker_en_voxceleb_resnet34_LM.onnx", "size": 25},
    {"id": "campp", "label": "CAM++ - accurate and light",
     "file": "wespeaker_en_voxceleb_CAM++_LM.onnx", "size": 27},
    {"id": "resnet152", "label": "ResNet152 - experimental",
     "file": "wespeaker_en_voxceleb_resnet152_LM.onnx", "size": 75},
    {"id": "resnet293", "label": "ResNet293 - experimental, slow",
     "file": "wespeaker_en_voxceleb_resnet293_LM.onnx", "size": 109},
    {"id": "titanet", "label": "TitaNet Large (NVIDIA)",
     "file": "nemo_en_titanet_large.onnx", "size": 96},
    {"id": "campp_zhen", "label": "CAM++ Chinese + English",
     "file": "3dspeaker_speech_campplus_sv_zh_en_16k-common_advanced.onnx", "size": 26},
]
DEFAULT_SPEAKER_MODEL = "resnet34"

# The sherpa-onnx project's release downloads. DICTATION_RELEASES_HOST points them at a mirror
# (or, in tests, at a local server).
RELEASES_HOST = (os.environ.get("DICTATION_RELEASES_HOST") or "https://github.com").rstrip("/")
SPK_BASE = RELEASES_HOST + "/k2-fsa/sherpa-onnx/releases/download/speaker-recongition-models/"
SEG_URL = (RELEASES_HOST + "/k2-fsa/sherpa-onnx/releases/download/speaker-segmentation-models/"
           "sherpa-onnx-pyannote-segmentation-3-0.tar.bz2")
SEG_FILE = "pyannote-segmentation-3-0.onnx"

# Frame payloads beyond this size are skipped without being kept in memory: Parlivo never sends
# more than a few seconds of audio in one frame, so such a length can only be a broken stream.
MAX_PAYLOAD = 64 * 1024 * 1024

# ---------------------------------------------------------------------------------------------
# Lines out (the protocol's worker side)
# ---------------------------------------------------------------------------------------------

out_lock = threading.Lock()
_SEPARATORS = str.maketrans({"\r": " ", "\n": " ", "\t": " "})


def format_line(kind, *fields):
    parts = [str(kind)] + [str(f).translate(_SEPARATORS) for f in fields]
    return ("\t".join(parts) + "\n").encode("utf-8", "replace")


def send(kind, *fields):
    data = format_line(kind, *fields)
    with out_lock:
        try:
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        except (OSError, ValueError):
            # Parlivo has gone; nobody is left to tell, and the job object ends us shortly.
            pass


def log(text):
    try:
        sys.stderr.write(text.replace("\n", " ") + "\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


# ---------------------------------------------------------------------------------------------
# Data root and environment
# ---------------------------------------------------------------------------------------------

ROOT = ""
HF = ""
TMP = ""
SPEAKER_DIR = ""


def data_root():
    return os.environ.get("DICTATION_ROOT") or os.path.join(SCRIPT_DIR, "data")


def set_up_environment():
    global ROOT, HF, TMP, SPEAKER_DIR
    ROOT = data_root()
    HF = os.path.join(ROOT, "hf")
    TMP = os.path.join(ROOT, "tmp")
    SPEAKER_DIR = os.path.join(ROOT, "speaker")
    os.makedirs(TMP, exist_ok=True)
    for name, value in (("HF_HOME", HF), ("TMP", TMP), ("TEMP", TMP),
                        ("HF_HUB_DISABLE_SYMLINKS_WARNING", "1")):
        if not os.environ.get(name):
            os.environ[name] = value


def has_nvidia():
    if shutil.which("nvidia-smi"):
        return True
    system_root = os.environ.get("SystemRoot") or "C:/Windows"
    return os.path.isfile(os.path.join(system_root, "System32", "nvidia-smi.exe"))


def recognition_model_name():
    return os.environ.get("DICTATE_MODEL") or ("large-v3" if has_nvidia() else "small")


def short_label(label):
    return label.split(" -", 1)[0]


def find_entry(catalog, model_id):
    for entry in catalog:
        if entry["id"] == model_id:
            return entry
    return None


def initial_model_id(variable, catalog, default):
    model_id = os.environ.get(variable) or default
    return model_id if find_entry(catalog, model_id) else default


# ---------------------------------------------------------------------------------------------
# Dependency check and install
# ---------------------------------------------------------------------------------------------

_NAME_END = re.compile(r"[<>=!~\[ ;]")
_PIP_PROGRESS = re.compile(r"^Progress (\d+) of (\d+)")
PIP_REPORT_INTERVAL = 0.3


def requirement_name(line):
    return _NAME_END.split(line, 1)[0].strip()


def is_installed(name):
    try:
        importlib.metadata.distribution(name)
        return True
    except importlib.metadata.PackageNotFoundError:
        return False


def missing_requirements(text, gpu):
    """The stripped requirement lines of text whose package is not installed."""
    missing = []
    for raw in text.splitlines():
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        name = requirement_name(line)
        if not name:
            continue
        if name.lower().startswith("nvidia-") and not gpu:
            continue
        if not is_installed(name):
            missing.append(line)
    return missing


class PipReader:
    """Turns pip's output lines into statuses, progress lines and log lines."""

    def __init__(self, clock=time.time):
        self.clock = clock
        self.file_name = "download"
        self.last_report = 0.0
        self.lines = []

    def feed(self, line):
        line = line.strip()
        if not line:
            return
        progress = _PIP_PROGRESS.match(line)
        if progress:
            done, total = int(progress.group(1)), int(progress.group(2))
            now = self.clock()
            if total > 0 and now - self.last_report > PIP_REPORT_INTERVAL:
                self.last_report = now
                percent = min(100, done * 100 // total)
                send("D", percent, "Installing packages - %s: %d%% (%.0f of %.0f MB)"
                     % (self.file_name, percent, done / 1e6, total / 1e6))
            return
        self.lines.append(line)
        log(line)
        if line.startswith("Downloading "):
            token = line[len("Downloading "):].split()
            if token:
                self.file_name = token[0][:48]
        elif line.startswith(("Installing collected", "Collecting", "Successfully")):
            send("S", "pip: " + line[:110])


def run_pip(requirements, progress_bar="raw"):
    """Runs pip for the requirements; returns (exit code, the PipReader that read its output)."""
    args = [sys.executable, "-m", "pip", "install", "--disable-pip-version-check",
            "--progress-bar", progress_bar] + list(requirements)
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, encoding="utf-8", errors="replace",
                            creationflags=getattr(subprocess, "CREATE_NO_WINDOW", 0))
    reader = PipReader()
    for line in proc.stdout:
        reader.feed(line)
    proc.stdout.close()
    return proc.wait(), reader


def _pip_lacks_raw_progress(reader):
    return any("invalid choice" in line and "raw" in line for line in reader.lines)


def ensure_deps(folder=None):
    try:
        path = os.path.join(folder or SCRIPT_DIR, "requirements.txt")
        if not os.path.isfile(path):
            return
        with open(path, encoding="utf-8") as f:
            missing = missing_requirements(f.read(), has_nvidia())
        if not missing:
            return
        send("S", "Installing missing Python packages (%s)..."
             % ", ".join(requirement_name(m) for m in missing))
        code, reader = run_pip(missing)
        if code != 0 and _pip_lacks_raw_progress(reader):
            # A pip older than 24.1 rejects the raw progress bar and would install nothing.
            code, reader = run_pip(missing, progress_bar="off")
        send("D", -1, "")
        if code != 0:
            send("S", "Installing packages failed (see worker.log); trying to continue...")
    except Exception as e:
        log("dependency check failed: %r" % (e,))


# Handles of the added library folders, kept for the life of the process.
_dll_folders = []


def add_cuda_paths():
    site = os.path.join(sys.prefix, "Lib", "site-packages")
    folders = sorted(glob.glob(os.path.join(site, "nvidia", "*", "bin")))
    for folder in folders:
        if hasattr(os, "add_dll_directory"):
            try:
                _dll_folders.append(os.add_dll_directory(folder))
            except OSError as e:
                log("CUDA folder %s: %r" % (folder, e))
    if folders:
        os.environ["PATH"] = os.pathsep.join(folders + [os.environ.get("PATH", "")])


# ---------------------------------------------------------------------------------------------
# Shared state and channels
# ---------------------------------------------------------------------------------------------

cond = threading.Condition()
src_lang = "ru"
tgt_lang = "none"
reverse = True
diarize = False
sens = 60
quit_flag = False


class Chan:
    """Audio and recognition state of one channel (0 microphone, 1 system audio)."""

    def __init__(self, idx):
        self.idx = idx
        self.buf = bytearray()
        self.last_len = 0
        self.final = False
        self.last_time = 0.0
        self.last_lang = None
        self.prev_sents = []
        self.prompt = ""
        self.gcent = {}
        self.gnext = 1
        self.last_spk = 0


chans = [Chan(0), Chan(1)]


def reset_voices(ch):
    """Forgets the channel's known voices; numbering starts again at 1. Call with cond held."""
    ch.gcent = {}
    ch.gnext = 1
    ch.last_spk = 0


# ---------------------------------------------------------------------------------------------
# Recognition model
# ---------------------------------------------------------------------------------------------

model = None
dev = "CPU"


def load_recognizer(name):
    global model, dev
    send("S", "Loading the recognition model %s..." % name)
    import numpy  # noqa: F401  (fail here, clearly, when the numeric library is missing)
    from faster_whisper import WhisperModel
    from faster_whisper.utils import _MODELS as whisper_repos

    source = name
    repo = whisper_repos.get(name)
    if repo:
        try:
            source = fetch(repo, HF, "Recognition model %s" % name, send, WHISPER_FILES)
        except Exception as e:
            log("model pre-download failed: %r" % (e,))
    if has_nvidia():
        try:
            model = WhisperModel(source, device="cuda", compute_type="int8_float16",
                                 download_root=HF)
            dev = "GPU"
            return
        except Exception as e:
            failure = e
    else:
        failure = RuntimeError("no NVIDIA GPU (CPU mode)")
    log("GPU failed: %r" % (failure,))
    send("S", "GPU unavailable, loading on the CPU...")
    model = WhisperModel(source, device="cpu", compute_type="int8", download_root=HF)
    dev = "CPU"


# ---------------------------------------------------------------------------------------------
# Translation models
# ---------------------------------------------------------------------------------------------

translator = None
tok = None
tr_id = ""
tr_kind = ""
tr_folder = ""
tr_lock = threading.Lock()
tr_loading = False
tr_pending = ""
# Sentence translations of the active model, keyed (model id, source, target, final, sentence).
cache = {}


def tr_cached(repo):
    from huggingface_hub import snapshot_download

    try:
        snapshot_download(repo, cache_dir=HF, local_files_only=True)
        return True
    except Exception:
        return False


def send_tr_catalog():
    for index, entry in enumerate(TR_MODELS):
        send("K", index, entry["id"], entry["label"], entry["size"],
             1 if tr_cached(entry["repo"]) else 0)


def translation_snapshot():
    """(translator, tok, tr_id, tr_kind) of one model, never a mix of two."""
    with cond:
        return translator, tok, tr_id, tr_kind


def create_translator(folder):
    import ctranslate2

    if dev == "GPU":
        try:
            return ctranslate2.Translator(folder, device="cuda", compute_type="int8_float16")
        except Exception as e:
            log("translator on GPU failed: %r" % (e,))
            send("S", "Not enough GPU memory for this translation model - using the CPU (slower).")
    return ctranslate2.Translator(folder, device="cpu", compute_type="int8")


def _restore_translator(entry_id, folder, failed_id):
    """Brings the previously active model back after its successor could not be created."""
    global translator
    try:
        engine = create_translator(folder)
    except Exception as e:
        log("previous translation model %s could not be restored: %r" % (entry_id, e))
        _set_translator(None, None, "", "", "")
        return
    with cond:
        translator = engine
    log("translation model %s kept after %s failed" % (entry_id, failed_id))


def _set_translator(engine, new_tok, model_id, kind, folder):
    global translator, tok, tr_id, tr_kind, tr_folder
    with cond:
        translator, tok, tr_id, tr_kind, tr_folder = engine, new_tok, model_id, kind, folder


def load_translator(model_id):
    global translator
    entry = find_entry(TR_MODELS, model_id)
    if entry is None:
        return
    folder = fetch(entry["repo"], HF, "Translation model " + short_label(entry["label"]), send)
    import tokenizers

    new_tok = tokenizers.Tokenizer.from_file(os.path.join(folder, "tokenizer.json"))
    previous_id, previous_folder = tr_id, tr_folder
    # Free the old model before the new one is created: two large models rarely fit together.
    with cond:
        translator = None
    gc.collect()
    try:
        engine = create_translator(folder)
    except Exception:
        if previous_id:
            _restore_translator(previous_id, previous_folder, entry["id"])
        raise
    _set_translator(engine, new_tok, entry["id"], entry["kind"], folder)
    cache.clear()
    send("Z", entry["id"])
    send_tr_catalog()


def _switch_translator_thread(model_id):
    global tr_loading, tr_pending
    while model_id:
        if model_id != tr_id:
            try:
                load_translator(model_id)
            except Exception as e:
                log("translation model error: %r" % (e,))
                send("D", -1, "")
                send("S", "Could not load the translation model: %s" % (e,))
                send("Z", tr_id or "")
        with tr_lock:
            model_id, tr_pending = tr_pending, ""
            if not model_id:
                tr_loading = False


def switch_translator(model_id):
    global tr_loading, tr_pending
    if find_entry(TR_MODELS, model_id) is None:
        return
    with tr_lock:
        if tr_loading:
            tr_pending = model_id
            return
        tr_loading = True
    threading.Thread(target=_switch_translator_thread, args=(model_id,), daemon=True).start()


def load_initial_translator():
    model_id = initial_model_id("TRANSLATION_MODEL", TR_MODELS, DEFAULT_TR_MODEL)
    send("S", "Loading the translation model...")
    try:
        load_translator(model_id)
    except Exception as e:
        log("translation unavailable: %r" % (e,))
        _set_translator(None, None, "", "", "")
        send("N", "Translation model unavailable: %s" % (e,))
        send_tr_catalog()


# ---------------------------------------------------------------------------------------------
# Speaker models
# ---------------------------------------------------------------------------------------------

extractor = None
spk_id = ""
spk_lock = threading.Lock()
spk_loading = False
spk_pending = ""


def spk_file(entry):
    return os.path.join(SPEAKER_DIR, entry["file"])


def send_catalog():
    for index, entry in enumerate(SPEAKER_MODELS):
        send("C", index, entry["id"], entry["label"], entry["size"],
             1 if os.path.isfile(spk_file(entry)) else 0)


def load_speaker(model_id):
    global extractor, spk_id
    entry = find_entry(SPEAKER_MODELS, model_id)
    if entry is None:
        return
    path = spk_file(entry)
    if not os.path.isfile(path):
        send("S", 'Downloading the speaker model "%s" (%d MB, one time only)...'
             % (entry["label"], entry["size"]))
        download_file(SPK_BASE + entry["file"], path, "Speaker model " + short_label(entry["label"]),
                      send)
    import sherpa_onnx

    config = sherpa_onnx.SpeakerEmbeddingExtractorConfig(model=path, num_threads=2,
                                                         provider="cpu")
    new_extractor = sherpa_onnx.SpeakerEmbeddingExtractor(config)
    with cond:
        extractor = new_extractor
        spk_id = entry["id"]
        for ch in chans:
            reset_voices(ch)
    send("M", entry["id"])
    send_catalog()


def _switch_speaker_thread(model_id):
    global spk_loading, spk_pending
    while model_id:
        if model_id != spk_id:
            try:
                load_speaker(model_id)
            except Exception as e:
                log("speaker model error: %r" % (e,))
                send("D", -1, "")
                send("S", "Could not load the speaker model: %s" % (e,))
                send("M", spk_id or "")
        with spk_lock:
            model_id, spk_pending = spk_pending, ""
            if not model_id:
                spk_loading = False


def switch_speaker(model_id):
    global spk_loading, spk_pending
    if find_entry(SPEAKER_MODELS, model_id) is None:
        return
    with spk_lock:
        if spk_loading:
            spk_pending = model_id
            return
        spk_loading = True
    threading.Thread(target=_switch_speaker_thread, args=(model_id,), daemon=True).start()


def load_initial_speaker():
    global extractor
    model_id = initial_model_id("SPEAKER_MODEL", SPEAKER_MODELS, DEFAULT_SPEAKER_MODEL)
    try:
        load_speaker(model_id)
    except Exception as e:
        log("speaker detection unavailable: %r" % (e,))
        with cond:
            extractor = None
        send("V", "Speaker detection unavailable: %s" % (e,))
        send_catalog()


# ---------------------------------------------------------------------------------------------
# Speaker-turn detector download
# ---------------------------------------------------------------------------------------------

seg_busy = False
seg_lock = threading.Lock()


def seg_path():
    return os.path.join(SPEAKER_DIR, SEG_FILE)


def ensure_segmentation():
    global seg_busy
    with seg_lock:
        if seg_busy or os.path.isfile(seg_path()):
            return
        seg_busy = True
    try:
        send("S", "Downloading the speaker-turn detector (6 MB, one time only)...")
        archive = seg_path() + ".tar.bz2"
        download_file(SEG_URL, archive, "Speaker-turn detector", send)
        with tarfile.open(archive, "r:bz2") as tar:
            member = next((m for m in tar.getmembers()
                           if m.isfile() and m.name.endswith("model.onnx")), None)
            if member is not None:
                data = tar.extractfile(member).read()
                with open(seg_path() + ".part", "wb") as out:
                    out.write(data)
                os.replace(seg_path() + ".part", seg_path())
        os.remove(archive)
        send("S", "Speaker-turn detector ready.")
    except Exception as e:
        log("segmentation model failed: %r" % (e,))
        send("D", -1, "")
        send("S", "Could not download the speaker-turn detector: %s" % (e,))
    finally:
        with seg_lock:
            seg_busy = False


# ---------------------------------------------------------------------------------------------
# Frames in: reading and acting
# ---------------------------------------------------------------------------------------------

class EndOfInput(Exception):
    pass


def read_exact(stream, n):
    """Exactly n bytes from stream; EndOfInput when the stream ends first."""
    chunks = []
    left = n
    while left > 0:
        chunk = stream.read(min(left, 1 << 20))
        if not chunk:
            raise EndOfInput()
        chunks.append(chunk)
        left -= len(chunk)
    return b"".join(chunks)


def skip_exact(stream, n):
    while n > 0:
        n -= len(read_exact(stream, min(n, 1 << 20)))


def read_frame(stream):
    """(type letter, payload); payload is None when it was too large to keep."""
    header = read_exact(stream, 5)
    kind = chr(header[0])
    (length,) = struct.unpack("<I", header[1:5])
    if length > MAX_PAYLOAD:
        skip_exact(stream, length)
        return kind, None
    return kind, read_exact(stream, length) if length else b""


def parse_options(payload):
    """(src, tgt, reverse, diarize, sensitivity text) or None when the frame is malformed."""
    parts = payload.decode("utf-8", "ignore").split("|")
    if len(parts) < 5:
        return None
    return parts[0], parts[1], parts[2] == "1", parts[3] == "1", parts[4]


def apply_options(options):
    global src_lang, tgt_lang, reverse, diarize, sens
    src, tgt, rev, dia, sensitivity = options
    with cond:
        src_lang, tgt_lang, reverse, diarize = src, tgt, rev, dia
        # The sensitivity is kept for the speaker rules; a malformed number keeps the old one.
        if sensitivity.strip().isdigit():
            sens = int(sensitivity.strip())
    if dia and not os.path.isfile(seg_path()):
        threading.Thread(target=ensure_segmentation, daemon=True).start()


def handle_frame(kind, payload):
    """Acts on one frame. Returns False when the loop has to end."""
    if payload is None:
        return True
    if kind == "A":
        if len(payload) > 1 and payload[0] < 2:
            # Whole samples only: half a sample would shift every later sample of the utterance.
            end = len(payload) - (len(payload) - 1) % 2
            with cond:
                chans[payload[0]].buf += payload[1:end]
                cond.notify_all()
    elif kind == "E":
        if payload and payload[0] < 2:
            with cond:
                chans[payload[0]].final = True
                cond.notify_all()
    elif kind == "L":
        options = parse_options(payload)
        if options is not None:
            apply_options(options)
    elif kind == "M":
        switch_speaker(payload.decode("utf-8", "ignore"))
    elif kind == "G":
        switch_translator(payload.decode("utf-8", "ignore"))
    elif kind == "R":
        with cond:
            for ch in chans:
                reset_voices(ch)
    elif kind == "Q":
        return False
    return True


def frame_loop(stream):
    try:
        while True:
            kind, payload = read_frame(stream)
            if not handle_frame(kind, payload):
                return
    except EndOfInput:
        return
    except OSError as e:
        # A broken input pipe is the end of the conversation, like end of file.
        log("input failed: %r" % (e,))


# ---------------------------------------------------------------------------------------------
# Start-up and exit
# ---------------------------------------------------------------------------------------------

def start_up():
    set_up_environment()
    name = recognition_model_name()
    ensure_deps()
    add_cuda_paths()
    load_recognizer(name)
    load_initial_translator()
    load_initial_speaker()
    # The recognition thread is started here, before the ready status, once it exists.
    send("S", "ready (%s)" % dev)


def finish():
    global quit_flag
    with cond:
        quit_flag = True
        cond.notify_all()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    # Background threads (downloads, model loads) are abandoned, not joined.
    os._exit(0)


def main():
    start_up()
    frame_loop(sys.stdin.buffer)
    finish()


if __name__ == "__main__":
    main()
