"""The launcher against a relay played by the test: start message, both directions, end of input,
a lost connection, a worker that cannot start."""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import launcher  # noqa: E402

ECHO = os.path.join(HERE, "echo_worker.py")


def frame(kind, payload=b""):
    return kind + struct.pack("<I", len(payload)) + payload


class FakeRelay:
    """Speaks the relay's side of the wire over a real socket."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.conn = launcher.Connection(self.sock)
        self.out = b""
        self.err = b""
        self.code = None

    def start(self, arguments, folder, variables):
        for a in arguments:
            self.conn.send(launcher.ARGUMENT, a.encode())
        self.conn.send(launcher.WORKING_FOLDER, folder.encode())
        for k, v in variables.items():
            self.conn.send(launcher.VARIABLE, ("%s=%s" % (k, v)).encode())
        self.conn.send(launcher.GO)

    def write(self, data):
        self.conn.send(launcher.INPUT, data)

    def close_input(self):
        self.conn.send(launcher.INPUT_CLOSED)

    def read_until(self, text):
        """Collect messages until the worker's output holds `text` or the worker ended."""
        while text.encode() not in self.out and self.code is None:
            message = self.conn.receive()
            if message is None:
                break
            tag, body = message
            if tag == launcher.OUTPUT:
                self.out += body
            elif tag == launcher.ERROR_OUTPUT:
                self.err += body
            elif tag == launcher.EXIT:
                self.code = int(body)
        return self.out.decode()


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[1][0] != "Z"
    except OSError:
        return False


class LauncherTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.port_file = os.path.join(self.folder, "port")
        os.environ["SPEAKER_MODEL"] = "stale-from-linux"
        self.server = threading.Thread(target=launcher.main, args=(
            ["--port-file", self.port_file, "--max-sessions", "1", "--idle-exit", "30"],), daemon=True)
        self.server.start()
        for _ in range(200):
            if os.path.exists(self.port_file):
                break
            time.sleep(0.05)
        with open(self.port_file) as f:
            self.port = int(f.read())

    def tearDown(self):
        self.server.join(30)
        self.assertFalse(self.server.is_alive(), "launcher did not stop after its session")
        os.environ.pop("SPEAKER_MODEL", None)

    def test_start_frames_and_end_of_input(self):
        relay = FakeRelay(self.port)
        relay.start(["-u", ECHO], self.folder, {"DICTATION_ROOT": self.folder, "TRANSLATION_MODEL": "nllb13"})
        text = relay.read_until("dictate ")
        self.assertIn("S\tscript %s\n" % ECHO, text)
        self.assertIn("S\tcwd %s\n" % os.path.realpath(self.folder), text)
        self.assertIn("S\troot %s\n" % self.folder, text)
        # Variables the relay did not send are not taken from the launcher's own environment.
        self.assertIn("S\tspeaker <unset>\n", text)
        self.assertIn("S\ttranslation nllb13\n", text)
        audio = bytes([1]) + bytes(range(256)) * 12 + b"\x07\x08"
        relay.write(frame(b"A", audio)[:100])  # a frame split over two writes
        relay.write(frame(b"A", audio)[100:] + frame(b"L", b"en|ru|1|0|60"))
        text = relay.read_until("frame L")
        self.assertIn("S\tframe A %d %d\n" % (len(audio), sum(audio) % 65536), text)
        self.assertIn("S\tframe L 12 %d\n" % (sum(b"en|ru|1|0|60") % 65536), text)
        relay.close_input()
        text = relay.read_until("never")
        self.assertTrue(text.endswith("S\teof\n"))
        self.assertEqual(relay.code, 0)
        self.assertEqual(relay.err, b"echo worker: started\n")
        relay.sock.close()

    def test_quit_frame_ends_the_worker_with_its_code(self):
        relay = FakeRelay(self.port)
        relay.start(["-u", ECHO], self.folder, {})
        relay.write(frame(b"Q"))
        text = relay.read_until("never")
        self.assertTrue(text.endswith("S\tquit\n"))
        self.assertEqual(relay.code, 0)
        relay.sock.close()

    def test_lost_connection_kills_the_worker(self):
        relay = FakeRelay(self.port)
        relay.start(["-u", ECHO], self.folder, {})
        text = relay.read_until("dictate ")
        pid = int(text.split("S\tpid ")[1].split("\n")[0])
        self.assertTrue(alive(pid))
        relay.sock.close()  # the relay was killed: no "input closed" came first
        for _ in range(200):
            if not alive(pid):
                break
            time.sleep(0.05)
        self.assertFalse(alive(pid))

    def test_worker_that_cannot_start_reports_and_exits(self):
        relay = FakeRelay(self.port)
        relay.start(["-u", ECHO], "/no/such/folder", {})
        # A missing working folder falls back to the launcher's; the worker still starts.
        relay.read_until("dictate ")
        relay.write(frame(b"Q"))
        relay.read_until("never")
        self.assertEqual(relay.code, 0)
        relay.sock.close()


class LauncherCommandLineTest(unittest.TestCase):
    def test_missing_interpreter_is_reported_to_the_relay(self):
        folder = tempfile.mkdtemp()
        port_file = os.path.join(folder, "port")
        proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(HERE), "launcher.py"),
                                 "--port-file", port_file, "--max-sessions", "1",
                                 "--python", "/no/such/python"], stdout=subprocess.PIPE)
        try:
            self.assertTrue(proc.stdout.readline().startswith(b"listening on "))
            with open(port_file) as f:
                relay = FakeRelay(int(f.read()))
            relay.start(["-u", ECHO], folder, {})
            relay.read_until("never")
            self.assertEqual(relay.code, 1)
            self.assertIn(b"launcher: cannot start /no/such/python", relay.err)
            relay.sock.close()
            self.assertEqual(proc.wait(30), 0)
        finally:
            if proc.poll() is None:
                proc.kill()


    def test_stopping_the_launcher_kills_its_workers(self):
        folder = tempfile.mkdtemp()
        port_file = os.path.join(folder, "port")
        proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(HERE), "launcher.py"),
                                 "--port-file", port_file], stdout=subprocess.PIPE)
        try:
            self.assertTrue(proc.stdout.readline().startswith(b"listening on "))
            with open(port_file) as f:
                relay = FakeRelay(int(f.read()))
            relay.start(["-u", ECHO], folder, {})
            text = relay.read_until("dictate ")
            pid = int(text.split("S\tpid ")[1].split("\n")[0])
            self.assertTrue(alive(pid))
            proc.terminate()
            self.assertEqual(proc.wait(30), 0)
            for _ in range(200):
                if not alive(pid):
                    break
                time.sleep(0.05)
            self.assertFalse(alive(pid))
            relay.sock.close()
        finally:
            if proc.poll() is None:
                proc.kill()


if __name__ == "__main__":
    unittest.main()
