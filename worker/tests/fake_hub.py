"""Just enough of the model hub's HTTP interface for the hub client to download a repository.

Repositories are served from local folders; every file can be sent slowly, in pieces, so that
progress lines have time to appear.
"""
import hashlib
import json
import os
import re

from conftest import Route

COMMIT = "fedcba9876543210fedcba9876543210fedcba98"


class FakeHub:
    def __init__(self, server, chunk=None, pause=0.0, fail_repos=(), delay=0.0):
        self.server = server
        self.repos = {}
        self.chunk = chunk
        self.pause = pause
        self.fail_repos = set(fail_repos)
        self.delay = delay
        server.fallback = self.answer

    def add_repo(self, repo_id, folder):
        files = {}
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            files[name] = (data, hashlib.sha1(data).hexdigest())
        self.repos[repo_id] = files

    def _json(self, value):
        body = json.dumps(value).encode("utf-8")
        return Route(body, headers={"Content-Type": "application/json"}, delay=self.delay)

    def answer(self, command, path):
        path = path.split("?", 1)[0]
        m = re.match(r"^/api/models/(.+?)/revision/([^/]+)$", path)
        if m and m.group(1) in self.repos and m.group(1) not in self.fail_repos:
            files = self.repos[m.group(1)]
            return self._json({"id": m.group(1), "sha": COMMIT,
                               "siblings": [{"rfilename": n} for n in files]})
        m = re.match(r"^/api/models/(.+?)/tree/([^/]+)(/.*)?$", path)
        if m and m.group(1) in self.repos:
            files = self.repos[m.group(1)]
            return self._json([{"type": "file", "oid": oid, "size": len(data), "path": name}
                               for name, (data, oid) in files.items()])
        m = re.match(r"^/(.+?)/resolve/([^/]+)/(.+)$", path)
        if m and m.group(1) in self.repos and m.group(3) in self.repos[m.group(1)]:
            data, oid = self.repos[m.group(1)][m.group(3)]
            return Route(data, chunk=self.chunk, pause=self.pause,
                         headers={"X-Repo-Commit": COMMIT, "ETag": '"%s"' % oid,
                                  "Content-Type": "application/octet-stream"})
        if self.delay:
            return Route(b"", status=404, delay=self.delay)
        return None
