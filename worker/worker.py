"""Colloquor recognition worker.

Parlivo starts this script with its standard input and output on two pipes: binary frames come in
(audio, end of utterance, options, model switches, voice reset, quit), UTF-8 lines go out (status,
progress, model catalogs, active models, recognized text and translations). Diagnostics go to
standard error, which Parlivo keeps in worker.log, one line per failure.

Heavy libraries (numpy, faster-whisper, CTranslate2, tokenizers, sherpa-onnx) are imported only
after the dependency check, which may have to install them first.
"""
import collections
import functools
import gc
import glob
import importlib.metadata
import os
import re
import struct
import subprocess
import sys
import tarfile
import threading
import time
from types import SimpleNamespace
from typing import NamedTuple

from dl_progress import download_file, fetch, guard_hub_client, local_snapshot

# ---------------------------------------------------------------------------------------------
# Constants and catalogs
# ---------------------------------------------------------------------------------------------

RATE = 16000
MAX_SPEAKERS = 6

SCRIPT_DIR = os.path.dirname(os.path.abspath(__file__))

WHISPER_FILES = ["config.json", "preprocessor_config.json", "model.bin", "tokenizer.json",
                 "vocabulary.*"]
# What a cached model needs before it counts as there: each entry is a list of alternatives, one
# of which must be a file. A download cut short leaves a snapshot that lacks some of them.
WHISPER_NEEDS = [["model.bin"], ["config.json"], ["tokenizer.json", "vocabulary.*"]]
TR_NEEDS = [["model.bin"], ["tokenizer.json"], ["shared_vocabulary.*", "vocabulary.*"]]

class TranslationModel(NamedTuple):
    id: str
    label: str
    repo: str           # model hub repository
    size: int           # download size in MB
    kind: str           # token handling: "nllb" or "madlad"


class SpeakerModel(NamedTuple):
    id: str
    label: str
    file: str           # file name, locally and in the release downloads
    size: int


TR_MODELS = (
    TranslationModel("nllb13", "NLLB 1.3B - fast (default)", "OpenNMT/nllb-200-distilled-1.3B-ct2-int8",
                     1400, "nllb"),
    TranslationModel("nllb33", "NLLB 3.3B - better", "OpenNMT/nllb-200-3.3B-ct2-int8", 3400, "nllb"),
    TranslationModel("madlad3b", "MADLAD-400 3B - best, fluent text",
                     "Nextcloud-AI/madlad400-3b-mt-ct2-int8", 3000, "madlad"),
)
DEFAULT_TR_MODEL = "nllb13"

SPEAKER_MODELS = (
    SpeakerModel("resnet34", "ResNet34 - fast, recommended", "wespeaker_en_voxceleb_resnet34_LM.onnx", 25),
    SpeakerModel("campp", "CAM++ - accurate and light", "wespeaker_en_voxceleb_CAM++_LM.onnx", 27),
    SpeakerModel("resnet152", "ResNet152 - experimental", "wespeaker_en_voxceleb_resnet152_LM.onnx", 75),
    SpeakerModel("resnet293", "ResNet293 - experimental, slow", "wespeaker_en_voxceleb_resnet293_LM.onnx",
                 109),
    SpeakerModel("titanet", "TitaNet Large (NVIDIA)", "nemo_en_titanet_large.onnx", 96),
    SpeakerModel("campp_zhen", "CAM++ Chinese + English",
                 "3dspeaker_speech_campplus_sv_zh_en_16k-common_advanced.onnx", 26),
)
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

# What each kind carries, after its letter: the one place the worker spells the protocol.
FRAME_KINDS = {
    "A": ("channel", "samples"),
    "E": ("channel",),
    "L": ("options",),
    "M": ("speaker model id",),
    "G": ("translation model id",),
    "R": (),
    "Q": (),
}
LINE_KINDS = {
    "S": ("text",),
    "D": ("percent", "text"),
    "N": ("text",),
    "V": ("text",),
    "K": ("index", "id", "label", "size", "installed"),
    "C": ("index", "id", "label", "size", "installed"),
    "Z": ("id",),
    "M": ("id",),
    "P": ("channel", "speaker", "language", "text"),
    "T": ("channel", "speaker", "language", "text"),
    "F": ("channel", "speaker", "language", "text"),
    "U": ("channel", "speaker", "language", "text"),
}

_SEPARATORS = str.maketrans({"\r": " ", "\n": " ", "\t": " "})


def format_line(kind, *fields):
    parts = [str(kind)] + [str(f).translate(_SEPARATORS) for f in fields]
    return ("\t".join(parts) + "\n").encode("utf-8", "replace")


def line_error(kind, fields):
    """What is wrong with a line of that kind and those fields, or None."""
    names = LINE_KINDS.get(kind)
    if names is None:
        return "unknown line kind %r" % (kind,)
    if len(fields) != len(names):
        return "line %s takes %d fields (%s), got %d" % (kind, len(names), ", ".join(names), len(fields))
    return None


def _write_all(out, data):
    # Started with -u, standard output is a raw stream, whose write may take only part of a
    # long line; the rest must follow, or the window reads two lines run together.
    view = memoryview(data)
    while view:
        written = out.write(view)
        if not written:
            return
        view = view[written:]


class LineWriter:
    """Writes whole lines to one output stream; lines of different threads never interleave.

    Strict, a line that does not fit the kind table raises; otherwise it is logged and still
    goes out, so that a slip in a rarely taken path costs a diagnostic, not the worker.
    """

    def __init__(self, stream, strict=False):
        self.stream = stream
        self.strict = strict
        self.out_lock = threading.Lock()

    def send(self, kind, *fields):
        error = line_error(kind, fields)
        if error:
            if self.strict:
                raise ValueError(error)
            log(error)
        data = format_line(kind, *fields)
        with self.out_lock:
            try:
                _write_all(self.stream, data)
                self.stream.flush()
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

class Paths(NamedTuple):
    root: str
    hf: str             # the model hub client's cache: recognition and translation models
    tmp: str
    speaker: str        # speaker models and the speaker-turn detector


def data_root():
    return os.environ.get("DICTATION_ROOT") or os.path.join(SCRIPT_DIR, "data")


def data_paths(root):
    return Paths(root, os.path.join(root, "hf"), os.path.join(root, "tmp"), os.path.join(root, "speaker"))


def set_up_environment():
    """The data folders of this run, made ready and handed to the libraries."""
    paths = data_paths(data_root())
    os.makedirs(paths.tmp, exist_ok=True)
    for name, value in (("HF_HOME", paths.hf), ("TMP", paths.tmp), ("TEMP", paths.tmp),
                        ("HF_HUB_DISABLE_SYMLINKS_WARNING", "1")):
        if not os.environ.get(name):
            os.environ[name] = value
    return paths


# The installer asks the same question the same way and with the same limit: what it installed
# (the CUDA libraries, the large model) must be what the worker then expects to find.
NVIDIA_PROBE_TIMEOUT = 60
def _probe_nvidia():
    system_root = os.environ.get("SystemRoot") or "C:/Windows"
    if os.path.isfile(os.path.join(system_root, "System32", "nvidia-smi.exe")):
        return True
    # A tool that is merely on the search path proves nothing: without a working card and
    # driver it fails, and then the GPU recognizer would fail too.
    try:
        return subprocess.run(["nvidia-smi", "-L"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=NVIDIA_PROBE_TIMEOUT,
                              creationflags=getattr(subprocess, "CREATE_NO_WINDOW", 0)
                              ).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


@functools.lru_cache(maxsize=None)
def has_nvidia():
    """Whether the machine has an NVIDIA card with a working driver; asked once per process."""
    return _probe_nvidia()


GPU_MODEL = "large-v3"
CPU_MODEL = "small"


def recognition_model_name():
    return os.environ.get("DICTATE_MODEL") or (GPU_MODEL if has_nvidia() else CPU_MODEL)


def short_label(label):
    return label.split(" -", 1)[0]


def find_entry(catalog, model_id):
    for entry in catalog:
        if entry.id == model_id:
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

    def __init__(self, send, clock=time.time):
        self.send = send
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
                self.send("D", percent, "Installing packages - %s: %d%% (%.0f of %.0f MB)"
                     % (self.file_name, percent, done / 1e6, total / 1e6))
            return
        self.lines.append(line)
        log(line)
        if line.startswith("Downloading "):
            token = line[len("Downloading "):].split()
            if token:
                self.file_name = token[0][:48]
        elif line.startswith(("Installing collected", "Collecting", "Successfully")):
            self.send("S", "pip: " + line[:110])


def run_pip(requirements, send, progress_bar="raw"):
    """Runs pip for the requirements; returns (exit code, the PipReader that read its output)."""
    args = [sys.executable, "-m", "pip", "install", "--disable-pip-version-check",
            "--progress-bar", progress_bar] + list(requirements)
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, encoding="utf-8", errors="replace",
                            creationflags=getattr(subprocess, "CREATE_NO_WINDOW", 0))
    reader = PipReader(send)
    for line in proc.stdout:
        reader.feed(line)
    proc.stdout.close()
    return proc.wait(), reader


def _pip_lacks_raw_progress(reader):
    return any("invalid choice" in line and "raw" in line for line in reader.lines)


def ensure_deps(send, folder=None):
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
        code, reader = run_pip(missing, send)
        if code != 0 and _pip_lacks_raw_progress(reader):
            # A pip older than 24.1 rejects the raw progress bar and would install nothing.
            code, reader = run_pip(missing, send, progress_bar="off")
        send("D", -1, "")
        if code != 0:
            send("S", "Installing packages failed (see worker.log); trying to continue...")
    except Exception as e:
        log("dependency check failed: %r" % (e,))


def add_cuda_paths():
    """Lets the libraries find the CUDA folders; returns the handles, to be kept for the life of
    the process."""
    handles = []
    site = os.path.join(sys.prefix, "Lib", "site-packages")
    folders = sorted(glob.glob(os.path.join(site, "nvidia", "*", "bin")))
    for folder in folders:
        if hasattr(os, "add_dll_directory"):
            try:
                handles.append(os.add_dll_directory(folder))
            except OSError as e:
                log("CUDA folder %s: %r" % (folder, e))
    if folders:
        os.environ["PATH"] = os.pathsep.join(folders + [os.environ.get("PATH", "")])
    return handles


# glibc's mallopt options
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD, _M_ARENA_MAX = -1, -3, -8
KEEP_FREED_BELOW = 1 << 30


def keep_freed_memory():
    """Lets the C library keep freed large blocks for the next pass instead of handing them back.

    Every recognition pass allocates and frees buffers of tens of megabytes (the encoder's
    attention over its 30-second window). By default glibc maps such blocks anew each time and
    returns them on release, so the system fills every page with zeros again on each pass: about
    a fifth of the worker's processor time, spent in page faults. One arena keeps the recognition
    thread's blocks in the heap too (a thread arena cannot hold blocks larger than 64 MB). Only
    glibc has these switches; elsewhere nothing changes.
    """
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return
    for option, value in ((_M_ARENA_MAX, 1), (_M_MMAP_THRESHOLD, KEEP_FREED_BELOW),
                          (_M_TRIM_THRESHOLD, KEEP_FREED_BELOW)):
        if mallopt(option, value) != 1:
            log("memory option %d not taken" % option)


# ---------------------------------------------------------------------------------------------
# Shared state and channels
# ---------------------------------------------------------------------------------------------

class Options(NamedTuple):
    """What the last options frame asked for."""
    src_lang: str = "ru"
    tgt_lang: str = "none"
    reverse: bool = True        # the system-audio channel is expected to speak tgt_lang
    diarize: bool = False
    sens: int = 60              # speaker sensitivity, 0 to 100


class UtteranceEnd(NamedTuple):
    size: int                   # length of the channel's audio when the "E" came
    order: int                  # arrival number of that "E" over both channels


class Job(NamedTuple):
    """One recognition pass: a channel, its audio bytes, and whether the utterance is over."""
    ch: "Chan"
    audio: bytes
    final: bool


class Sentence(NamedTuple):
    text: str
    start: float
    end: float


class Word(NamedTuple):
    text: str
    start: float
    end: float


class Run(NamedTuple):
    """Text of one voice; voice 0 when speaker detection is off."""
    voice: int
    text: str


class Chan:
    """Audio and recognition state of one channel (0 microphone, 1 system audio)."""

    def __init__(self, idx):
        self.idx = idx
        self.buf = bytearray()
        self.last_len = 0
        # Finished utterances waiting for their final pass, oldest first. Audio after the size
        # of the first is the next utterance.
        self.ends = []
        self.finishing = False  # a final pass of the channel is being recognized and sent
        self.taken = 0          # bytes of the channel's audio taken off the head of buf so far
        # Where each new session began in the channel's audio (counted like taken): the lines
        # of the audio before it go out first, then an empty partial line marks the change.
        self.marks = collections.deque()
        self.last_time = 0.0
        self.last_lang = None
        self.prev_sents = []
        # Finished text of the channel, one tail per language it was recognized in: the
        # recognizer follows the language of its prompt, so a pass is prompted only with text
        # of the language it recognizes.
        self.prompts = {}
        self.voice_sums = {}    # voice number -> sum of the unit voiceprints learned for it
        self.gnext = 1
        self.last_spk = 0
        # Counts resets, so that a pass that was running when one came does not undo it.
        self.spk_epoch = 0


class Worker:
    """What the frame loop, the recognition thread and the model threads share.

    cond's lock guards the channels, the options, the quit flag and the active models of both
    switches. The recognizer (model, dev) is written once, at start-up, before any thread runs.
    """

    def __init__(self, send, paths=None):
        self.send = send
        self.paths = paths
        self.cond = threading.Condition()
        self.chans = [Chan(0), Chan(1)]
        self.ends_seen = 0
        self.options = Options()
        self.quit_flag = False
        self.model = None
        self.dev = "CPU"
        self.translation = ModelSwitch(
            self, "translation model", TR_MODELS, "K", "Z", load_translator, tr_installed,
            ("N", "translation unavailable", "Translation model unavailable: %s"))
        # Sentence translations of the active model, keyed (model id, source, target, final,
        # sentence).
        self.cache = {}
        self.speaker = ModelSwitch(
            self, "speaker model", SPEAKER_MODELS, "C", "M", load_speaker, speaker_installed,
            ("V", "speaker detection unavailable", "Speaker detection unavailable: %s"))
        self.speakers = SpeakerTools()
        # Model switches that start once "ready" has gone out: a chosen model that is not on
        # disk is fetched in the background like any other switch, so that start-up never
        # waits for the network.
        self.after_ready = []
        self.dll_folders = []   # handles of the CUDA library folders, kept for the whole run
        # Finished lines waiting for the translation thread; None while translation runs on
        # the recognition thread.
        self.aside = None
        # Translations under way with the active engine (guarded by cond).
        self.engine_users = 0

    def speaker_snapshot(self):
        """(extractor, speaker model id, sensitivity) as one consistent set."""
        with self.cond:
            return self.speaker.model, self.speaker.active_id, self.options.sens


def mark_end(w, ch):
    """The channel's utterance ends with the audio it has now. Call with cond held."""
    if ch.ends and ch.ends[-1].size == len(ch.buf):
        return              # nothing arrived since the last end: still the same utterance
    w.ends_seen += 1
    ch.ends.append(UtteranceEnd(len(ch.buf), w.ends_seen))


def cut_head(ch, count):
    """Removes the first count bytes of the channel's audio. Call with cond held."""
    del ch.buf[:count]
    ch.taken += count
    ch.last_len = max(0, ch.last_len - count)
    ch.ends = [UtteranceEnd(max(0, end.size - count), end.order) for end in ch.ends]


def reset_voices(ch):
    """Forgets the channel's known voices; numbering starts again at 1. Call with cond held."""
    ch.voice_sums = {}
    ch.gnext = 1
    ch.last_spk = 0
    ch.spk_epoch += 1


# ---------------------------------------------------------------------------------------------
# Model switching
# ---------------------------------------------------------------------------------------------

class ModelSwitch:
    """The active model of one catalog, and its replacement in the background.

    At most one load runs at a time; of the requests made while it runs only the last one is
    carried out. load(worker, id) loads and activates a model and announces it (the active kind,
    then the catalog), or raises; installed(worker, entry) tells whether a model is on disk.
    """

    def __init__(self, w, what, catalog, catalog_kind, active_kind, load, installed, unavailable):
        self.w = w
        self.what = what
        self.catalog = catalog
        self.catalog_kind = catalog_kind
        self.active_kind = active_kind
        self.load = load
        self.installed = installed
        # (line kind, log text, status text) when the model chosen at start cannot be had
        self.unavailable = unavailable
        self.lock = threading.Lock()
        self.loading = False
        self.pending = ""
        # Written under the worker's cond: the active model and its catalog id ("" when none).
        self.model = None
        self.active_id = ""
        self.activations = 0    # counts the models made active, so that a new one is told apart

    def entry(self, model_id):
        return find_entry(self.catalog, model_id)

    def send_catalog(self):
        for index, entry in enumerate(self.catalog):
            self.w.send(self.catalog_kind, index, entry.id, entry.label, entry.size,
                        1 if self.installed(self.w, entry) else 0)

    def announce(self, model_id):
        self.w.send(self.active_kind, model_id)
        self.send_catalog()

    def activate(self, model, model_id):
        with self.w.cond:
            self.model, self.active_id = model, model_id
            self.activations += 1

    def request(self, model_id):
        if self.entry(model_id) is None:
            return
        with self.lock:
            if self.loading:
                self.pending = model_id
                return
            self.loading = True
        threading.Thread(target=self._load_in_turn, args=(model_id,), daemon=True).start()

    def _load_in_turn(self, model_id):
        send = self.w.send
        while model_id:
            if model_id != self.active_id:
                try:
                    self.load(self.w, model_id)
                except Exception as e:
                    log("%s error: %r" % (self.what, e))
                    send("D", -1, "")
                    send("S", "Could not load the %s: %s" % (self.what, e))
                    send(self.active_kind, self.active_id or "")
            with self.lock:
                model_id, self.pending = self.pending, ""
                if not model_id:
                    self.loading = False

    def start(self, chosen, default):
        """Loads the model to start with: the chosen one when it is on disk, else one that is,
        and the chosen one after "ready"."""
        start_id = start_model_id(chosen, self.catalog, default,
                                  lambda model_id: self.installed(self.w, self.entry(model_id)))
        if start_id is None:
            self.announce("")
        else:
            try:
                self.load(self.w, start_id)
            except Exception as e:
                kind, log_text, status = self.unavailable
                log("%s: %r" % (log_text, e))
                self.activate(None, "")
                self.w.send(kind, status % (e,))
                self.send_catalog()
                return
        if start_id != chosen:
            self.w.after_ready.append(lambda: self.request(chosen))


def start_model_id(chosen, catalog, default, on_disk):
    """The model to load at start: the chosen one when it is on disk, else the default or the
    first other catalog model that is; None when none is."""
    if on_disk(chosen):
        return chosen
    for model_id in [default] + [entry.id for entry in catalog]:
        if model_id != chosen and on_disk(model_id):
            return model_id
    return None


# ---------------------------------------------------------------------------------------------
# Recognition model
# ---------------------------------------------------------------------------------------------

def recognizer_source(w, name):
    """The local folder of a model the recognizer library knows (fetched when missing), or the
    name itself when the library does not know it or the fetch fails."""
    from faster_whisper.utils import _MODELS as whisper_repos

    # The recognizer library downloads a model of its own when no folder is handed to it.
    guard_hub_client()
    repo = whisper_repos.get(name)
    if not repo:
        return name
    try:
        return fetch(repo, w.paths.hf, "Recognition model %s" % name, w.send, WHISPER_FILES, WHISPER_NEEDS)
    except Exception as e:
        log("model pre-download failed: %r" % (e,))
        return name


def reuse_last_encoding(encode):
    """The recognizer's encode, handing back its last result when asked again for the same
    features: language detection and the transcription's first window encode the same audio."""
    import numpy as np

    last = []

    def encode_once(features):
        if last and last[0].shape == features.shape and np.array_equal(last[0], features):
            return last[1]
        output = encode(features)
        last[:] = [features, output]
        return output

    return encode_once


def recognizer_threads():
    """Processor threads of the recognizer: as many as there are cores, up to the engine's own
    default of four. More threads than cores make its threads wait on each other, all the more
    while the translation engine decodes beside them."""
    return max(1, min(4, os.cpu_count() or 4))


def load_recognizer(w, name):
    w.send("S", "Loading the recognition model %s..." % name)
    import numpy  # noqa: F401  (fail here, clearly, when the numeric library is missing)
    from faster_whisper import WhisperModel

    source = recognizer_source(w, name)
    if has_nvidia():
        try:
            w.model = WhisperModel(source, device="cuda", compute_type="int8_float16",
                                   download_root=w.paths.hf)
            w.model.encode = reuse_last_encoding(w.model.encode)
            w.dev = "GPU"
            return
        except Exception as e:
            failure = e
    else:
        failure = RuntimeError("no NVIDIA GPU (CPU mode)")
    log("GPU failed: %r" % (failure,))
    w.send("S", "GPU unavailable, loading on the CPU...")
    if not os.environ.get("DICTATE_MODEL") and name != CPU_MODEL:
        # The model picked for the card is far too slow on the processor for live text.
        w.send("S", "Loading the recognition model %s..." % CPU_MODEL)
        cpu_source = recognizer_source(w, CPU_MODEL)
        if cpu_source != CPU_MODEL:
            source = cpu_source
        else:
            log("keeping %s on the CPU: %s is not available" % (name, CPU_MODEL))
    w.model = WhisperModel(source, device="cpu", compute_type="int8", download_root=w.paths.hf,
                           cpu_threads=recognizer_threads())
    w.model.encode = reuse_last_encoding(w.model.encode)
    w.dev = "CPU"


# ---------------------------------------------------------------------------------------------
# Translation models
# ---------------------------------------------------------------------------------------------

class TranslationEngine(NamedTuple):
    translator: object          # the CTranslate2 engine; None while a successor is created
    tok: object                 # its tokenizer
    kind: str
    folder: str


def tr_cached(w, repo):
    return local_snapshot(repo, w.paths.hf, needs=TR_NEEDS) is not None


def tr_installed(w, entry):
    return tr_cached(w, entry.repo)


def send_tr_catalog(w):
    w.translation.send_catalog()


def translation_snapshot(w):
    """(translator, tok, model id, kind) of one model, never a mix of two."""
    with w.cond:
        engine, model_id = w.translation.model, w.translation.active_id
    if engine is None:
        return None, None, model_id, ""
    return engine.translator, engine.tok, model_id, engine.kind


def create_translator(w, folder):
    import ctranslate2

    if w.dev == "GPU":
        try:
            return ctranslate2.Translator(folder, device="cuda", compute_type="int8_float16")
        except Exception as e:
            log("translator on GPU failed: %r" % (e,))
            w.send("S", "Not enough GPU memory for this translation model - using the CPU (slower).")
    before = process_thread_ids()
    translator = ctranslate2.Translator(folder, device="cpu", compute_type="int8",
                                        inter_threads=1, intra_threads=translator_threads())
    if w.dev == "CPU":
        # The engine decodes on threads of its own, made here; lowering the thread that asks for
        # a translation would leave them at the recognizer's priority.
        for tid in process_thread_ids() - before:
            lower_thread_priority(tid)
    return translator


def translator_threads():
    """Processor threads of the translation engine: half the cores, the recognizer's share
    being the other half. Decoding one sentence at a time reads the whole model per token, so a
    second thread barely shortens it, while it takes a core from recognition."""
    return max(1, (os.cpu_count() or 2) // 2)


def _restore_translator(w, kept, kept_id, failed_id):
    """Brings the previously active model back after its successor could not be created."""
    try:
        engine = create_translator(w, kept.folder)
    except Exception as e:
        log("previous translation model %s could not be restored: %r" % (kept_id, e))
        w.translation.activate(None, "")
        return
    w.translation.activate(kept._replace(translator=engine), kept_id)
    log("translation model %s kept after %s failed" % (kept_id, failed_id))


def load_translator(w, model_id):
    entry = find_entry(TR_MODELS, model_id)
    if entry is None:
        return
    folder = fetch(entry.repo, w.paths.hf, "Translation model " + short_label(entry.label), w.send,
                   needs=TR_NEEDS)
    import tokenizers

    new_tok = tokenizers.Tokenizer.from_file(os.path.join(folder, "tokenizer.json"))
    switch = w.translation
    # Only what brings the old model back is kept here, not its engine: the old model's memory
    # must be free before the new one is created, as two large models rarely fit together.
    with w.cond:
        kept_id = switch.active_id
        kept = switch.model._replace(translator=None) if switch.model is not None else None
        switch.model = None
        # A batch under way keeps the old engine until it ends.
        while w.engine_users:
            w.cond.wait()
    gc.collect()
    try:
        engine = create_translator(w, folder)
    except Exception:
        if kept_id and kept is not None:
            _restore_translator(w, kept, kept_id, entry.id)
        raise
    switch.activate(TranslationEngine(engine, new_tok, entry.kind, folder), entry.id)
    w.cache.clear()
    switch.announce(entry.id)


def switch_translator(w, model_id):
    w.translation.request(model_id)


def load_initial_translator(w):
    chosen = initial_model_id("TRANSLATION_MODEL", TR_MODELS, DEFAULT_TR_MODEL)
    w.send("S", "Loading the translation model...")
    w.translation.start(chosen, DEFAULT_TR_MODEL)


# ---------------------------------------------------------------------------------------------
# Trial runs of model files in a child process
# ---------------------------------------------------------------------------------------------

# sherpa-onnx ends the whole process, rather than raising, when a model file lacks the metadata
# it expects (a damaged download, a foreign file under the right name). A file is therefore run
# once in a child process before the worker itself loads it.
TRIAL_TIMEOUT = 120

_SPEAKER_TRIAL = """
import sys
import numpy as np
import sherpa_onnx as so
ext = so.SpeakerEmbeddingExtractor(
    so.SpeakerEmbeddingExtractorConfig(model=sys.argv[1], num_threads=1, provider="cpu"))
stream = ext.create_stream()
stream.accept_waveform(16000, np.random.RandomState(0).randn(16000).astype(np.float32) * 0.01)
stream.input_finished()
ext.compute(stream)
"""

_DETECTOR_TRIAL = """
import sys
import numpy as np
import sherpa_onnx as so
config = so.OfflineSpeakerDiarizationConfig(
    segmentation=so.OfflineSpeakerSegmentationModelConfig(
        pyannote=so.OfflineSpeakerSegmentationPyannoteModelConfig(model=sys.argv[1]),
        num_threads=1),
    embedding=so.SpeakerEmbeddingExtractorConfig(model=sys.argv[2], num_threads=1),
    clustering=so.FastClusteringConfig(num_clusters=-1, threshold=0.5))
noise = np.random.RandomState(0).randn(3 * 16000).astype(np.float32) * 0.01
so.OfflineSpeakerDiarization(config).process(noise)
"""

# sherpa-onnx prefixes its messages with the source location: "/path/file.cc:Func:42 text".
_SOURCE_LOCATION = re.compile(r"^\S+:\d+\s+")


def _trial_key(program, paths):
    key = [program]
    for path in paths:
        try:
            info = os.stat(path)
        except OSError:
            return None
        key += [path, info.st_size, info.st_mtime_ns]
    return tuple(key)


def _failure_reason(returncode, stderr):
    lines = [line.strip() for line in stderr.decode("utf-8", "replace").splitlines()
             if line.strip()]
    # The error itself is usually the last line; a crash may follow it with a hint.
    for line in reversed(lines):
        text = _SOURCE_LOCATION.sub("", line)
        if text and not text.startswith(("http", "For instance", "Please")):
            return "%s (exit code %d)" % (text[:160], returncode)
    return "exit code %d" % returncode


class TrialRuns:
    """Outcomes of trial runs, kept per (program, then path, size and modification time of each
    file): (usable, why not), usable None when the trial itself could not run or finish. A
    replaced file has another key."""

    def __init__(self):
        self.lock = threading.Lock()
        self.outcomes = {}
        self.running = set()

    def run(self, program, *paths):
        """Runs program on the files in a child process: (True, ""), (False, what went wrong), or
        (None, why the trial told nothing)."""
        key = _trial_key(program, paths)
        if key is None:
            return False, "file not found"
        with self.lock:
            if key in self.outcomes:
                return self.outcomes[key]
        try:
            result = subprocess.run(
                [sys.executable, "-c", program] + list(paths), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=TRIAL_TIMEOUT,
                creationflags=getattr(subprocess, "CREATE_NO_WINDOW", 0))
            if result.returncode == 0:
                outcome = True, ""
            else:
                outcome = False, _failure_reason(result.returncode, result.stderr)
        except Exception as e:
            outcome = None, "the trial run failed: %r" % (e,)
        with self.lock:
            self.outcomes[key] = outcome
        return outcome

    def detector_verdict(self, path, embedding_path):
        """True or False when the detector has been tried with the speaker model; None while
        that trial still runs. A trial that is due starts here, in a background thread: it takes
        seconds, and recognition must not wait for it."""
        paths = (path, embedding_path)
        key = _trial_key(_DETECTOR_TRIAL, paths)
        if key is None:
            return False
        with self.lock:
            if key in self.outcomes:
                return self.outcomes[key][0] is True
            if key in self.running:
                return None
            self.running.add(key)

        def run():
            usable, reason = self.run(_DETECTOR_TRIAL, *paths)
            if usable:
                log("speaker-turn detector usable with %s" % os.path.basename(embedding_path))
            else:
                log("speaker-turn detector unusable: %s" % reason)
            with self.lock:
                self.running.discard(key)

        threading.Thread(target=run, daemon=True).start()
        return None


# ---------------------------------------------------------------------------------------------
# Speaker models
# ---------------------------------------------------------------------------------------------

class SpeakerTools:
    """The speaker-turn detector and what goes with it: the diarizer built for one speaker
    model, the detector's download, and the trial runs of model files."""

    def __init__(self):
        self.diarizer = None
        self.diarizer_for = ""          # the speaker model id the diarizer was built with
        self.diarizer_lock = threading.Lock()
        self.download_busy = False
        self.download_lock = threading.Lock()
        self.trials = TrialRuns()


def spk_file(w, entry):
    return os.path.join(w.paths.speaker, entry.file)


def speaker_installed(w, entry):
    return os.path.isfile(spk_file(w, entry))


def send_catalog(w):
    w.speaker.send_catalog()


def load_speaker(w, model_id):
    entry = find_entry(SPEAKER_MODELS, model_id)
    if entry is None:
        return
    path = spk_file(w, entry)
    if not os.path.isfile(path):
        w.send("S", 'Downloading the speaker model "%s" (%d MB, one time only)...' % (entry.label, entry.size))
        download_file(SPK_BASE + entry.file, path, "Speaker model " + short_label(entry.label), w.send)
    usable, reason = w.speakers.trials.run(_SPEAKER_TRIAL, path)
    if usable is None:
        raise RuntimeError("the speaker model file %s could not be tried: %s" % (entry.file, reason))
    if not usable:
        # The file would fail the same way at every start: away with it, so that choosing the
        # model again downloads a good copy.
        try:
            os.remove(path)
        except OSError as e:
            log("could not delete %s: %r" % (path, e))
        raise RuntimeError("the speaker model file %s is not usable and was deleted: %s" % (entry.file, reason))
    import sherpa_onnx

    config = sherpa_onnx.SpeakerEmbeddingExtractorConfig(model=path, num_threads=2, provider="cpu")
    new_extractor = sherpa_onnx.SpeakerEmbeddingExtractor(config)
    with w.cond:
        w.speaker.model, w.speaker.active_id = new_extractor, entry.id
        for ch in w.chans:
            reset_voices(ch)
        wanted = w.options.diarize
    w.speaker.announce(entry.id)
    if wanted:
        check_detector_soon(w)


def switch_speaker(w, model_id):
    w.speaker.request(model_id)


def load_initial_speaker(w):
    chosen = initial_model_id("SPEAKER_MODEL", SPEAKER_MODELS, DEFAULT_SPEAKER_MODEL)
    w.speaker.start(chosen, DEFAULT_SPEAKER_MODEL)


# ---------------------------------------------------------------------------------------------
# Speaker-turn detector download
# ---------------------------------------------------------------------------------------------

def seg_path(w):
    return os.path.join(w.paths.speaker, SEG_FILE)


def ensure_segmentation(w):
    tools, send = w.speakers, w.send
    with tools.download_lock:
        if tools.download_busy or os.path.isfile(seg_path(w)):
            return
        tools.download_busy = True
    detector = seg_path(w)
    try:
        send("S", "Downloading the speaker-turn detector (6 MB, one time only)...")
        archive = detector + ".tar.bz2"
        download_file(SEG_URL, archive, "Speaker-turn detector", send)
        with tarfile.open(archive, "r:bz2") as tar:
            member = next((m for m in tar.getmembers()
                           if m.isfile() and m.name.endswith("model.onnx")), None)
            if member is not None:
                data = tar.extractfile(member).read()
                with open(detector + ".part", "wb") as out:
                    out.write(data)
                os.replace(detector + ".part", detector)
        os.remove(archive)
        send("S", "Speaker-turn detector ready.")
        check_detector_soon(w)
    except Exception as e:
        log("segmentation model failed: %r" % (e,))
        # A damaged archive is useless; the next attempt fetches it again.
        for leftover in (detector + ".tar.bz2", detector + ".tar.bz2.part", detector + ".part"):
            try:
                os.remove(leftover)
            except OSError:
                pass
        send("D", -1, "")
        send("S", "Could not download the speaker-turn detector: %s" % (e,))
    finally:
        with tools.download_lock:
            tools.download_busy = False


# ---------------------------------------------------------------------------------------------
# Speaker identification and diarization
# ---------------------------------------------------------------------------------------------

# Cosine similarity at which two pieces count as the same voice. The scale differs between
# models; the larger ones score every pair of voices higher.
SPK_BASE_T = {"resnet34": 0.80, "campp": 0.80, "resnet152": 0.88, "resnet293": 0.88,
              "titanet": 0.80, "campp_zhen": 0.80}
SPK_OTHER_T = 0.80
MATCH_BELOW_BASE = 0.05          # neural turns and registry matching
PREVIEW_BELOW_BASE = 0.08        # live preview of partial lines
# The sensitivity slider (0 to 100) raises every threshold by SENS_STEP per point above
# SENS_NEUTRAL and lowers it below: a more sensitive setting asks for closer voiceprints before
# two pieces count as one voice, so it tells more voices apart.
SENS_NEUTRAL = 60
SENS_STEP = 0.002
MIN_PRINT = 0.8                  # seconds; shorter pieces never get a voiceprint
NEURAL_MIN = 2.0                 # seconds of audio the neural turns need
NEURAL_MAX_SPEECH = 12.0         # seconds of each local speaker's speech used for its voiceprint
NEW_VOICE_MIN = 2.5              # registry matching: shortest piece that may found a new voice
LEARN_MIN = 1.5                  # registry matching: shortest piece that is learned
SNAP_MAX_WORDS = 4
DIAR_THREADS = 2
DIAR_CLUSTER_THRESHOLD = 0.5
DIAR_MIN_ON = 0.2
DIAR_MIN_OFF = 0.3


def base_threshold(model_id, sensitivity):
    try:
        points = min(100, max(0, int(sensitivity)))
    except (TypeError, ValueError):
        points = SENS_NEUTRAL
    return SPK_BASE_T.get(model_id, SPK_OTHER_T) + SENS_STEP * (points - SENS_NEUTRAL)


def match_threshold(model_id, sensitivity):
    return base_threshold(model_id, sensitivity) - MATCH_BELOW_BASE


def preview_threshold(model_id, sensitivity):
    return base_threshold(model_id, sensitivity) - PREVIEW_BELOW_BASE


def unit(vector):
    import numpy as np

    vector = np.asarray(vector, dtype=np.float32)
    return vector / (np.linalg.norm(vector) + 1e-9)


def embed(ext, samples):
    """The unit voiceprint of 16 kHz samples (real numbers) from the extractor ext."""
    import numpy as np

    stream = ext.create_stream()
    stream.accept_waveform(RATE, np.ascontiguousarray(samples, dtype=np.float32))
    stream.input_finished()
    return unit(ext.compute(stream))


def similarity(voiceprint, voice_sum):
    return float(voiceprint @ unit(voice_sum))


def best_voice(voice_sums, voiceprint):
    """(voice number, similarity) of the closest known voice; the lower number on a tie."""
    best, best_sim = 0, -2.0
    for number in sorted(voice_sums):
        sim = similarity(voiceprint, voice_sums[number])
        if sim > best_sim:
            best, best_sim = number, sim
    return best, best_sim


class Voices:
    """A pass's working copy of a channel's registry, made and written back under cond.

    Voice sums are replaced, never changed in place, so the copy shares nothing that learning
    could alter behind the channel's back.
    """

    def __init__(self, ch):
        self.voice_sums = dict(ch.voice_sums)
        self.gnext = ch.gnext
        self.last_spk = ch.last_spk
        self.epoch = ch.spk_epoch

    def learn(self, number, voiceprint):
        known = self.voice_sums.get(number)
        self.voice_sums[number] = voiceprint if known is None else known + voiceprint

    def add(self, voiceprint):
        number = self.gnext
        self.voice_sums[number] = voiceprint
        self.gnext += 1
        return number


def speaker_state(w, ch):
    """(extractor, speaker model id, sensitivity, working copy of the channel's voices), taken
    at one moment: a model switch resets the registry, and voiceprints of one model must never
    be learned into the registry of another."""
    with w.cond:
        return w.speaker.model, w.speaker.active_id, w.options.sens, Voices(ch)


def keep_voices(w, ch, voices):
    """Writes back what a pass learned, unless a reset came meanwhile (the reset wins)."""
    with w.cond:
        if ch.spk_epoch != voices.epoch:
            return False
        ch.voice_sums, ch.gnext, ch.last_spk = voices.voice_sums, voices.gnext, voices.last_spk
        return True


def match_global(w, ch, samples):
    """Voice of a partial line's newest sentence; the preview never learns."""
    ext, model_id, sensitivity, voices = speaker_state(w, ch)
    if ext is None or len(samples) < MIN_PRINT * RATE or not voices.voice_sums:
        return voices.last_spk or 1
    best, sim = best_voice(voices.voice_sums, embed(ext, samples))
    if sim >= preview_threshold(model_id, sensitivity):
        return best
    return voices.last_spk or best


def snap_runs(runs):
    """Moves a run's unfinished tail (one to four words after its last end mark) to the next."""
    pieces = [[voice, text.split()] for voice, text in runs]
    for i in range(len(pieces) - 1):
        words = pieces[i][1]
        marked = [k for k, word in enumerate(words) if word.endswith(END_MARKS)]
        keep = marked[-1] + 1 if marked else 0
        if 1 <= len(words) - keep <= SNAP_MAX_WORDS:
            pieces[i + 1][1] = words[keep:] + pieces[i + 1][1]
            pieces[i][1] = words[:keep]
    return [Run(voice, " ".join(words)) for voice, words in pieces if words]


def assign_by_registry(w, ch, samples, items, final):
    """Runs from each sentence's voiceprint against the known voices.

    Only a final pass learns; a new voice needs a long piece unlike every known one.
    """
    ext, model_id, sensitivity, voices = speaker_state(w, ch)
    match_at = match_threshold(model_id, sensitivity)
    runs = []
    previous = 0
    for text, start, end in items:
        piece = span(samples, start, end)
        seconds = len(piece) / RATE
        if ext is None or seconds < MIN_PRINT:
            voice = previous or voices.last_spk or 1
        else:
            voiceprint = embed(ext, piece)
            if not voices.voice_sums:
                voices.gnext = 1
                voice = voices.add(voiceprint)
            else:
                best, sim = best_voice(voices.voice_sums, voiceprint)
                if sim >= match_at or seconds < NEW_VOICE_MIN or voices.gnext > MAX_SPEAKERS:
                    voice = best
                    if sim >= match_at and seconds >= LEARN_MIN:
                        voices.learn(best, voiceprint)
                else:
                    voice = voices.add(voiceprint)
        if runs and runs[-1].voice == voice:
            runs[-1] = Run(voice, runs[-1].text + " " + text)
        else:
            runs.append(Run(voice, text))
        previous = voice
    if runs:
        voices.last_spk = runs[-1].voice
    if final:
        keep_voices(w, ch, voices)
    return runs


def _local_voiceprints(ext, samples, segments):
    """{local speaker: voiceprint} and {local speaker: seconds spoken} of the diarizer's turns."""
    import numpy as np

    prints, spoken = {}, {}
    for label in sorted({seg[2] for seg in segments}):
        own = [seg for seg in segments if seg[2] == label]
        spoken[label] = sum(end - start for start, end, _ in own)
        speech = np.concatenate([samples[int(start * RATE):int(end * RATE)]
                                 for start, end, _ in own])[:int(NEURAL_MAX_SPEECH * RATE)]
        if len(speech) >= MIN_PRINT * RATE:
            prints[label] = embed(ext, speech)
    return prints, spoken


def _map_local_speakers(voices, prints, spoken, match_at):
    """{local speaker: voice number}; matched voices and new ones are learned into voices."""
    candidates = sorted(((similarity(vp, voices.voice_sums[number]), label, number)
                         for label, vp in prints.items() for number in voices.voice_sums),
                        reverse=True)
    mapping, taken = {}, set()
    for sim, label, number in candidates:
        if label not in mapping and number not in taken and sim >= match_at:
            mapping[label] = number
            taken.add(number)
    founded = set()
    for label in sorted((key for key in prints if key not in mapping), key=lambda key: (-spoken[key], key)):
        if voices.gnext <= MAX_SPEAKERS:
            mapping[label] = voices.add(prints[label])
            founded.add(label)
        elif voices.voice_sums:
            # Every number is in use: the closest voice, even if another turn of this
            # utterance already has it.
            mapping[label] = best_voice(voices.voice_sums, prints[label])[0]
        else:
            continue
        taken.add(mapping[label])
    for label, number in mapping.items():
        if label not in founded:
            voices.learn(number, prints[label])
    return mapping


def _voice_at(segments, mapping, fallback, start, end):
    mid = (start + end) / 2
    inside = [seg for seg in segments if seg[0] <= mid <= seg[1]]
    if inside:
        seg = inside[0]
    else:
        seg = min(segments, key=lambda s: min(abs(mid - s[0]), abs(mid - s[1])))
    return mapping.get(seg[2], fallback)


def runs_by_diarization(w, ch, samples, items, words, cut=None):
    """Runs from the speaker-turn detector's turns, or None when it cannot be used.

    With a cut time only the text before the cut is returned; the voices are still learned
    from the whole audio, which is the better evidence.
    """
    import numpy as np

    diar = get_diarizer(w)
    # Taken before the slow steps: a reset that comes during them discards this pass's learning.
    ext, model_id, sensitivity, voices = speaker_state(w, ch)
    if diar is None or ext is None or len(samples) < NEURAL_MIN * RATE:
        return None
    audio = np.ascontiguousarray(samples, dtype=np.float32)
    segments = [(seg.start, seg.end, seg.speaker)
                for seg in diar.process(audio).sort_by_start_time()]
    if not segments:
        return None
    prints, spoken = _local_voiceprints(ext, audio, segments)
    mapping = _map_local_speakers(voices, prints, spoken, match_threshold(model_id, sensitivity))
    fallback = voices.last_spk or 1
    if words:
        units = [Word(*word) for word in words]
    else:
        units = [Word(" " + text, start, end) for text, start, end in items]
    if cut is not None:
        units = [u for u in units if _mid(u) < cut]
    runs = []
    for text, start, end in units:
        voice = _voice_at(segments, mapping, fallback, start, end)
        if runs and runs[-1][0] == voice:
            runs[-1][1] += text
        else:
            runs.append([voice, text])
    runs = snap_runs([(voice, text.strip()) for voice, text in runs if text.strip()])
    if runs:
        voices.last_spk = runs[-1].voice
        log("DIAR ch%d %s neural: %d turns, voices %s, known %d"
            % (ch.idx, model_id, len(segments), sorted({voice for voice, _ in runs}),
               len(voices.voice_sums)))
    keep_voices(w, ch, voices)
    return runs or None


def make_runs(w, ch, samples, items, final, words):
    """The voice runs of one pass; voice 0 when speaker detection is off."""
    if not items:
        return []
    joined = " ".join(text for text, _, _ in items)
    with w.cond:
        wanted, ext = w.options.diarize, w.speaker.model
    if not wanted or ext is None:
        return [Run(0, joined)]
    try:
        if not final:
            _, start, end = items[-1]
            return [Run(match_global(w, ch, span(samples, start, end)), joined)]
        try:
            runs = runs_by_diarization(w, ch, samples, items, words)
        except Exception as e:
            log("neural diarization failed: %r" % (e,))
            runs = None
        if runs:
            return runs
        return assign_by_registry(w, ch, samples, items, final)
    except Exception as e:
        # A failed voiceprint must not cost the recognized text: it goes out with the
        # channel's last voice.
        log("speaker labelling failed: %r" % (e,))
        with w.cond:
            return [Run(ch.last_spk or 1, joined)]


def check_detector_soon(w):
    """Starts the detector's trial run for the active speaker model, so that the first pass
    that wants neural turns finds it done. Nothing happens when it ran already."""
    ext, model_id, _ = w.speaker_snapshot()
    entry = find_entry(SPEAKER_MODELS, model_id)
    if ext is not None and entry is not None and os.path.isfile(seg_path(w)):
        w.speakers.trials.detector_verdict(seg_path(w), spk_file(w, entry))


def get_diarizer(w):
    """The diarizer for the active speaker model, or None when one cannot be had (yet). It is
    built once per speaker model and kept with that model's id."""
    ext, model_id, _ = w.speaker_snapshot()
    tools = w.speakers
    with tools.diarizer_lock:
        if tools.diarizer is not None and tools.diarizer_for == model_id:
            return tools.diarizer
        entry = find_entry(SPEAKER_MODELS, model_id)
        if ext is None or entry is None or not os.path.isfile(seg_path(w)):
            return None
        # The trial runs in the background: until it has, the passes use the registry.
        if not tools.trials.detector_verdict(seg_path(w), spk_file(w, entry)):
            return None
        import sherpa_onnx

        config = sherpa_onnx.OfflineSpeakerDiarizationConfig(
            segmentation=sherpa_onnx.OfflineSpeakerSegmentationModelConfig(
                pyannote=sherpa_onnx.OfflineSpeakerSegmentationPyannoteModelConfig(
                    model=seg_path(w)),
                num_threads=DIAR_THREADS),
            embedding=sherpa_onnx.SpeakerEmbeddingExtractorConfig(
                model=spk_file(w, entry), num_threads=DIAR_THREADS, provider="cpu"),
            clustering=sherpa_onnx.FastClusteringConfig(
                num_clusters=-1, threshold=DIAR_CLUSTER_THRESHOLD),
            min_duration_on=DIAR_MIN_ON, min_duration_off=DIAR_MIN_OFF)
        built = sherpa_onnx.OfflineSpeakerDiarization(config)
        tools.diarizer, tools.diarizer_for = built, model_id
        return built


# ---------------------------------------------------------------------------------------------
# Recognition scheduling and streaming commit
# ---------------------------------------------------------------------------------------------

# New audio (bytes) a channel needs before its next partial pass, by the recognizer's device.
PARTIAL_STEP = {"GPU": int(RATE * 2 * 0.9), "CPU": int(RATE * 2 * 2.0)}
# On the processor a partial pass waits while translations fall behind (a finished line has
# waited this long for the engine), for the processor to do those first: who reads the other
# side's translation needs it more than a fresher partial line. Lines that are translated in
# their turn hold nothing up, so that a monologue's early commits keep coming.
TRANSLATION_BEHIND = 2.0
# A partial pass waits at most this long after the channel's previous one, so that the partial
# line still moves while someone speaks.
PARTIAL_WAIT_MAX = 3.0
WAIT_SLICE = 0.2
MIN_AUDIO = int(0.3 * RATE)
QUIET_PEAK = (0.003, 0.3)
QUIET_TARGET = 0.5
QUIET_MAX_GAIN = 12.0
DETECT_MIN_FINAL = 0.5
DETECT_MIN_PARTIAL = 0.8
LANG_FLOOR = 0.25
LANG_SWITCH_SHARE = 0.85
LANG_SWITCH_SECONDS = 1.5
LANG_SWITCH_SURE = 0.97
SHORT_CLIP = 2.5
# (no-speech probability above, average log-probability below): both together drop a segment.
NON_SPEECH_SHORT = (0.45, -0.45)
NON_SPEECH_LONG = (0.7, -0.7)
# Text that compresses better than this is a decoding loop ("see you in the next video, see you
# in the next video, ..."), the recognizer's own measure of a failed decoding. Set above the
# recognizer's 2.4 so that real repetitive speech ("Thank you." five times scores 2.45) is kept;
# the loops it produces score far higher. Measured with one byte per letter (compression_ratio):
# the recognizer's own figure covers a whole 30 s window and counts a Cyrillic letter as two
# bytes. A loop often grows out of real speech ("... told us net net net net ..." after two
# good sentences, when a partial pass ends inside a word), so a segment that scores above it is
# judged by its repeated stretch, which alone is cut (add_segment).
LOOP_COMPRESSION = 3.0
# The words before a loop are kept only when the recognizer judged the window to hold speech (a
# no-speech probability at most this, the stricter of the two above): on noise it writes a
# polite phrase first and then loops on it. Its loops on noise scored 0.6 to 0.8, the loop that
# grew out of the soak's monologue 0.1.
LOOP_AFTER_SPEECH = 0.45
SENTENCE_PAUSE = 0.8
END_MARKS = (".", "?", "!", "\u2026")
COMMIT_MARGIN = 0.8
LONG_UTTERANCE = 14.0
LONG_MARGIN = 4.0
PROMPT_LEN = 220
# A sentence of at least this many word triples, this share of them found in the prompt, is the
# prompt written out again rather than speech: the pass is recognized again without a prompt.
PROMPT_ECHO_TRIPLES = 3
PROMPT_ECHO_SHARE = 0.6
# A final pass whose last word ends this close to the end of its audio was cut inside speech:
# a natural end comes only after 0.7 s of quiet.
CUT_IN_SPEECH = 0.3
SPAN_MARGIN = 0.1
# The longest rest after a segment that is checked for speech before the recognizer is asked
# for more: an utterance ends with 0.7 s of quiet, and word times may end a little early.
QUIET_TAIL = 1.5
# Speech in such a rest is measured without the filter's padding, and a pause this long ends it.
TAIL_SILENCE_MS = 100

_NOT_WORD = re.compile(r"[^\w\s]")
# A blank run after an end mark: where a text is cut into sentences.
_SENTENCE_GAP = re.compile(r"(?<=[.!?\u2026])\s+")


def norm(text):
    return _NOT_WORD.sub("", text.lower()).strip()


def span(samples, start, end):
    first = max(0, int((start - SPAN_MARGIN) * RATE))
    return samples[first:max(first, int((end + SPAN_MARGIN) * RATE))]


def sentences_of(text):
    """The text cut after every end mark that a blank run follows; blank pieces dropped."""
    return [part.strip() for part in _SENTENCE_GAP.split(text) if part.strip()]


def compression_ratio(text):
    """Length over deflated length of the text, with every character one byte.

    ASCII characters keep their own byte, so Latin text scores as the recognizer scores it;
    every other character gets a byte value the text does not use, so that a Cyrillic or Greek
    text scores like a Latin text of the same shape rather than higher.
    """
    import zlib

    used = {ord(c) for c in text if ord(c) < 128}
    spare = [b for b in range(256) if b not in used]
    codes = {}
    data = bytearray()
    for c in text:
        if ord(c) < 128:
            data.append(ord(c))
        else:
            if c not in codes:
                codes[c] = spare[len(codes) % len(spare)]
            data.append(codes[c])
    if not data:
        return 0.0
    return len(data) / len(zlib.compress(bytes(data)))


def lift_quiet(samples):
    """A copy of the audio, raised when it is quiet but not silent (a distant or soft source)."""
    import numpy as np

    audio = np.array(samples, dtype=np.float32)
    peak = float(np.max(np.abs(audio))) if len(audio) else 0.0
    if QUIET_PEAK[0] < peak < QUIET_PEAK[1]:
        audio *= min(QUIET_TARGET / peak, QUIET_MAX_GAIN)
    return audio


def pick(w):
    """The job of the next pass, or None. Call with cond held.

    A final pass takes exactly the audio up to its "E"; whatever came after it belongs to the
    channel's next utterance and stays. Of the finished utterances the oldest goes first, so a
    channel that keeps finishing short ones cannot starve the other.
    """
    finished = [ch for ch in w.chans if ch.ends]
    if finished:
        ch = min(finished, key=lambda c: c.ends[0].order)
        length = ch.ends.pop(0).size
        data = bytes(ch.buf[:length])
        cut_head(ch, length)
        ch.last_len = 0
        return Job(ch, data, True)
    step = PARTIAL_STEP.get(w.dev, PARTIAL_STEP["CPU"])
    ready = [ch for ch in w.chans if ch.buf and len(ch.buf) - ch.last_len >= step]
    if w.aside is not None and w.aside.behind() >= TRANSLATION_BEHIND:
        ready = [ch for ch in ready if time.monotonic() - ch.last_time >= PARTIAL_WAIT_MAX]
    if not ready:
        return None
    ch = min(ready, key=lambda c: (c.last_time, c.idx))
    ch.last_len = len(ch.buf)
    ch.last_time = time.monotonic()
    return Job(ch, bytes(ch.buf), False)


def current_lang(ch, src, tgt):
    # A language kept from an earlier pair is no evidence for the current one: forcing it would
    # make the recognizer translate into a language the user no longer speaks.
    return ch.last_lang if ch.last_lang in (src, tgt) else None


def choose_lang(ch, probs, src, tgt, prior, seconds):
    p = {}
    for code, prob in probs:
        p.setdefault(code, prob)
    ps, pt = p.get(src, 0.0), p.get(tgt, 0.0)
    total = ps + pt
    cur = current_lang(ch, src, tgt)
    if total < LANG_FLOOR:
        return cur or prior
    share = {src: ps / total, tgt: pt / total}
    if cur is None:
        return src if share[src] >= share[tgt] else tgt
    other = tgt if cur == src else src
    if share[other] >= LANG_SWITCH_SHARE and (seconds >= LANG_SWITCH_SECONDS
                                              or share[other] >= LANG_SWITCH_SURE):
        return other
    return cur


def tells_languages(model):
    """An English-only recognizer has no languages to tell apart: asked anyway, it runs its
    encoder over the audio and then fails."""
    return len(getattr(model, "supported_languages", ())) != 1


def language_probs(model, audio):
    """The recognizer's (language, probability) pairs for the audio, judged on what the first
    window of its transcription will hold: the audio after its voice-activity filter, without the
    frame of end padding that its windows leave out. That window's encoding is then the same,
    and the transcription takes it over (reuse_last_encoding). None when the filter hears no
    speech at all."""
    import numpy as np
    from faster_whisper.vad import VadOptions, collect_chunks, get_speech_timestamps

    chunks = get_speech_timestamps(audio, VadOptions())
    if not chunks:
        return None
    heard = np.concatenate(collect_chunks(audio, chunks)[0])
    return model.detect_language(features=model.feature_extractor(heard)[:, :-1])[2]


def written_language(model, language):
    """The language of the text the recognizer writes when asked for this one (None: its own
    choice): an English-only recognizer writes English whatever it is told."""
    only = getattr(model, "supported_languages", ())
    return only[0] if len(only) == 1 else language


def heard_language(model, samples):
    """The language the recognizer hears in the audio, judged on its transcription's first
    window as it would judge it itself; None when it cannot tell (no speech, an error).

    Asked before the transcription rather than left to it, so that the pass is prompted with
    text of that language; the transcription then takes over the encoding of that window."""
    if not tells_languages(model):
        return None
    try:
        probs = language_probs(model, lift_quiet(samples))
    except Exception as e:
        log("language detection error: %r" % (e,))
        return None
    return probs[0][0] if probs else None


def prompt_of(w, ch, language):
    """The channel's earlier finished text in the language the pass recognizes; none when the
    language is not known."""
    key = written_language(w.model, language)
    return ch.prompts.get(key, "") if key else ""


def keep_prompt(w, ch, language, text):
    """Adds a finished run's text to the tail of the channel's text in its language."""
    key = written_language(w.model, language)
    if key and text.strip():
        ch.prompts[key] = (ch.prompts.get(key, "") + " " + text.strip())[-PROMPT_LEN:]


def repeats_prompt(items, prompt):
    """Whether a sentence of the pass is mostly made of the prompt's own word sequences: the
    recognizer, unsure of the speech (most often speech of another language than it was told),
    wrote out its prompt instead."""
    def triples(text):
        words = norm(text).split()
        return [tuple(words[i:i + 3]) for i in range(len(words) - 2)]

    known = set(triples(prompt))
    for text, _, _ in items:
        own = triples(text)
        if len(own) >= PROMPT_ECHO_TRIPLES and sum(t in known for t in own) >= (
                PROMPT_ECHO_SHARE * len(own)):
            return True
    return False


def plan(w, ch, samples, src, tgt, rev, final):
    """(language to recognize, None for the recognizer's own detection; translation target)."""
    if src == "auto" or tgt == "none" or src == tgt:
        return (None if src == "auto" else src), tgt
    prior = tgt if ch.idx == 1 and rev else src
    seconds = len(samples) / RATE
    lang = None
    if seconds >= (DETECT_MIN_FINAL if final else DETECT_MIN_PARTIAL) and tells_languages(w.model):
        try:
            probs = language_probs(w.model, lift_quiet(samples))
            if probs is not None:
                lang = choose_lang(ch, probs, src, tgt, prior, seconds)
        except Exception as e:
            log("language detection error: %r" % (e,))
    if lang is None:
        lang = current_lang(ch, src, tgt) or prior
    return lang, (tgt if lang == src else src)


def split_sentences(segment):
    items = []
    text, start, last_end = "", None, None

    def close():
        if text.strip():
            items.append(Sentence(text.strip(), start, last_end))

    for word in segment.words:
        if text and word.start - last_end > SENTENCE_PAUSE:
            close()
            text = ""
        if not text:
            start = word.start
        text += word.word
        last_end = word.end
        if word.word.rstrip().endswith(END_MARKS):
            close()
            text = ""
    close()
    return items


def transcribe(model, samples, final, language, prompt):
    """(items, words, detected language) of the audio; items are sentences with their times."""
    if len(samples) < MIN_AUDIO:
        return [], [], None
    audio = lift_quiet(samples)
    segments, info = model.transcribe(
        audio, language=language, beam_size=5 if final else 1, best_of=1,
        temperature=0.0, vad_filter=True, condition_on_previous_text=False,
        without_timestamps=False, word_timestamps=True, initial_prompt=prompt or None)
    # The recognizer invents polite phrases on noise, most readily on short clips.
    no_speech, log_prob = NON_SPEECH_SHORT if len(samples) < SHORT_CLIP * RATE else NON_SPEECH_LONG
    items, words = [], []
    for seg in segments:
        if not (seg.no_speech_prob > no_speech and seg.avg_logprob < log_prob):
            add_segment(seg, items, words)
        if nothing_after(audio, seg.end):
            # The recognizer would go on to a window of its own for the rest: a whole encoder
            # run (and a decoding) for audio that holds no word.
            break
    return items, words, getattr(info, "language", None)


def nothing_after(audio, seconds):
    """Whether the audio after that time holds no further word: it is shorter than the shortest
    recognizable audio, or it is a short rest (the front end's hang-over) in which the
    voice-activity filter hears nothing but the end of the last word, which word times place
    early: speech that starts at once and lasts less than the shortest recognizable audio."""
    rest = audio[int(seconds * RATE):]
    if len(rest) < MIN_AUDIO:
        return True
    if len(rest) > QUIET_TAIL * RATE:
        return False
    from faster_whisper.vad import VadOptions, get_speech_timestamps

    spans = get_speech_timestamps(rest, VadOptions(min_silence_duration_ms=TAIL_SILENCE_MS,
                                                   speech_pad_ms=0))
    if not spans:
        return True
    return (len(spans) == 1 and spans[0]["start"] <= TAIL_SILENCE_MS * RATE // 1000
            and spans[0]["end"] - spans[0]["start"] < MIN_AUDIO)


def is_loop(text):
    return compression_ratio(text) > LOOP_COMPRESSION


def repeated_stretch(tokens):
    """(start, end, unit length) of the longest stretch of tokens that is one unit of words said
    at least twice back to back, compared without case and punctuation; None when no word
    repeats that way."""
    keys = [norm(token) for token in tokens]
    best = None
    for unit in range(1, len(keys) // 2 + 1):
        run = 0
        for j in range(unit, len(keys) + 1):
            if j < len(keys) and keys[j] == keys[j - unit]:
                run += 1
                continue
            if run >= unit and (best is None or run + unit > best[1] - best[0]):
                best = (j - run - unit, j, unit)
            run = 0
    return best


def without_loop(tokens):
    """How many leading tokens remain when the decoding loop is cut off a text that compresses
    like a loop as a whole; 0 when nothing real is left.

    The loop is the longest repeated stretch, when that stretch alone compresses like a loop.
    The recognizer starts a loop with the last thing it heard, so after other words the loop's
    first unit stays; what follows a loop came from a decoding that had lost its way, and goes.
    A loop with nothing before it leaves nothing: nothing shows that any of it was said. A text
    whose repeats are no loop is dropped whole, as before.
    """
    count = len(tokens)
    while True:
        stretch = repeated_stretch(tokens[:count])
        if stretch is None:
            return 0
        start, end, unit = stretch
        if start == 0 or not is_loop(" ".join(tokens[start:end])):
            return 0
        count = start + unit
        if not is_loop(" ".join(tokens[:count])):
            return count


def add_segment(seg, items, words):
    """The segment's words and sentences, without the decoding loops in it."""
    text = seg.text.strip()
    kept = seg.words
    if is_loop(text):
        heard = seg.no_speech_prob <= LOOP_AFTER_SPEECH
        if seg.words:
            kept = seg.words[:without_loop([w.word.strip() for w in seg.words])] if heard else []
            text = "".join(w.word for w in kept).strip()
        else:
            tokens = text.split()
            text = " ".join(tokens[:without_loop(tokens)]) if heard else ""
        if text:
            log("repeating words cut from a segment, kept: %r" % (text[:80],))
        else:
            log("repeating segment dropped: %r" % (seg.text[:80],))
            return
    if kept:
        words.extend(Word(w.word, w.start, w.end) for w in kept)
        items.extend(split_sentences(SimpleNamespace(words=kept)))
    elif text:
        items.append(Sentence(text, seg.start, seg.end))


def _mid(unit):
    _, start, end = unit
    return (start + end) / 2


def _may_commit(item, seconds):
    text, _, end = item
    if text.rstrip().endswith(END_MARKS) and end <= seconds - COMMIT_MARGIN:
        return True
    return seconds > LONG_UTTERANCE and end <= seconds - LONG_MARGIN


def stream_commit(w, ch, samples, items, words, want, detected, target):
    seconds = len(samples) / RATE
    cur = [norm(text) for text, _, _ in items]
    stable = 0
    while (stable < len(items) - 1 and stable < len(ch.prev_sents)
           and cur[stable] == ch.prev_sents[stable]):
        stable += 1
    n = 0
    while n < stable and _may_commit(items[n], seconds):
        n += 1
    ch.prev_sents = cur
    if n == 0:
        return items, words
    (_, _, end_n), (_, start_next, _) = items[n - 1], items[n]
    cut = start_next if start_next <= end_n else (end_n + start_next) / 2
    runs = None
    if w.options.diarize and w.speaker.model is not None:
        try:
            runs = runs_by_diarization(w, ch, samples, items, words, cut)
        except Exception as e:
            log("neural diarization failed: %r" % (e,))
    if not runs:
        runs = make_runs(w, ch, samples[:int(cut * RATE)], items[:n], True,
                         [word for word in words if _mid(word) < cut])
    emit(w, ch, runs, True, want, detected, target)
    with w.cond:
        cut_head(ch, int(cut * RATE) * 2)
    ch.prev_sents = []
    return items[n:], [word for word in words if _mid(word) >= cut]


def emit(w, ch, runs, final, want, detected, target):
    lang_out = want or detected or ""
    source = want or detected
    tr_lang = "" if target == "none" else target
    text_kind, tr_kind_letter = ("F", "U") if final else ("P", "T")
    for speaker, text in runs:
        if final:
            parts = sentences_of(text)
        else:
            parts = [text.strip()] if text.strip() else []
        for part in parts or [""]:
            w.send(text_kind, ch.idx, speaker, lang_out, part)
            answer_line(w, LineToTranslate(tr_kind_letter, ch.idx, speaker, tr_lang, part,
                                           source, target))
        if final:
            keep_prompt(w, ch, want or detected, text)


def run_pass(w, job, options):
    import numpy as np

    ch, data, final = job
    src, tgt, rev = options.src_lang, options.tgt_lang, options.reverse
    samples = np.frombuffer(data[:len(data) // 2 * 2], dtype="<i2").astype(np.float32) / 32768.0
    want, target, detected, runs, words = src, tgt, None, [], []
    try:
        want, target = plan(w, ch, samples, src, tgt, rev, final)
        asked = want if want is not None or len(samples) < MIN_AUDIO else heard_language(
            w.model, samples)
        prompt = prompt_of(w, ch, asked)
        items, words, detected = transcribe(w.model, samples, final, asked, prompt)
        if prompt and repeats_prompt(items, prompt):
            log("the pass wrote out its prompt; recognized again without it")
            items, words, detected = transcribe(w.model, samples, final, asked, "")
        if not final:
            if utterance_ended(w, ch):
                return
            items, words = stream_commit(w, ch, samples, items, words, want, detected, target)
        runs = make_runs(w, ch, samples, items, final, words)
    except Exception as e:
        log("transcribe error: %r" % (e,))
        runs = []
    if not final and utterance_ended(w, ch):
        return
    if final:
        if want in (src, tgt):
            ch.last_lang = want
        ch.prev_sents = []
    emit(w, ch, runs or [Run(0, "")], final, want, detected, target)
    if final and words and words[-1].end >= len(samples) / RATE - CUT_IN_SPEECH:
        # The utterance was cut inside speech (the front end ends one after a long stretch
        # without a pause), and the recognizer closed its text with a mark only because the
        # audio stopped. Left in the prompt, that mark makes it skip the first words of the
        # continuation, taking them for the end of a sentence it has already heard.
        key = written_language(w.model, want or detected)
        if key in ch.prompts:
            ch.prompts[key] = ch.prompts[key].rstrip().rstrip("".join(END_MARKS))


def sessions_begun(w):
    """The channels all of whose audio from before a new session has been answered, with a
    session change still to mark. Call with cond held, between passes."""
    begun = []
    for ch in w.chans:
        if ch.marks and ch.marks[0] <= ch.taken:
            while ch.marks and ch.marks[0] <= ch.taken:
                ch.marks.popleft()
            begun.append(ch.idx)
    return begun


def mark_session_change(w, channels):
    """An empty partial line (what a pass that heard nothing sends) on each channel: the lines
    of the channel before it came from the audio of the previous session, those after it from
    the new one's. Translations still owed to earlier lines may come later; the window pairs
    those with their own lines."""
    for channel in channels:
        w.send("P", channel, 0, "", "")
        w.send("T", channel, 0, "", "")


def utterance_ended(w, ch):
    """Whether the utterance of a partial pass ended while the pass ran: its final pass comes
    next and says it all, so the partial line would only be out of date (and, after the stop
    of a recording, look like a line of what is recorded next)."""
    with w.cond:
        return bool(ch.ends)


def mark_first_session(w):
    """The first session begins with the run: its mark tells the window that this worker marks
    sessions."""
    with w.cond:
        for ch in w.chans:
            ch.marks.append(0)
        w.cond.notify_all()


def recognition_loop(w):
    """The recognition thread: final passes first, partial passes by turns."""
    while True:
        with w.cond:
            begun = sessions_begun(w)
            job = None if begun else pick(w)
            while job is None and not begun and not w.quit_flag:
                w.cond.wait(WAIT_SLICE)
                begun = sessions_begun(w)
                job = None if begun else pick(w)
            if w.quit_flag:
                return
            if begun:
                job = None
            else:
                options = w.options
                job.ch.finishing = job.final
        if job is None:
            mark_session_change(w, begun)
            continue
        try:
            run_pass(w, job, options)
        except Exception as e:
            # A dead recognition thread would silence the worker for the rest of the run.
            log("recognition pass failed: %r" % (e,))
        finally:
            with w.cond:
                job.ch.finishing = False
                w.cond.notify_all()


# ---------------------------------------------------------------------------------------------
# Sentence translation
# ---------------------------------------------------------------------------------------------

NLLB = {"ru": "rus_Cyrl", "en": "eng_Latn", "de": "deu_Latn", "fr": "fra_Latn",
        "es": "spa_Latn", "uk": "ukr_Cyrl", "pl": "pol_Latn", "it": "ita_Latn"}
CACHE_LIMIT = 2000
MAX_DECODE = 256


def _engine_batch(engine, tokenizer, kind, sentences, src, tgt, final):
    """The engine's translation of every sentence, in one batch."""
    beam = 4 if final else 1
    if kind == "madlad":
        batch = []
        for sentence in sentences:
            tokens = tokenizer.encode("<2%s> %s" % (tgt, sentence)).tokens
            if not tokens or tokens[-1] != "</s>":
                tokens.append("</s>")
            batch.append(tokens)
        results = engine.translate_batch(batch, beam_size=beam, max_decoding_length=MAX_DECODE)
        outputs = [r.hypotheses[0] for r in results]
    else:
        batch = [[NLLB[src]] + tokenizer.encode(s, add_special_tokens=False).tokens + ["</s>"]
                 for s in sentences]
        results = engine.translate_batch(
            batch, target_prefix=[[NLLB[tgt]] for _ in sentences], beam_size=beam,
            max_decoding_length=MAX_DECODE, repetition_penalty=1.1, no_repeat_ngram_size=4)
        outputs = [r.hypotheses[0][1:] for r in results]
    texts = []
    for tokens in outputs:
        ids = [i for i in (tokenizer.token_to_id(t) for t in tokens) if i is not None]
        texts.append(tokenizer.decode(ids, skip_special_tokens=True).strip())
    return texts


def needs_engine(text, src, tgt):
    """Whether translating text from src to tgt takes the engine (rather than giving the text
    itself or nothing)."""
    return bool(text) and tgt != "none" and src != tgt and src in NLLB and tgt in NLLB


def _needs_no_engine(engine, text, src, tgt):
    return engine is None or not needs_engine(text, src, tgt)


def _no_engine_result(text, src, tgt):
    return text if src == tgt and tgt != "none" else ""


class EngineInUse:
    """The active engine with its tokenizer, id and kind as one set, counted as in use until the
    block ends, so that a model switch can wait for the last batch of the old model before it
    creates the new one."""

    def __init__(self, w):
        self.w = w
        self.engine = None

    def __enter__(self):
        with self.w.cond:
            self.engine, model_id = self.w.translation.model, self.w.translation.active_id
            if self.engine is not None:
                self.w.engine_users += 1
        if self.engine is None:
            return None, None, model_id, ""
        return self.engine.translator, self.engine.tok, model_id, self.engine.kind

    def __exit__(self, *exc):
        if self.engine is not None:
            self.engine = None
            with self.w.cond:
                self.w.engine_users -= 1
                self.w.cond.notify_all()
        return False


def switch_pending(w):
    """Whether a translation model is being replaced: the old engine is released, the new one
    not created yet."""
    with w.cond:
        absent = w.translation.model is None
    return absent and w.translation.loading


def known_translation(w, text, src, tgt, final, whole=True):
    """What translate gives without running the engine: None when a sentence would need it
    (whole), or the translations the cache already holds, joined (not whole). While a model is
    being replaced, a line that needs the engine waits for the new one (None)."""
    engine, _, model_id, _ = translation_snapshot(w)
    if engine is None and whole and needs_engine(text, src, tgt) and switch_pending(w):
        return None
    if _needs_no_engine(engine, text, src, tgt):
        return _no_engine_result(text, src, tgt)
    hits = [w.cache.get((model_id, src, tgt, final, s)) for s in sentences_of(text)]
    if whole and None in hits:
        return None
    return " ".join(h for h in hits if h is not None)


def translate(w, text, src, tgt, final):
    return translate_texts(w, [(text, src, tgt)], final)[0]


def translate_texts(w, texts, final):
    """The translations of several (text, source, target), with one snapshot of the model and
    every sentence not in the cache sent to the engine in one batch per direction: decoding a
    sentence reads the whole model per token, so sentences decoded together share that read."""
    with EngineInUse(w) as (engine, tokenizer, model_id, kind):
        results = _translate_with(w.cache, engine, tokenizer, model_id, kind, texts, final)
        engine = tokenizer = None   # the switch waiting for this block frees the model next
    return results


def _translate_with(cache, engine, tokenizer, model_id, kind, texts, final):
    found = {}
    todo = {}
    for text, src, tgt in texts:
        if _needs_no_engine(engine, text, src, tgt):
            continue
        for sentence in sentences_of(text):
            key = (model_id, src, tgt, final, sentence)
            hit = cache.get(key)
            if hit is not None:
                found[key] = hit
            elif sentence not in todo.setdefault((src, tgt), []):
                todo[(src, tgt)].append(sentence)
    for (src, tgt), sentences in todo.items():
        if not sentences:
            continue
        for sentence, out in zip(sentences, _engine_batch(engine, tokenizer, kind, sentences, src,
                                                          tgt, final)):
            found[(model_id, src, tgt, final, sentence)] = out
            cache[(model_id, src, tgt, final, sentence)] = out
    results = []
    for text, src, tgt in texts:
        if _needs_no_engine(engine, text, src, tgt):
            results.append(_no_engine_result(text, src, tgt))
        else:
            results.append(" ".join(found[(model_id, src, tgt, final, s)]
                                    for s in sentences_of(text)))
    if len(cache) > CACHE_LIMIT:
        cache.clear()
    return results


def translate_or_empty(w, text, src, tgt, final):
    if not text:
        return ""
    try:
        return translate(w, text, src, tgt, final)
    except Exception as e:
        log("translate error: %r" % (e,))
        return ""


class LineToTranslate(NamedTuple):
    """The translation line owed to a recognized line: "T" after "P", "U" after "F"."""
    letter: str
    channel: int
    speaker: int
    language: str               # the translation language sent, empty with no translation
    text: str                   # the recognized text
    src: str
    tgt: str


class Owed:
    """A finished line waiting for its "U": its translation once made (None until then)."""

    def __init__(self, line, order):
        self.line = line
        self.order = order          # arrival over both channels: older lines translate first
        self.queued = time.monotonic()
        self.translation = None


class TranslationsAside:
    """Finished lines whose translation needs the engine, translated on a thread of their own, so
    that on the processor a large model never holds up the next recognition pass.

    Each "U" still follows its own "F", and the "U" lines of a channel keep the order of its "F"
    lines (the window pairs them first in, first out); the two channels' lines wait apart, so
    that one channel's held lines never hold the other's. While nothing waits, the newest partial
    line is translated, so that the cache has it for the partial lines that follow. Queued
    translations die with the process when it is told to quit.
    """

    def __init__(self):
        self.cond = threading.Condition()
        self.owed = (collections.deque(), collections.deque())
        self.arrivals = 0
        self.partial = None         # the newest partial line, while nobody has translated it
        self.engine_seen = 0        # the activation whose engine has translated here already
        self.untranslated_count = 0

    def waiting(self):
        """Finished lines still without their "U" (read without the lock: a figure, not a
        decision that must be exact)."""
        return len(self.owed[0]) + len(self.owed[1])

    def add(self, line):
        """Queues a finished line. Call with cond held."""
        self.arrivals += 1
        self.owed[line.channel & 1].append(Owed(line, self.arrivals))
        self.untranslated_count += 1
        self.cond.notify_all()

    def behind(self):
        """How long the oldest finished line without a translation has waited, in seconds; 0
        when none waits (read without the lock: a figure for a scheduling choice)."""
        if not self.untranslated_count:
            return 0.0
        queued = [owed.queued for queue in self.owed for owed in list(queue)
                  if owed.translation is None]
        return time.monotonic() - min(queued) if queued else 0.0

    def untranslated(self, limit):
        """The oldest lines without a translation, at most limit. Call with cond held."""
        lines = [owed for queue in self.owed for owed in queue if owed.translation is None]
        return sorted(lines, key=lambda owed: owed.order)[:limit]


def answer_line(w, line):
    """Sends the translation line owed to a recognized line, or leaves it to the translation
    thread. Recognition thread only."""
    aside = w.aside
    final = line.letter == "U"
    if aside is None:
        send_answer(w, line, translate_or_empty(w, line.text, line.src, line.tgt, final))
    elif not final:
        # Translating a growing line would cost the pass that follows; what is known goes now,
        # and the line is left to the translation thread for when it has nothing else to do.
        send_answer(w, line, known_translation(w, line.text, line.src, line.tgt, False, False))
        if needs_engine(line.text, line.src, line.tgt):
            with aside.cond:
                aside.partial = line
                aside.cond.notify_all()
    else:
        with aside.cond:
            known = None if aside.owed[line.channel & 1] else known_translation(
                w, line.text, line.src, line.tgt, True)
            if known is not None:
                send_answer(w, line, known)
                return
            aside.add(line)


def send_answer(w, line, translation):
    w.send(line.letter, line.channel, line.speaker, line.language, translation)


# Finished lines translated together at most: enough to catch up after a burst of speech, few
# enough that the first of them does not wait long for the others.
TRANSLATE_TOGETHER = 8


def translate_lines(w, lines):
    """The final translations of lines, together; line by line when that fails, so that one
    line the engine cannot take costs only its own translation."""
    try:
        return translate_texts(w, [(line.text, line.src, line.tgt) for line in lines], True)
    except Exception as e:
        log("translate error: %r" % (e,))
        if len(lines) == 1:
            return [""]
        return [translate_or_empty(w, line.text, line.src, line.tgt, True) for line in lines]


# How much lower the translation thread runs than the rest of the worker (Linux nice steps; on
# Windows one priority step, below normal).
TRANSLATION_NICE = 5
THREAD_PRIORITY_BELOW_NORMAL = -1
THREAD_SET_INFORMATION = 0x0020
THREAD_QUERY_INFORMATION = 0x0040
TH32CS_SNAPTHREAD = 0x00000004


def yield_to_recognition():
    """Lowers the calling thread's priority, so that on a busy processor the recognition passes
    (and so the "F" lines) go first and translations take what is left."""
    lower_thread_priority(threading.get_native_id())


def process_thread_ids():
    """The native ids of the process's threads now; empty when they cannot be listed."""
    try:
        if sys.platform == "win32":
            return _windows_thread_ids()
        return {int(name) for name in os.listdir("/proc/self/task")}
    except (OSError, AttributeError, ValueError) as e:
        log("threads not listed: %r" % (e,))
        return set()


def python_thread_ids():
    """The native ids of the threads that Python code of this process started."""
    return {t.native_id for t in threading.enumerate() if t.native_id is not None}


def lower_threads_made_by(make, *args):
    """make(*args), with the threads that appear meanwhile put below the rest of the worker.
    Threads that Python code starts at the same moment (another part of the worker) keep their
    priority; what is left are the library's own."""
    before = process_thread_ids()
    try:
        return make(*args)
    finally:
        for tid in process_thread_ids() - before - python_thread_ids():
            lower_thread_priority(tid)


def _windows_thread_ids():
    import ctypes
    from ctypes import wintypes

    class ThreadEntry(ctypes.Structure):
        _fields_ = [("dwSize", wintypes.DWORD), ("cntUsage", wintypes.DWORD),
                    ("th32ThreadID", wintypes.DWORD), ("th32OwnerProcessID", wintypes.DWORD),
                    ("tpBasePri", wintypes.LONG), ("tpDeltaPri", wintypes.LONG),
                    ("dwFlags", wintypes.DWORD)]

    kernel = ctypes.windll.kernel32
    kernel.CreateToolhelp32Snapshot.restype = wintypes.HANDLE
    snapshot = kernel.CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0)
    if snapshot in (None, wintypes.HANDLE(-1).value):
        raise OSError("no thread snapshot (error %d)" % kernel.GetLastError())
    ids = set()
    try:
        own = kernel.GetCurrentProcessId()
        entry = ThreadEntry()
        entry.dwSize = ctypes.sizeof(ThreadEntry)
        more = kernel.Thread32First(wintypes.HANDLE(snapshot), ctypes.byref(entry))
        while more:
            if entry.th32OwnerProcessID == own:
                ids.add(entry.th32ThreadID)
            more = kernel.Thread32Next(wintypes.HANDLE(snapshot), ctypes.byref(entry))
    finally:
        kernel.CloseHandle(wintypes.HANDLE(snapshot))
    return ids


def lower_thread_priority(tid):
    """Puts one thread of this process below the others (Linux: the process's nice plus
    TRANSLATION_NICE, whatever it had; on Windows one priority step, below normal). Lowering a
    thread twice leaves it where once did."""
    try:
        if sys.platform == "win32":
            import ctypes
            from ctypes import wintypes

            kernel = ctypes.windll.kernel32
            kernel.OpenThread.restype = wintypes.HANDLE
            handle = kernel.OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, False,
                                       tid)
            if not handle:
                raise OSError("thread %d not opened (error %d)" % (tid, kernel.GetLastError()))
            try:
                kernel.SetThreadPriority(wintypes.HANDLE(handle), THREAD_PRIORITY_BELOW_NORMAL)
            finally:
                kernel.CloseHandle(wintypes.HANDLE(handle))
        else:
            # On Linux a thread id names the thread alone; new threads inherit their creator's.
            os.setpriority(os.PRIO_PROCESS, tid, os.getpriority(os.PRIO_PROCESS, os.getpid())
                           + TRANSLATION_NICE)
    except (OSError, AttributeError) as e:
        log("translation thread priority unchanged: %r" % (e,))


def final_lines_due(ch):
    """Whether an utterance of the channel has ended whose final pass has not sent its lines."""
    return bool(ch.ends) or ch.finishing


def held_channels(w):
    """The channels whose translations wait: an ended utterance of theirs is still being
    recognized. The window takes a stopped recording's lines to be complete once the channel's
    own lines have come, so an earlier line's translation must not come between the end of an
    utterance and that utterance's own lines."""
    with w.cond:
        if w.quit_flag:
            return set()
        return {ch.idx for ch in w.chans if final_lines_due(ch)}


def send_translated(w, aside):
    """Sends the translations that are ready, each channel's in order, except on a held
    channel. Call with aside.cond held."""
    held = held_channels(w)
    while True:
        ready = [queue for channel, queue in enumerate(aside.owed)
                 if queue and queue[0].translation is not None and channel not in held]
        if not ready:
            return
        owed = min(ready, key=lambda queue: queue[0].order).popleft()
        send_answer(w, owed.line, owed.translation)


def next_batch(w, aside):
    """The finished lines to translate next; empty while the engine they need is being
    replaced, or while an ended utterance is being recognized (its "F" lines go first: a batch
    started now would take a core from that pass). Call with aside.cond held."""
    batch = aside.untranslated(TRANSLATE_TOGETHER)
    if batch and (switch_pending(w) or held_channels(w)):
        return []
    return batch


def translate_owed(w, batch):
    try:
        translations = translate_lines(w, [owed.line for owed in batch])
    except Exception as e:
        log("translation failed: %r" % (e,))
        translations = [""] * len(batch)
    with w.aside.cond:
        for owed, translation in zip(batch, translations):
            owed.translation = translation
        w.aside.untranslated_count -= len(batch)
    with w.cond:
        w.cond.notify_all()         # a partial pass may have waited for these


def translate_partial(w, line):
    """Puts the partial line's sentences into the cache under the partial key, one at a time,
    stopping as soon as a finished line waits: that one goes first."""
    aside = w.aside
    for sentence in sentences_of(line.text):
        with aside.cond:
            if aside.untranslated(1) or aside.partial is not None:
                return      # a finished line, or a newer partial line, came meanwhile
        try:
            translate_texts(w, [(sentence, line.src, line.tgt)], False)
        except Exception as e:
            log("translate error: %r" % (e,))
            return


def translation_step(w, aside):
    """One round of the translation thread: what is ready goes out, then the oldest waiting
    lines are translated (or, with none waiting, the newest partial line)."""
    with aside.cond:
        send_translated(w, aside)
        batch = next_batch(w, aside)
        partial = None
        if not batch and not aside.untranslated(1):
            partial, aside.partial = aside.partial, None
        if not batch and partial is None:
            # Held lines and a model being replaced are looked at again shortly.
            aside.cond.wait(WAIT_SLICE if aside.waiting() else None)
            return
    translate = translate_owed if batch else translate_partial
    if first_use_of_engine(w, aside):
        # The engine starts most of its decoding threads at its first translation, and on
        # Windows a new thread starts at normal priority whatever its creator's.
        lower_threads_made_by(translate, w, batch or partial)
    else:
        translate(w, batch or partial)


def first_use_of_engine(w, aside):
    with w.cond:
        activation = w.translation.activations if w.translation.model is not None else 0
    if activation in (0, aside.engine_seen):
        return False
    aside.engine_seen = activation
    return True


def translation_loop(w):
    """The translation thread: finished lines, oldest first, those waiting together translated
    together. An error it does not expect costs one line its translation, never the thread."""
    aside = w.aside
    yield_to_recognition()
    while True:
        try:
            translation_step(w, aside)
        except Exception as e:
            log("translation thread error: %r" % (e,))
            give_up_oldest(w, aside)


def give_up_oldest(w, aside):
    """Answers the oldest waiting line with an empty translation."""
    try:
        with aside.cond:
            queues = [queue for queue in aside.owed if queue]
            if queues:
                owed = min(queues, key=lambda queue: queue[0].order).popleft()
                if owed.translation is None:
                    aside.untranslated_count -= 1
                send_answer(w, owed.line, "")
    except Exception as e:
        log("translation thread error: %r" % (e,))
        time.sleep(WAIT_SLICE)


def start_translation_thread(w):
    w.aside = TranslationsAside()
    threading.Thread(target=translation_loop, args=(w,), daemon=True).start()


# ---------------------------------------------------------------------------------------------
# Frames in: reading and acting
# ---------------------------------------------------------------------------------------------

class EndOfInput(Exception):
    pass


class Frame(NamedTuple):
    kind: str
    payload: bytes              # None when it was too large to keep


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


class FrameReader:
    """Frames from a binary stream: a kind letter, a 32-bit little-endian length, the payload."""

    def __init__(self, stream, max_payload=MAX_PAYLOAD):
        self.stream = stream
        self.max_payload = max_payload

    def read(self):
        """The next frame; EndOfInput when the stream ends, even inside a frame."""
        header = read_exact(self.stream, 5)
        kind = chr(header[0])
        (length,) = struct.unpack("<I", header[1:5])
        if length > self.max_payload:
            skip_exact(self.stream, length)
            return Frame(kind, None)
        return Frame(kind, read_exact(self.stream, length) if length else b"")


def audio_of(payload):
    """(channel, whole samples as bytes) of an "A" payload, or None when it is not one."""
    if len(payload) > 1 and payload[0] < 2:
        # Whole samples only: half a sample would shift every later sample of the utterance.
        end = len(payload) - (len(payload) - 1) % 2
        return payload[0], payload[1:end]
    return None


def parse_options(payload):
    """The options of an "L" payload, or None when the frame is malformed. sens is None when its
    text is not a number: the old value stays."""
    parts = payload.decode("utf-8", "ignore").split("|")
    if len(parts) < 5:
        return None
    # isdigit() also accepts digits that int() refuses ("²", "①"), hence the ASCII test.
    text = parts[4].strip()
    sens = int(text) if text.isascii() and text.isdigit() and len(text) <= 9 else None
    return Options(parts[0], parts[1], parts[2] == "1", parts[3] == "1", sens)


def apply_options(w, options):
    with w.cond:
        if options.sens is None:
            options = options._replace(sens=w.options.sens)
        w.options = options
    if options.diarize and not os.path.isfile(seg_path(w)):
        threading.Thread(target=ensure_segmentation, args=(w,), daemon=True).start()
    elif options.diarize:
        check_detector_soon(w)


def on_audio(w, payload):
    audio = audio_of(payload)
    if audio is not None:
        with w.cond:
            w.chans[audio[0]].buf += audio[1]
            w.cond.notify_all()


def on_end(w, payload):
    if payload and payload[0] < 2:
        with w.cond:
            mark_end(w, w.chans[payload[0]])
            w.cond.notify_all()


def on_options(w, payload):
    options = parse_options(payload)
    if options is not None:
        apply_options(w, options)


def on_reset(w, payload):
    with w.cond:
        for ch in w.chans:
            reset_voices(ch)
            ch.marks.append(ch.taken + len(ch.buf))
        w.cond.notify_all()


FRAME_HANDLERS = {
    "A": on_audio,
    "E": on_end,
    "L": on_options,
    "M": lambda w, payload: switch_speaker(w, payload.decode("utf-8", "ignore")),
    "G": lambda w, payload: switch_translator(w, payload.decode("utf-8", "ignore")),
    "R": on_reset,
}


def handle_frame(w, frame):
    """Acts on one frame; frames of unknown kinds are ignored. Returns False when the loop has
    to end."""
    if frame.payload is None:
        return True
    if frame.kind == "Q":
        return False
    handler = FRAME_HANDLERS.get(frame.kind)
    if handler is not None:
        handler(w, frame.payload)
    return True


def frame_loop(w, stream):
    reader = FrameReader(stream)
    try:
        while True:
            frame = reader.read()
            try:
                if not handle_frame(w, frame):
                    return
            except Exception as e:
                # One frame that cannot be acted on must not end the conversation.
                log("frame failed: %r" % (e,))
    except EndOfInput:
        return
    except OSError as e:
        # A broken input pipe is the end of the conversation, like end of file.
        log("input failed: %r" % (e,))


# ---------------------------------------------------------------------------------------------
# Start-up and exit
# ---------------------------------------------------------------------------------------------

def start_up(send):
    keep_freed_memory()
    paths = set_up_environment()
    w = Worker(send, paths)
    name = recognition_model_name()
    ensure_deps(send)
    w.dll_folders = add_cuda_paths()
    load_recognizer(w, name)
    load_initial_translator(w)
    load_initial_speaker(w)
    if w.dev == "CPU":
        start_translation_thread(w)
    threading.Thread(target=recognition_loop, args=(w,), daemon=True).start()
    send("S", "ready (%s)" % w.dev)
    mark_first_session(w)
    for start_switch in w.after_ready:
        start_switch()
    return w


def finish(w):
    with w.cond:
        w.quit_flag = True
        w.cond.notify_all()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    # Background threads (downloads, model loads) are abandoned, not joined.
    os._exit(0)


def main():
    writer = LineWriter(sys.stdout.buffer)
    w = start_up(writer.send)
    frame_loop(w, sys.stdin.buffer)
    finish(w)


if __name__ == "__main__":
    main()
