"""End-to-end run of the whole system under Wine, driven as a user would drive it.

Runs inside scripts/with_wine.sh (Xvfb, PulseAudio null sink "spk" as the microphone, a fresh
Wine prefix). Parlivo.exe is installed into C:\\Colloquor with [paths] python= naming relay.exe;
the relay's Linux-side launcher runs the real worker (through tap.py, which keeps a copy of the
frames it receives) with the tiny.en recognizer. Speech comes from espeak-ng, played into the sink.

    python tests/e2e/e2e.py [--scenario all|session|kill|crash|demo] [--text TEXT] [--wav PATH]
                            [--langs CODE,CODE] [--screenshot PATH]

The demo with --langs (two of the eight language codes) speaks sentences of the two languages in
turn with the multilingual recognizer "base" and the pair set in Parlivo's language lists.

Prints what it checks and the figures (word error rate, time from the end of each sentence to its
row in the session file); exits non-zero when a check fails.
"""
import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools", "models"))
sys.path.insert(0, os.path.join(REPO, "worker", "tests"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import language_corpus  # noqa: E402
import wer  # noqa: E402

# Control ids of Parlivo's window.
STATUS = 107
RECOGNIZED_PANEL = 108
TRANSLATION_PANEL = 112
RECORD = 103
NEW_SESSION = 133
SESSIONS_LIST = 131
SAVE = 113

SENTENCES = [
    "The weather is nice today.",
    "Please send me the report by Friday.",
    "We will meet at the station at noon.",
    "My brother lives in a small house near the river.",
    "Thank you very much for your help.",
]

RECOGNIZER_STOPPED = "The recognizer stopped (see worker.log next to the program)."


class Failure(Exception):
    pass


def log(msg):
    print(msg, flush=True)


def check(cond, what):
    log(("  ok    " if cond else "  FAIL  ") + what)
    if not cond:
        raise Failure(what)


# ---------------------------------------------------------------------------------------------
# Installation in the Wine prefix

class Install:
    def __init__(self, wineprefix, name="Colloquor"):
        self.dir = os.path.join(wineprefix, "drive_c", name)
        self.win_dir = "C:\\" + name
        self.history = os.path.join(self.dir, "history")
        self.settings = os.path.join(self.dir, "settings.ini")
        self.worker_log = os.path.join(self.dir, "worker.log")

    def lay_out(self, data_root_source):
        os.makedirs(self.dir, exist_ok=True)
        dist = os.path.join(REPO, "dist", "windows")
        for f in ("Parlivo.exe", "worker.py", "dl_progress.py", "requirements.txt"):
            shutil.copy(os.path.join(dist, f), self.dir)
        shutil.copy(find_build_exe("relay.exe"), self.dir)
        data = os.path.join(self.dir, "data")
        if os.path.exists(data):
            shutil.rmtree(data)
        shutil.copytree(data_root_source, data, symlinks=True)

    def write_settings(self, src=2, tgt=1):
        text = ("[app]\r\nv=2\r\nsrc=%d\r\ntgt=%d\r\n[paths]\r\npython=%s\\relay.exe\r\n"
                % (src, tgt, self.win_dir))
        with open(self.settings, "wb") as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))

    def read_settings(self):
        with open(self.settings, "rb") as f:
            raw = f.read()
        return raw, raw[2:].decode("utf-16-le", errors="replace") if raw[:2] == b"\xff\xfe" else ""

    def session_files(self):
        if not os.path.isdir(self.history):
            return []
        return sorted(os.path.join(self.history, n) for n in os.listdir(self.history) if n.endswith(".txt"))


def find_build_exe(name):
    for root, _dirs, files in os.walk(os.path.join(REPO, "build", "windows")):
        if name in files and "CMakeFiles" not in root:
            return os.path.join(root, name)
    raise Failure("%s is not built (make build)" % name)


def session_rows(path):
    """The row lines of a session file, split into their fields:
    U, channel, speaker, labelled, language, translation language, text, translation."""
    rows = []
    with open(path, "rb") as f:
        for raw in f.read().decode("utf-8", errors="replace").split("\n"):
            fields = raw.rstrip("\r").split("\t")
            if len(fields) >= 8 and fields[0] == "U":
                rows.append(fields)
    return rows


def show_session(path, width=160):
    """Prints a session file, long fields shortened (the generated translation models of the test
    set-up produce long strings of random tokens)."""
    for line in open(path, encoding="utf-8", errors="replace").read().splitlines():
        sys.stdout.write((line if len(line) <= width else line[:width] + " ...") + "\n")


# ---------------------------------------------------------------------------------------------
# Parlivo, the relay's launcher and the probe

class Session:
    def __init__(self, install, work, model="tiny.en"):
        self.install = install
        self.model = model
        self.work = tempfile.mkdtemp(prefix="session.", dir=work)
        self.probe_exe = find_build_exe("probe.exe")
        self.tap_file = os.path.join(self.work, "frames.bin")
        self.lines_file = os.path.join(self.work, "lines.txt")
        self.pid_file = os.path.join(self.work, "worker.pid")
        self.launcher = None
        self.parlivo = None

    def start(self):
        venv_python = os.path.join(subprocess.check_output([os.path.join(REPO, "scripts", "venv_path.sh")],
                                                           text=True).strip(), "bin", "python")
        port_file = os.path.join(self.work, "port")
        env = dict(os.environ, COLLOQUOR_TAP_PYTHON=venv_python, COLLOQUOR_TAP_FILE=self.tap_file,
                   COLLOQUOR_TAP_LINES=self.lines_file, COLLOQUOR_TAP_PID=self.pid_file)
        self.launcher_log = open(os.path.join(self.work, "launcher.log"), "wb")
        self.launcher = subprocess.Popen(
            [venv_python, os.path.join(REPO, "tools", "relay", "launcher.py"), "--port-file", port_file,
             "--python", os.path.join(REPO, "tests", "e2e", "tap_python.sh")],
            env=env, stdout=self.launcher_log, stderr=subprocess.STDOUT)
        for _ in range(100):
            if os.path.exists(port_file) and open(port_file).read().strip():
                break
            time.sleep(0.1)
        port = open(port_file).read().strip()
        env = dict(os.environ, COLLOQUOR_RELAY_PORT=port, DICTATE_MODEL=self.model)
        self.parlivo_log = open(os.path.join(self.work, "parlivo.log"), "wb")
        self.parlivo = subprocess.Popen(["wine", os.path.join(self.install.dir, "Parlivo.exe")],
                                        cwd=self.install.dir, env=env, stdout=self.parlivo_log,
                                        stderr=subprocess.STDOUT)
        check(self.probe("wait-window", "60000").returncode == 0, "Parlivo's window opened")

    def probe(self, *args, timeout=180):
        return subprocess.run(["wine", self.probe_exe] + list(args), capture_output=True, text=True,
                              timeout=timeout, encoding="utf-8", errors="replace")

    def text(self, control):
        return self.probe("text", str(control)).stdout.rstrip("\n")

    def wait_text(self, control, needle, ms):
        r = self.probe("wait-text", str(control), needle, str(ms))
        return r.returncode == 0, r.stdout.rstrip("\n")

    def click(self, control):
        return self.probe("click", str(control)).returncode == 0

    def close_and_wait(self, timeout=60):
        self.probe("close")
        try:
            return self.parlivo.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.parlivo.kill()
            return None

    def stop(self):
        if self.parlivo and self.parlivo.poll() is None:
            self.parlivo.kill()
        if self.launcher and self.launcher.poll() is None:
            self.launcher.send_signal(signal.SIGTERM)
            try:
                self.launcher.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.launcher.kill()

    def worker_pid(self):
        """The process id of this session's worker, as the tap wrote it; None before it started."""
        try:
            return int(open(self.pid_file).read())
        except (OSError, ValueError):
            return None

    def worker_alive(self):
        pid = self.worker_pid()
        if pid is None:
            return False
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return False
        # A killed child stays a zombie until the tap reaps it; it runs no more.
        try:
            return open("/proc/%d/stat" % pid).read().split(")")[-1].split()[0] != "Z"
        except OSError:
            return False

    def finished_lines(self):
        """Texts of the worker's non-empty "F" lines that passed the tap, in order."""
        try:
            data = open(self.lines_file, "rb").read().decode("utf-8", errors="replace")
        except OSError:
            return []
        texts = []
        for line in data.split("\n")[:-1]:  # a cut-off last line never reached Parlivo whole
            fields = line.split("\t")
            if len(fields) >= 5 and fields[0] == "F" and fields[4]:
                texts.append(fields[4])
        return texts

    def frames_received(self):
        """Frame types the worker received, in order."""
        types = []
        try:
            data = open(self.tap_file, "rb").read()
        except OSError:
            return types
        pos = 0
        while pos + 5 <= len(data):
            length = int.from_bytes(data[pos + 1:pos + 5], "little")
            if pos + 5 + length > len(data):
                break
            types.append(chr(data[pos]))
            pos += 5 + length
        return types


# ---------------------------------------------------------------------------------------------
# Speech

def speak_to_wav(text, path, voice="en-us", speed=150):
    raw = path + ".raw.wav"
    subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-w", raw, text], check=True)
    subprocess.run(["sox", raw, "-r", "16000", "-c", "1", "-b", "16", path], check=True)
    os.remove(raw)
    return path


def wav_seconds(path):
    with wave.open(path) as w:
        return w.getnframes() / float(w.getframerate())


def play(path):
    subprocess.run(["paplay", "-d", os.environ.get("COLLOQUOR_SINK", "spk"), path], check=True)


def wait_rows(install, count, timeout):
    """Waits until the newest session file holds count rows; returns (rows, path)."""
    end = time.time() + timeout
    while True:
        files = install.session_files()
        rows = session_rows(files[-1]) if files else []
        if len(rows) >= count or time.time() > end:
            return rows, (files[-1] if files else None)
        time.sleep(0.05)


def wait_until_settled(install, quiet=5.0, limit=120.0):
    """Waits until no new row has reached the session file for `quiet` seconds."""
    end = time.time() + limit
    count, since = -1, time.time()
    while time.time() < end:
        n = len(wait_rows(install, 0, 0)[0])
        if n != count:
            count, since = n, time.time()
        elif time.time() - since >= quiet:
            return count
        time.sleep(0.2)
    return count


def start_recording(s):
    ok, status = s.wait_text(STATUS, "Ready", 180000)
    check(ok, "the worker became ready: %r" % status)
    check(s.click(NEW_SESSION), "pressed + New session")
    ok = s.probe("wait-enabled", str(RECORD), "20000").returncode == 0
    check(ok, "Record is enabled once a session is open")
    check(s.click(RECORD), "pressed Record")
    ok, status = s.wait_text(STATUS, "Recording", 20000)
    check(ok, "recording started: %r" % status)
    time.sleep(1.0)  # let the detector learn the silence before the first sentence


def speak_sentences(s, install, sentences, work, pause=2.5, already_wav=False):
    """Plays each sentence (or WAV file); returns the seconds from each one's end to its row."""
    latencies = []
    for i, sentence in enumerate(sentences):
        wav = sentence if already_wav else speak_to_wav(sentence, os.path.join(work, "s%d.wav" % i))
        before = len(wait_rows(install, 0, 0)[0])
        play(wav)
        ended = time.time()
        rows, _ = wait_rows(install, before + 1, 20.0)
        latencies.append(time.time() - ended if len(rows) > before else None)
        time.sleep(pause)
    return latencies


# ---------------------------------------------------------------------------------------------
# Scenarios

def scenario_session(install, work, sentences=SENTENCES):
    log("scenario: a session with %d sentences, then Stop and close" % len(sentences))
    s = Session(install, work)
    try:
        s.start()
        start_recording(s)
        latencies = speak_sentences(s, install, sentences, work)
        time.sleep(1.0)
        check(s.click(RECORD), "pressed Stop")
        ok, status = s.wait_text(STATUS, "", 1000)
        rows, path = wait_rows(install, len(sentences), 10.0)
        panel = s.text(RECOGNIZED_PANEL)
        translation_panel = s.text(TRANSLATION_PANEL)
        rc = s.close_and_wait()
    finally:
        s.stop()

    log("session file %s:" % path)
    if path:
        show_session(path)
    log("recognized-speech panel:\n" + panel)
    log("translation panel: %d characters" % len(translation_panel))
    check(len(rows) == len(sentences), "one row per sentence (%d rows for %d sentences)" % (len(rows), len(sentences)))
    hyp = " ".join(r[6] for r in rows)
    rate = wer.word_error_rate(" ".join(sentences), hyp)
    log("word error rate: %.3f" % rate)
    check(rate <= 0.35, "recognized text close to what was spoken (WER %.3f <= 0.35)" % rate)
    for r in rows:
        check(r[6] in panel, "panel shows the saved line %r" % r[6])
    figures = ["%.2f s" % lag if lag is not None else "none" for lag in latencies]
    log("end of sentence -> row in the session file: " + ", ".join(figures))
    raw, settings = install.read_settings()
    check(raw[:2] == b"\xff\xfe", "settings.ini is UTF-16 with its byte-order mark")
    check(re.search(r"^v=2\r?$", settings, re.M) is not None, "settings.ini has v=2")
    check(re.search(r"^python=.*relay\.exe\r?$", settings, re.M) is not None,
          "the hand-written [paths] section is kept")
    check(re.search(r"^src=2\r?$", settings, re.M) is not None, "the speech language stays English")
    frames = s.frames_received()
    check(len(frames) > 0 and frames[0] == "L", "the options frame came first (%s...)" % "".join(frames[:3]))
    check(frames.count("R") >= 1, "the new session reset the voices (R)")
    check(frames and frames[-1] == "Q", "the worker got Q last (%s)" % "".join(frames[-3:]))
    check(rc == 0, "Parlivo exited with code 0 (%r)" % rc)
    return {"rows": rows, "wer": rate, "latencies": latencies, "path": path}


def scenario_kill(install, work, kills=1, seed=7):
    log("scenario: the worker is killed at %d moment(s) of a live session" % kills)
    rng = random.Random(seed)
    for round_ in range(kills):
        s = Session(install, work)
        try:
            s.start()
            start_recording(s)
            # Two sentences apart, so that the kill may come before, between or after answers.
            parts = [speak_to_wav(SENTENCES[(round_ + k) % len(SENTENCES)],
                                  os.path.join(s.work, "part%d.wav" % k)) for k in range(2)]
            padded = os.path.join(s.work, "part0-pause.wav")
            subprocess.run(["sox", parts[0], padded, "pad", "0", "1.5"], check=True)
            wav = os.path.join(s.work, "speech.wav")
            subprocess.run(["sox", padded, parts[1], wav], check=True)
            player = subprocess.Popen(["paplay", "-d", os.environ.get("COLLOQUOR_SINK", "spk"), wav])
            moment = rng.uniform(0.5, wav_seconds(wav) + 6.0)
            time.sleep(moment)
            pid = s.worker_pid()
            check(pid is not None and s.worker_alive(),
                  "kill %d at %.1f s: the worker runs (process %s)" % (round_ + 1, moment, pid))
            os.kill(pid, signal.SIGKILL)
            ok, status = s.wait_text(STATUS, RECOGNIZER_STOPPED, 30000)
            check(ok, "the status says the recognizer stopped: %r" % status)
            check(s.probe("enabled", str(RECORD)).stdout.strip() == "0",
                  "Record is disabled after the worker ended")
            player.wait()
            time.sleep(1.0)  # nothing more is captured: the file stays as it is
            files = install.session_files()
            rows = session_rows(files[-1]) if files else []
            rc = s.close_and_wait()
            sent = s.finished_lines()
        finally:
            s.stop()
        log("  %d finished line(s) had reached Parlivo, %d row(s) in the file" % (len(sent), len(rows)))
        check([r[6] for r in rows] == sent, "every finished line that reached Parlivo is in the file")
        check(rc == 0, "Parlivo exited with code 0 (%r)" % rc)


def sessions_at_next_start(install, work):
    """The Sessions list of a new start of Parlivo, and that run's exit code after closing it."""
    s = Session(install, work)
    try:
        s.start()
        # On a busy machine the first look can come before the list answers the probe.
        deadline = time.time() + 15
        while True:
            items = s.probe("items", str(SESSIONS_LIST)).stdout.splitlines()
            if items or time.time() > deadline:
                return items, s.close_and_wait()
            time.sleep(0.5)
    finally:
        s.stop()


def scenario_crash(install, work):
    log("scenario: Parlivo's process is ended at once in the middle of a recording")
    s = Session(install, work)
    try:
        s.start()
        start_recording(s)
        speak_sentences(s, install, SENTENCES[:3], work, pause=1.0)
        wait_until_settled(install, quiet=3.0, limit=30.0)
        shown = [line for line in s.text(RECOGNIZED_PANEL).splitlines() if line.strip()]
        rows_before, path = wait_rows(install, 0, 0)
        check(s.probe("terminate").returncode == 0, "Parlivo's process was terminated")
        rows_after = session_rows(path) if path else []
        deadline = time.time() + 20
        while s.worker_alive() and time.time() < deadline:
            time.sleep(0.2)
        check(s.worker_pid() is not None and not s.worker_alive(),
              "no worker process is left running (the job ended it)")
    finally:
        s.stop()
    log("lines shown as finished before the end: %d; rows in the session file after it: %d"
        % (len(shown), len(rows_after)))
    check(len(rows_after) >= 2, "the finished lines were saved (%d rows)" % len(rows_after))
    check(rows_after == rows_before, "the file holds every line saved before the end, whole")
    check(len(shown) == len(rows_after) and all(r[6] in "\n".join(shown) for r in rows_after),
          "every line shown as finished is in the file")

    items, rc = sessions_at_next_start(install, work)
    check(len(items) >= 1 and items[0].endswith("(%d)" % len(rows_after)),
          "the next start lists the session with its %d lines: %r" % (len(rows_after), items[:1]))
    check(rc == 0, "the next run exited with code 0 (%r)" % rc)


def fill_up(folder):
    """Fills the file system of `folder` to the last byte; returns the filler's path."""
    filler = os.path.join(folder, "filler.bin")
    with open(filler, "wb", buffering=0) as f:
        block = b"\0" * 4096
        try:
            while True:
                f.write(block)
        except OSError:
            pass
        try:
            while True:
                f.write(b"\0")
        except OSError:
            pass
    return filler


def mount_small_disk(folder, work):
    """A 256 KiB ext2 file system with 1 KiB blocks at `folder` (a tmpfs would keep whole 4 KiB
    pages per file, so a full disk would still take many rows); None when mounting is refused."""
    image = os.path.join(work, "small-disk.img")
    with open(image, "wb") as f:
        f.truncate(256 * 1024)
    steps = [["mkfs.ext2", "-q", "-F", "-b", "1024", "-m", "0", image],
             ["mount", "-o", "loop", image, folder]]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            return "%s: %s" % (step[0], done.stderr.strip())
    return None


def scenario_disk_full(install, work):
    log("scenario: the disk fills up while the session is written")
    os.makedirs(install.history, exist_ok=True)
    refused = mount_small_disk(install.history, work)
    if refused:
        log("  skipped: a small file system cannot be mounted here (%s)" % refused)
        return
    s = Session(install, work)
    try:
        s.start()
        start_recording(s)
        speak_sentences(s, install, SENTENCES[:1], work, pause=0.5)
        rows, path = wait_rows(install, 1, 10.0)
        check(len(rows) == 1, "the first line was saved")
        filler = fill_up(install.history)
        # The file's last block still takes a few rows; then the disk is full.
        failed, spoken = False, 1
        while not failed and spoken < 16:
            speak_sentences(s, install, [SENTENCES[spoken % len(SENTENCES)]], work, pause=0.5)
            spoken += 1
            failed, status = s.wait_text(STATUS, "Could not write the session file", 3000)
        check(failed, "after %d sentences the status line says the file cannot be written: %r"
              % (spoken, status))
        saved_while_full = len(session_rows(path))
        speak_sentences(s, install, SENTENCES[:1], work, pause=0.5)
        spoken += 1
        panel = s.text(RECOGNIZED_PANEL)
        check(len(session_rows(path)) == saved_while_full, "nothing more reached the full disk")
        os.remove(filler)
        ok, status = s.wait_text(STATUS, "The session file is saved again", 10000)
        check(ok, "the status line says saving resumed: %r" % status)
        rows = session_rows(path)
        check(s.click(RECORD), "pressed Stop")
        rc = s.close_and_wait()
    finally:
        s.stop()
        subprocess.run(["umount", "-l", install.history], check=False)
    log("  %d sentence(s) spoken, %d row(s) saved before the disk was full, %d after space returned"
        % (spoken, saved_while_full, len(rows)))
    check(len(rows) == spoken and all(r[6] in panel for r in rows),
          "every line shown while the disk was full reached the file once space returned")
    check(rc == 0, "Parlivo exited with code 0 (%r)" % rc)


# A program folder with spaces, quotes, Cyrillic letters and dots. (A name that ends in a dot cannot
# hold a program at all: Windows drops the dot from every path, so not even the loader finds it.)
ODD_FOLDER = "Coll oquor 'q' Запись. v.2"


def scenario_odd_path(install, work):
    log("scenario: a program folder named %r" % os.path.basename(install.dir))
    exports = os.path.join(install.dir, "exports")
    os.makedirs(exports, exist_ok=True)
    s = Session(install, work)
    try:
        s.start()
        start_recording(s)
        speak_sentences(s, install, SENTENCES[:1], work, pause=0.5)
        rows, path = wait_rows(install, 1, 15.0)
        check(s.click(RECORD), "pressed Stop")
        saved = s.probe("save-as", str(SAVE), install.win_dir + "\\exports\\call.txt", "20000")
        check(saved.returncode == 0, "the Save dialog took a name in the program folder")
        written = wait_files(exports, 10.0)
        rc = s.close_and_wait()
    finally:
        s.stop()
    check(len(rows) == 1, "the line reached the session file in the history folder")
    exported = [open(f, encoding="utf-8-sig", errors="replace").read() for f in written]
    check(rows and any(rows[0][6] in text for text in exported),
          "the export holds the line: %s" % ", ".join(os.path.basename(f) for f in written))
    check(os.path.getsize(install.worker_log) > 0, "worker.log was written next to the program")
    raw, settings = install.read_settings()
    check("v=2" in settings, "settings.ini was read and written")
    check(rc == 0, "Parlivo exited with code 0 (%r)" % rc)
    items, rc = sessions_at_next_start(install, work)
    check(any(item.endswith("(1)") for item in items), "the next start lists the session: %r" % items)
    check(rc == 0, "the next run exited with code 0 (%r)" % rc)


def wait_files(folder, timeout):
    """The files in folder once some exist and their number holds still for a moment."""
    end, seen = time.monotonic() + timeout, []
    while time.monotonic() < end:
        now = sorted(os.path.join(folder, n) for n in os.listdir(folder))
        if now and now == seen:
            return now
        seen = now
        time.sleep(0.5)
    return seen


# Short sessions recorded before the demo's own, so that the Sessions list shows how they pile up.
EARLIER_SESSIONS = [
    "We are testing the live transcription.",
    "Let us meet again next week.",
]


def split_sentences(text):
    return [p.strip() for p in re.split(r"(?<=[.!?])\s+", text.strip()) if p.strip()]


def record_short_session(s, install, sentence, work, already_wav=False):
    check(s.click(NEW_SESSION), "pressed + New session")
    check(s.probe("wait-enabled", str(RECORD), "20000").returncode == 0, "Record is enabled")
    check(s.click(RECORD), "pressed Record")
    time.sleep(1.0)
    speak_sentences(s, install, [sentence], work, pause=0.5, already_wav=already_wav)
    check(s.click(RECORD), "pressed Stop")


# ---------------------------------------------------------------------------------------------
# The demo in two languages

DEMO_TURNS = 4  # sentences per language in the demo's own session


def demo_languages(text):
    """(first, second) from "first,second": two different codes of the program's eight languages.
    Raises ValueError with a message for the user otherwise."""
    codes = [c.strip().lower() for c in text.split(",")]
    if len(codes) != 2 or not all(codes):
        raise ValueError("LANGS takes two language codes separated by a comma, such as en,de "
                         "(got %r)" % text)
    unknown = [c for c in codes if c not in language_corpus.CODES]
    if unknown:
        raise ValueError("LANGS: unknown language code %s; the codes are %s"
                         % (", ".join(unknown), ", ".join(language_corpus.CODES)))
    if codes[0] == codes[1]:
        raise ValueError("LANGS needs two different languages, got %s twice" % codes[0])
    return codes[0], codes[1]


def language_selections(first, second):
    """settings.ini's "src" and "tgt" for the pair: the lists hold "Auto" and "No translation"
    before the eight languages."""
    return language_corpus.CODES.index(first) + 1, language_corpus.CODES.index(second) + 1


def demo_script(first, second, turns=DEMO_TURNS):
    """(the two earlier sessions' sentences, the demo's own) as [(code, sentence)]: the own
    session takes turns between the languages, each earlier one speaks a sentence of one of them
    that the own session does not use."""
    spoken = language_corpus.alternating(first, second, turns)
    earlier = [(code, language_corpus.SENTENCES[code][-1]) for code in (first, second)]
    return earlier, spoken


def rows_per_clip(counts_after, total):
    """Row index ranges [(start, end)] of each clip, from the number of rows in the session file
    after each clip but the last (a clip's late rows count for the next one) and the final
    number."""
    bounds = [0] + list(counts_after) + [total]  # a session file only ever grows
    return list(zip(bounds, bounds[1:]))


def show_languages(codes, rows, ranges):
    """Each spoken sentence's language beside the language of the lines it gave; the count of
    lines labelled with the language spoken."""
    right = 0
    log("languages: spoken -> line, text")
    for code, (start, end) in zip(codes, ranges):
        if start == end:
            log("  %s -> (no line)" % code)
        for row in rows[start:end]:
            right += row[4] == code
            log("  %s -> %-2s  %s" % (code, row[4] or "?", row[6]))
    return right


def window_geometry():
    """x, y, width and height of Parlivo's window on the display, or None."""
    found = subprocess.run(["xdotool", "search", "--name", "^Colloquor$"], capture_output=True, text=True)
    ids = found.stdout.split()
    if not ids:
        return None
    shell = subprocess.run(["xdotool", "getwindowgeometry", "--shell", ids[0]], capture_output=True,
                           text=True).stdout
    values = dict(line.split("=", 1) for line in shell.split() if "=" in line)
    try:
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])
    except (KeyError, ValueError):
        return None


def take_screenshot(path):
    geometry = window_geometry()
    crop = ["-crop", "%dx%d+%d+%d" % (geometry[2], geometry[3], geometry[0], geometry[1]), "+repage"] \
        if geometry else ["-trim", "+repage"]
    subprocess.run(["import", "-window", "root"] + crop + [path], check=False)


def let_wine_draw_the_frame():
    """Without a window manager Wine draws the window's frame itself when told to; its caption
    buttons need Wine's Marlett font (Debian fonts-wine)."""
    marlett = "/usr/share/wine/fonts/marlett.ttf"
    if not os.path.exists(marlett):
        return
    subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N",
                    "/f"], capture_output=True, check=False)
    fonts = os.path.join(os.environ["WINEPREFIX"], "drive_c", "windows", "Fonts")
    os.makedirs(fonts, exist_ok=True)
    shutil.copy(marlett, fonts)


def speak_in(code, sentence, path):
    return speak_to_wav(sentence, path, voice=language_corpus.VOICES[code])


def scenario_demo(install, work, text, wav_path, screenshot, langs=None):
    """A user's run: two short sessions, then the demo's own, with a screenshot taken while its last
    part is being spoken (finished lines above, the level bar moving). With langs (two codes) the
    sentences take turns between the two languages and the recognizer is the multilingual one."""
    if screenshot:
        let_wine_draw_the_frame()
    s = Session(install, work, model="base" if langs else "tiny.en")
    started = time.time()
    codes = []
    counts_after = []
    try:
        s.start()
        ok, status = s.wait_text(STATUS, "Ready", 180000)
        check(ok, "the worker became ready: %r" % status)
        if langs:
            earlier, spoken = demo_script(*langs)
            for i, (code, sentence) in enumerate(earlier):
                wav = speak_in(code, sentence, os.path.join(work, "earlier%d.wav" % i))
                record_short_session(s, install, wav, work, already_wav=True)
        else:
            for sentence in EARLIER_SESSIONS:
                record_short_session(s, install, sentence, work)
        check(s.click(NEW_SESSION), "pressed + New session")
        check(s.probe("wait-enabled", str(RECORD), "20000").returncode == 0, "Record is enabled")
        check(s.click(RECORD), "pressed Record")
        time.sleep(1.0)
        if langs:
            codes = [code for code, _ in spoken]
            clips = [speak_in(code, sentence, os.path.join(work, "demo%d.wav" % i))
                     for i, (code, sentence) in enumerate(spoken)]
        elif wav_path:
            clips = [wav_path]
        else:
            clips = [speak_to_wav(sentence, os.path.join(work, "demo%d.wav" % i))
                     for i, sentence in enumerate(split_sentences(text))]
        seconds = sum(wav_seconds(c) for c in clips)
        log("playing %d clip(s), %.1f s of speech, into the virtual microphone" % (len(clips), seconds))
        for clip in clips[:-1]:
            speak_sentences(s, install, [clip], work, pause=1.0, already_wav=True)
            counts_after.append(len(wait_rows(install, 0, 0)[0]))
        last = subprocess.Popen(["paplay", "-d", os.environ.get("COLLOQUOR_SINK", "spk"), clips[-1]])
        time.sleep(min(2.0, wav_seconds(clips[-1]) * 0.6))
        if screenshot:
            take_screenshot(screenshot)
        last.wait()
        # The multilingual recognizer on the processor takes longer over a last sentence.
        wait_until_settled(install, quiet=15.0 if langs else 5.0)
        s.click(RECORD)
        rc = s.close_and_wait()
    finally:
        s.stop()
    files = install.session_files()
    newest = files[-1] if files else None
    rows = session_rows(newest) if newest else []
    if newest:
        # The Wine prefix goes away with the run; the session file is kept next to the screenshot.
        kept = os.path.join(os.path.dirname(screenshot) if screenshot else os.path.join(REPO, "dist"),
                            "demo-session.txt")
        os.makedirs(os.path.dirname(kept), exist_ok=True)
        shutil.copy(newest, kept)
        log("session file: %s (saved by Parlivo as history\\%s)" % (kept, os.path.basename(newest)))
        show_session(kept)
    else:
        log("session file: (none)")
    if codes:
        right = show_languages(codes, rows, rows_per_clip(counts_after, len(rows)))
        log("languages: %d of %d line(s) carry the language they were spoken in" % (right, len(rows)))
    log("facts: %d line(s) from %.1f s of speech; %d session(s) in the history; %.0f s from start to close"
        % (len(rows), seconds, len(files), time.time() - started))
    log("Parlivo exit code: %r" % rc)
    if screenshot:
        log("screenshot: %s" % screenshot)
    return 0 if rows and rc == 0 else 1


def dump_logs(work):
    """Shows the logs of the failed run: Parlivo's and the launcher's output."""
    for root, _dirs, files in os.walk(work):
        for name in sorted(files):
            if name.endswith(".log"):
                path = os.path.join(root, name)
                text = open(path, encoding="utf-8", errors="replace").read()[-3000:]
                log("--- %s\n%s" % (path, text))


def prepare_data_root(work, recognizer=None):
    """The worker's data root with tiny.en and the generated models, and recognizer ("base") when
    named."""
    root = os.path.join(work, "data-root")
    import prepare_root  # noqa: E402
    prepare_root.prepare(root)
    if recognizer:
        import lay_out_whisper  # noqa: E402
        lay_out_whisper.lay_out(root, recognizer)
    return root


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--scenario", default="all",
                    choices=["all", "session", "kill", "crash", "demo", "faults", "diskfull", "path"])
    ap.add_argument("--kills", type=int, default=1, help="kill: how many random moments")
    ap.add_argument("--text", default="")
    ap.add_argument("--wav", default="")
    ap.add_argument("--screenshot", default="")
    ap.add_argument("--translate", action="store_true",
                    help="demo: translate into Russian with the generated (random-weight) model")
    ap.add_argument("--langs", default="",
                    help="demo: two language codes (such as en,de) spoken in turn, with the "
                         "multilingual recognizer")
    args = ap.parse_args(argv[1:])
    langs = None
    if args.langs:
        try:
            langs = demo_languages(args.langs)
        except ValueError as e:
            print("e2e.py: %s" % e, file=sys.stderr)
            return 2
        if args.scenario != "demo" or args.text or args.wav:
            print("e2e.py: --langs is for the demo, which then speaks its own sentences "
                  "(no TEXT or WAV)", file=sys.stderr)
            return 2
    wineprefix = os.environ.get("WINEPREFIX")
    if not wineprefix:
        print("e2e.py runs inside scripts/with_wine.sh", file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="colloquor-e2e.")
    failed = 0
    passed = 0
    try:
        data_root = prepare_data_root(work, "base" if langs else None)
        if args.scenario == "demo":
            install = Install(wineprefix)
            install.lay_out(data_root)
            if langs:
                install.write_settings(*language_selections(*langs))
                return scenario_demo(install, work, "", "", args.screenshot, langs)
            install.write_settings(tgt=1 if args.translate else 0)
            text = args.text or ("Good morning, everyone. This program listens through the virtual "
                                 "microphone. Every finished line is saved at once. Older sessions "
                                 "are listed on the left. You can read every line while the meeting "
                                 "goes on.")
            return scenario_demo(install, work, text, args.wav, args.screenshot)
        scenarios = []
        if args.scenario in ("all", "session"):
            scenarios.append(("session", lambda: scenario_session(mk("Colloquor"), work)))
        if args.scenario in ("all", "kill"):
            scenarios.append(("kill", lambda: scenario_kill(mk("ColloquorKill"), work, args.kills)))
        if args.scenario == "faults":
            scenarios.append(("kill", lambda: scenario_kill(mk("ColloquorKill"), work, args.kills)))
        if args.scenario in ("faults", "diskfull"):
            scenarios.append(("diskfull", lambda: scenario_disk_full(mk("ColloquorFull"), work)))
        if args.scenario in ("faults", "path"):
            scenarios.append(("path", lambda: scenario_odd_path(mk(ODD_FOLDER), work)))
        if args.scenario in ("all", "crash"):
            scenarios.append(("crash", lambda: scenario_crash(mk("ColloquorCrash"), work)))

        def mk(name):
            inst = Install(wineprefix, name)
            inst.lay_out(data_root)
            inst.write_settings()
            return inst

        for name, run in scenarios:
            try:
                run()
                passed += 1
            except (Failure, subprocess.TimeoutExpired, OSError) as e:
                log("scenario %s failed: %s" % (name, e))
                dump_logs(work)
                failed += 1
    finally:
        if os.environ.get("COLLOQUOR_E2E_KEEP"):
            log("work folder kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    print("e2e: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
