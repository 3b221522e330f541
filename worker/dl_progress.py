"""Model downloads with progress reported as protocol lines.

Everything here talks to the window only through the line writer `send` handed in by the caller:
"S" when a download begins, throttled "D" lines with percent, size and time left while it runs,
and a closing "D" -1. The model hub client is imported on first use, because the worker imports
this module before it has checked that its packages are installed.
"""
import glob
import os
import threading
import time
import urllib.error
import urllib.request

# Longest wait for the next bytes of a file download; a stalled server must not keep a model
# switch (and every later request of that family) waiting forever.
READ_TIMEOUT = 60.0
BLOCK_SIZE = 64 * 1024
THROTTLE = 0.25
ETA_AFTER = 3.0


def fmt_eta(seconds):
    s = int(max(0.0, seconds))
    if s < 60:
        return "%d s" % s
    if s < 3600:
        return "%d min %02d s" % (s // 60, s % 60)
    return "%d h %02d min" % (s // 3600, (s % 3600) // 60)


class Progress:
    """Byte counters of one download, possibly several files fetched in parallel."""

    def __init__(self, label, send, clock=time.time):
        self.label = label
        self.send = send
        self.clock = clock
        self.t0 = clock()
        self.parts = {}
        self.last_t = 0.0
        self.last_percent = None
        self.stopped = False
        self._lock = threading.Lock()

    def set(self, key, done, total):
        with self._lock:
            self.parts[key] = (done, total)
        self.report()

    def report(self, force=False):
        if self.stopped:
            return
        with self._lock:
            pairs = list(self.parts.values())
        done = sum(p[0] for p in pairs)
        total = sum(p[1] for p in pairs)
        if total <= 0:
            return
        percent = min(100, int(done * 100 // total))
        now = self.clock()
        if not force and now - self.last_t < THROTTLE and percent < 100:
            return
        self.last_t = now
        self.last_percent = percent
        eta = ""
        elapsed = now - self.t0
        if elapsed > ETA_AFTER and done > 0:
            eta = ", about %s left" % fmt_eta(elapsed * (total - done) / done)
        self.send("D", percent, "%s: %d%% (%.0f of %.0f MB%s)"
                  % (self.label, percent, done / 1e6, total / 1e6, eta))

    def finish(self):
        """Last word of a download: its 100 % if not yet sent, then silence for good."""
        if self.last_percent != 100:
            self.report(force=True)
        self.stopped = True


class _NullStream:
    def write(self, _text):
        return 0

    def flush(self):
        pass


def tqdm_class(label, send):
    """A progress-bar class for the hub client whose bars all feed one Progress."""
    from huggingface_hub.utils import tqdm as hub_tqdm

    progress = Progress(label, send)

    class Bar(hub_tqdm):
        # No monitor thread: these bars never draw.
        monitor_interval = 0

        def __init__(self, *args, **kwargs):
            name = kwargs.pop("name", None) or ""
            # Newer hub clients keep two byte bars over the same files: the network transfer and
            # the bytes written. Counting both would double every size shown.
            self._mirror = name.endswith(".transfer")
            kwargs["disable"] = False
            kwargs["file"] = _NullStream()
            # Skip the hub bar's own constructor: it would disable the bar again when the user
            # has switched the hub's progress bars off, and then no bytes would be counted.
            super(hub_tqdm, self).__init__(*args, **kwargs)
            self._track()

        def _track(self):
            if getattr(self, "_mirror", True) or getattr(self, "unit", None) != "B":
                return
            total = getattr(self, "total", None)
            if total:
                progress.set(id(self), self.n, total)

        def update(self, n=1):
            result = super().update(n)
            self._track()
            return result

        def display(self, *args, **kwargs):
            return True

        def close(self):
            if not getattr(self, "disable", True):
                self._track()
                progress.report(force=True)
            super().close()

    Bar.progress = progress
    return Bar


def missing_files(folder, needs):
    """The entries of needs (lists of alternative name patterns) without a file in folder."""
    missing = []
    for alternatives in needs or ():
        if not any(os.path.isfile(path) for pattern in alternatives
                   for path in glob.glob(os.path.join(glob.escape(folder), pattern))):
            missing.append(" or ".join(alternatives))
    return missing


def local_snapshot(repo_id, cache_dir, allow_patterns=None, needs=None):
    """The cached snapshot folder of a repository when it holds every needed file, else None.

    Never touches the network. Some hub clients hand out the snapshot of a download that was
    cut short as if it were complete, so the files are checked here.
    """
    from huggingface_hub import snapshot_download

    try:
        folder = snapshot_download(repo_id, cache_dir=cache_dir, allow_patterns=allow_patterns,
                                   local_files_only=True)
    except Exception:
        return None
    return None if missing_files(folder, needs) else folder


def fetch(repo_id, cache_dir, label, send, allow_patterns=None, needs=None):
    """Local folder of a hub repository; downloads it (with progress) only when not cached.

    needs: lists of alternative file name patterns that a usable snapshot holds (see
    missing_files); a snapshot without them is downloaded again, which completes it.
    """
    from huggingface_hub import snapshot_download

    folder = local_snapshot(repo_id, cache_dir, allow_patterns, needs)
    if folder:
        return folder
    send("S", "Downloading %s (one time only)..." % label)
    bars = tqdm_class(label, send)
    try:
        folder = snapshot_download(repo_id, cache_dir=cache_dir, allow_patterns=allow_patterns,
                                   tqdm_class=bars)
    except BaseException:
        bars.progress.stopped = True
        raise
    # The client leaves some bars to the garbage collector; their late closing must not show
    # the progress bar again after the closing line.
    bars.progress.finish()
    send("D", -1, "")
    missing = missing_files(folder, needs)
    if missing:
        raise IOError("the download of %s lacks %s" % (repo_id, ", ".join(missing)))
    return folder


def _retrieve(url, path, hook):
    """urlretrieve with a read timeout: same hook calls, same short-content error."""
    with urllib.request.urlopen(url, timeout=READ_TIMEOUT) as response:
        length = response.headers.get("Content-Length")
        total = int(length) if length and length.isdigit() else -1
        received = 0
        blocks = 0
        hook(blocks, BLOCK_SIZE, total)
        with open(path, "wb") as out:
            while True:
                chunk = response.read(BLOCK_SIZE)
                if not chunk:
                    break
                out.write(chunk)
                received += len(chunk)
                blocks += 1
                hook(blocks, BLOCK_SIZE, total)
    if total >= 0 and received < total:
        raise urllib.error.ContentTooShortError(
            "retrieval incomplete: got only %d out of %d bytes" % (received, total), None)


def download_file(url, dest, label, send):
    """Downloads url to dest through dest + ".part"; raises on failure, leaving the .part file."""
    progress = Progress(label, send)
    folder = os.path.dirname(dest)
    if folder:
        os.makedirs(folder, exist_ok=True)
    part = dest + ".part"

    def hook(blocks, block_size, total):
        if total > 0:
            progress.set("f", min(blocks * block_size, total), total)

    _retrieve(url, part, hook)
    progress.report(force=True)
    os.replace(part, dest)
    send("D", -1, "")
