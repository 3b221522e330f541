"""A stand-in worker for the relay tests: reports how it was started, answers every frame of the
pipe protocol with one line, and tells how its input ended.

Lines (kind "S"): "pid N", "script PATH", "cwd PATH", "cwd-is-root yes|no", "root DICTATION_ROOT", "speaker ...",
"translation ...", "dictate ..." ("<unset>" for a missing variable), then "frame T LENGTH SUM"
per frame (SUM: the payload's byte sum modulo 65536), "quit" on "Q", "eof" when the input ends.
One line goes to standard error at start."""
import os
import struct
import sys


def say(text):
    sys.stdout.buffer.write(("S\t%s\n" % text).encode("utf-8"))
    sys.stdout.buffer.flush()


def read_exact(n):
    data = b""
    while len(data) < n:
        chunk = sys.stdin.buffer.read(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def main():
    sys.stderr.write("echo worker: started\n")
    sys.stderr.flush()
    say("pid %d" % os.getpid())
    say("script %s" % os.path.abspath(__file__))
    say("cwd %s" % os.getcwd())
    root = os.environ.get("DICTATION_ROOT", "")
    same = bool(root) and os.path.isdir(root) and os.path.samefile(root, os.getcwd())
    say("cwd-is-root %s" % ("yes" if same else "no"))
    for label, name in (("root", "DICTATION_ROOT"), ("speaker", "SPEAKER_MODEL"),
                        ("translation", "TRANSLATION_MODEL"), ("dictate", "DICTATE_MODEL")):
        say("%s %s" % (label, os.environ.get(name, "<unset>")))
    while True:
        header = read_exact(5)
        if header is None:
            break
        kind, length = struct.unpack("<cI", header)
        payload = read_exact(length) if length else b""
        if payload is None:
            break
        if kind == b"Q":
            say("quit")
            return 0
        say("frame %s %d %d" % (kind.decode("latin-1"), length, sum(payload) % 65536))
    say("eof")
    return 0


if __name__ == "__main__":
    sys.exit(main())
