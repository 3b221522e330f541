"""Shared fixtures: the real worker as a child process, a local HTTP server, generated models."""
import http.server
import os
import shutil
import socketserver
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
WORKER_DIR = os.path.dirname(HERE)
REPO_DIR = os.path.dirname(WORKER_DIR)
MODEL_TOOLS = os.path.join(REPO_DIR, "tools", "models")
for path in (WORKER_DIR, MODEL_TOOLS, HERE):
    if path not in sys.path:
        sys.path.insert(0, path)

# In-process tests must never reach the model hub or the release downloads: point both at a
# local port where nothing listens before the worker module or the hub client is imported.
os.environ["HF_ENDPOINT"] = "http://127.0.0.1:9"
os.environ["DICTATION_RELEASES_HOST"] = "http://127.0.0.1:9"

import hub_cache  # noqa: E402
import lay_out_whisper  # noqa: E402
import make_speaker_model  # noqa: E402
import make_translation_model  # noqa: E402
from speech import frame  # noqa: E402,F401  (the tests build their frames with it)
from worker_process import WorkerProcess  # noqa: E402

NLLB13_REPO = "OpenNMT/nllb-200-distilled-1.3B-ct2-int8"
NLLB33_REPO = "OpenNMT/nllb-200-3.3B-ct2-int8"
MADLAD_REPO = "Nextcloud-AI/madlad400-3b-mt-ct2-int8"


# ---------------------------------------------------------------------------------------------
# Local HTTP server
# ---------------------------------------------------------------------------------------------

class Route:
    """What the server answers for one path."""

    def __init__(self, body=b"", status=200, cut_after=None, delay=0.0, chunk=None,
                 pause=0.0, headers=None, length=True):
        self.body = body
        self.status = status
        self.cut_after = cut_after      # bytes sent before the connection is dropped
        self.delay = delay              # seconds before answering at all
        self.chunk = chunk              # send the body in pieces of this size...
        self.pause = pause              # ...with this pause between them
        self.headers = headers or {}
        self.length = length            # announce Content-Length


class LocalServer:
    def __init__(self):
        self.routes = {}
        self.requests = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _answer(self, with_body):
                path = self.path.split("?", 1)[0]
                server.requests.append((self.command, self.path))
                route = server.routes.get(path)
                if route is None:
                    route = server.fallback(self.command, self.path)
                if route is None:
                    self.send_response(404)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if route.delay:
                    time.sleep(route.delay)
                self.send_response(route.status)
                for key, value in route.headers.items():
                    self.send_header(key, value)
                if route.length:
                    self.send_header("Content-Length", str(len(route.body)))
                else:
                    self.send_header("Connection", "close")
                self.end_headers()
                if not with_body:
                    return
                body = route.body
                if route.cut_after is not None:
                    body = body[:route.cut_after]
                step = route.chunk or max(1, len(body))
                try:
                    for start in range(0, len(body), step):
                        self.wfile.write(body[start:start + step])
                        self.wfile.flush()
                        if route.pause:
                            time.sleep(route.pause)
                except OSError:             # the client went away: nothing more to do
                    self.close_connection = True
                    return
                if route.cut_after is not None or not route.length:
                    self.close_connection = True

            def do_GET(self):
                self._answer(True)

            def do_HEAD(self):
                self._answer(False)

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            block_on_close = False      # slow answers to a client that left must not hold us
            allow_reuse_address = True

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.url = "http://127.0.0.1:%d" % self.port
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def fallback(self, command, path):
        return None

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def http_server():
    server = LocalServer()
    yield server
    server.close()


class SilentServer:
    """A network that takes every connection and never answers: nothing is read or written
    until the connection is dropped, hold seconds after it came."""

    def __init__(self, hold=20.0):
        import socket

        self.hold = hold
        self.accepted = 0
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.url = "http://127.0.0.1:%d" % self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted += 1
            drop = threading.Timer(self.hold, conn.close)
            drop.daemon = True
            drop.start()

    def close(self):
        self.sock.close()


@pytest.fixture
def silent_server():
    server = SilentServer()
    yield server
    server.close()


# ---------------------------------------------------------------------------------------------
# The worker's state in-process
# ---------------------------------------------------------------------------------------------

class Lines(list):
    """A worker's line writer that keeps each line as a tuple; a line that does not fit the kind
    table fails the test."""

    def __call__(self, kind, *fields):
        import worker

        error = worker.line_error(kind, fields)
        assert error is None, error
        self.append((kind,) + fields)

    def kinds(self):
        return [f[0] for f in self]


@pytest.fixture
def lines():
    return Lines()


@pytest.fixture
def w(lines, tmp_path):
    """A worker's shared state as start-up makes it, over a data root that does not exist yet."""
    import worker

    return worker.Worker(lines, worker.data_paths(str(tmp_path / "root")))


# ---------------------------------------------------------------------------------------------
# Models
# ---------------------------------------------------------------------------------------------

@pytest.fixture(scope="session")
def model_store(tmp_path_factory):
    """Generated models built once per run; tests copy (hard-link) them into their own roots."""
    store = tmp_path_factory.mktemp("models")
    make_translation_model.build_model("nllb", str(store / "nllb"))
    make_translation_model.build_model("madlad", str(store / "madlad"))
    make_speaker_model.write_speaker_model(str(store / "speaker.onnx"))
    return store


def add_translation_model(root, repo_id, model_store, kind=None):
    kind = kind or make_translation_model.REPO_KINDS[repo_id]
    src = os.path.join(str(model_store), kind)
    files = {name: os.path.join(src, name) for name in os.listdir(src)}
    # Copies, not links: tests break these files on purpose.
    return hub_cache.add_snapshot(os.path.join(str(root), "hf"), repo_id, files, link=False)


def add_speaker_model(root, file_name, model_store):
    folder = os.path.join(str(root), "speaker")
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(os.path.join(str(model_store), "speaker.onnx"), os.path.join(folder, file_name))


@pytest.fixture
def data_root(tmp_path):
    """A data root holding the tiny.en recognizer, as the worker's cache would after a download."""
    root = tmp_path / "data"
    lay_out_whisper.lay_out(str(root))
    return root


# ---------------------------------------------------------------------------------------------
# The real worker over real pipes
# ---------------------------------------------------------------------------------------------

# A hub that does not answer gives up within the tests' patience.
IMPATIENT = {"HF_HUB_ETAG_TIMEOUT": "5", "HF_HUB_DOWNLOAD_TIMEOUT": "5"}
STALL_LAUNCHER = os.path.join(HERE, "worker_with_stall.py")
FIRST_SESSION_MARKS = [["P", "0", "0", "", ""], ["T", "0", "0", "", ""],
                       ["P", "1", "0", "", ""], ["T", "1", "0", "", ""]]


class WorkerUnderTest(WorkerProcess):
    """The worker as the process tests start it, its first session's marks checked."""

    def start_up(self, timeout=120.0):
        """The lines up to the ready status. The worker then marks its first session with an
        empty partial line on each channel: those are checked and taken here, other lines that
        come meanwhile are kept for the test."""
        lines = super().start_up(timeout)
        marks, others = [], []
        while len(marks) < 4:
            line = self.next_line(timeout=30)
            assert line is not None, "output ended before the first session's marks"
            (marks if line[0] in "PT" else others).append(line)
        assert marks == FIRST_SESSION_MARKS, marks
        self.hand_back(others)
        return lines


@pytest.fixture
def start_worker(http_server):
    started = []

    def start(root, extra_env=None, stall_seconds=5.0):
        # Nothing may leave the machine: the hub and the release downloads are the local server.
        w = WorkerUnderTest(root, script=STALL_LAUNCHER, args=[str(stall_seconds)],
                            hub=http_server.url, env=dict(IMPATIENT, **(extra_env or {})))
        started.append(w)
        return w

    yield start
    for w in started:
        w.kill()
