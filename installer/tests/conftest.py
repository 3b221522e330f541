"""A local HTTP server that plays the model hub and the release download area, so that the model
script runs for real without reaching the internet."""
import hashlib
import http.server
import json
import re
import socketserver
import threading

import pytest

COMMIT = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678"


class LocalServer:
    """Answers from `files` (path -> bytes) and from the hub repositories in `repos`.

    A path listed in `cut` is answered with its full Content-Length but only half of its bytes
    before the connection is dropped.
    """

    def __init__(self):
        self.files = {}
        self.cut = set()
        self.repos = {}
        self.requests = []
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _send(self, status, body, headers, with_body, cut=False):
                self.send_response(status)
                for key, value in headers.items():
                    self.send_header(key, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                if with_body:
                    self.wfile.write(body[: len(body) // 2] if cut else body)
                if cut:
                    self.close_connection = True

            def _answer(self, with_body):
                path = self.path.split("?", 1)[0]
                owner.requests.append((self.command, path))
                if path in owner.files:
                    return self._send(200, owner.files[path], {}, with_body, cut=path in owner.cut)
                m = re.match(r"^/api/models/(.+?)/revision/([^/]+)$", path)
                if m and m.group(1) in owner.repos:
                    body = json.dumps({"id": m.group(1), "sha": COMMIT,
                                       "siblings": [{"rfilename": n} for n in owner.repos[m.group(1)]]})
                    return self._send(200, body.encode(), {"Content-Type": "application/json"}, with_body)
                m = re.match(r"^/api/models/(.+?)/tree/([^/]+)(/.*)?$", path)
                if m and m.group(1) in owner.repos:
                    body = json.dumps([{"type": "file", "oid": hashlib.sha1(data).hexdigest(), "size": len(data),
                                        "path": name} for name, data in owner.repos[m.group(1)].items()])
                    return self._send(200, body.encode(), {"Content-Type": "application/json"}, with_body)
                m = re.match(r"^/(.+?)/resolve/([^/]+)/(.+)$", path)
                if m and m.group(3) in owner.repos.get(m.group(1), {}):
                    data = owner.repos[m.group(1)][m.group(3)]
                    headers = {"X-Repo-Commit": COMMIT, "ETag": '"%s"' % hashlib.sha1(data).hexdigest(),
                               "Content-Type": "application/octet-stream"}
                    return self._send(200, data, headers, with_body)
                return self._send(404, b"", {}, with_body)

            def do_GET(self):
                self._answer(True)

            def do_HEAD(self):
                self._answer(False)

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            block_on_close = False

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def requested(self, fragment):
        return [p for _, p in self.requests if fragment in p]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def server():
    s = LocalServer()
    yield s
    s.close()
