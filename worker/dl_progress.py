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

# A network that takes the connection and then never answers must not hold a model switch, and
# every later request of that family, for ever; a slow download that keeps moving is never cut.
# The limit is on silence, not on the whole download: it applies to every single wait for bytes.
# Read at each wait, so that tests can shorten it.
STALL_SECONDS = 30.0
BLOCK_SIZE = 64 * 1024
THROTTLE = 0.25
ETA_AFTER = 3.0


class DownloadStalled(IOError):
    """A download that received nothing for STALL_SECONDS."""


class _Silent(Exception):
    """A connection stayed silent for STALL_SECONDS. Deliberately not a network error of the HTTP
    libraries, which the hub client would answer with retries, minutes of them."""


def stalled_text(label):
    return "Download of %s stopped: no data for %g s." % (label, STALL_SECONDS)


def _went_silent(error):
    while error is not None:
        if isinstance(error, _Silent):
            return True
        error = error.__cause__ or error.__context__
    return False


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


_guard_lock = threading.Lock()
_guarded = False


def guard_hub_client():
    """Puts the stall limit on every call of the model hub client: metadata and files alike.

    The client's own timeouts do not do it: its repository and file-list calls carry none at
    all, and a file or metadata call that times out is tried again five times and more, with
    growing waits, before it gives up. Its calls go through one shared HTTP session, made by a
    factory the client lets us replace; ours imposes the limit on each wait for bytes and turns a
    silent connection into an error the client does not retry. Files stored in the hub's chunk
    store would come through a native downloader beyond that session's reach, so the plain file
    address is used for them (unless HF_HUB_DISABLE_XET is set by the user).
    """
    global _guarded
    with _guard_lock:
        if _guarded:
            return
        _guarded = True
    import huggingface_hub
    from huggingface_hub import constants

    try:
        from huggingface_hub.utils import _http
    except ImportError:
        return              # a client of another make: only its own timeouts apply
    http = getattr(_http, "httpx2", None) or getattr(_http, "httpx", None)
    if http is None or not hasattr(huggingface_hub, "set_client_factory"):
        return
    if "HF_HUB_DISABLE_XET" not in os.environ:
        constants.HF_HUB_DISABLE_XET = True
    hook = getattr(_http, "hf_request_event_hook", None)

    class GuardedStream(http.SyncByteStream):
        def __init__(self, inner):
            self.inner = inner

        def __iter__(self):
            try:
                yield from self.inner
            except http.TimeoutException as e:
                raise _Silent(str(e) or type(e).__name__) from e

        def close(self):
            self.inner.close()

    class GuardedClient(http.Client):
        def send(self, request, **kwargs):
            # Every phase (connecting, waiting for the answer, each read of the body) may last
            # the stall limit; whatever the caller asked for, including no limit at all.
            request.extensions = dict(request.extensions,
                                      timeout=http.Timeout(STALL_SECONDS).as_dict())
            try:
                response = super().send(request, **kwargs)
            except http.TimeoutException as e:
                raise _Silent(str(e) or type(e).__name__) from e
            response.stream = GuardedStream(response.stream)
            return response

    def make_client():
        return GuardedClient(event_hooks={"request": [hook]} if hook else None,
                             follow_redirects=True)

    huggingface_hub.set_client_factory(make_client)


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
    guard_hub_client()
    send("S", "Downloading %s (one time only)..." % label)
    bars = tqdm_class(label, send)
    try:
        folder = snapshot_download(repo_id, cache_dir=cache_dir, allow_patterns=allow_patterns,
                                   tqdm_class=bars)
    except BaseException as e:
        bars.progress.stopped = True
        if _went_silent(e):
            raise DownloadStalled(stalled_text(label)) from e
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
    """urlretrieve with the stall limit on every wait: same hook calls, same short-content
    error."""
    try:
        _retrieve_within_limit(url, path, hook)
    except urllib.error.URLError as e:
        if isinstance(e.reason, TimeoutError):
            raise _Silent(str(e.reason)) from e
        raise
    except TimeoutError as e:
        raise _Silent(str(e)) from e


def _retrieve_within_limit(url, path, hook):
    with urllib.request.urlopen(url, timeout=STALL_SECONDS) as response:
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

    try:
        _retrieve(url, part, hook)
    except _Silent as e:
        raise DownloadStalled(stalled_text(label)) from e
    progress.report(force=True)
    os.replace(part, dest)
    send("D", -1, "")
