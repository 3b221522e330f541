#!/usr/bin/env python3
"""Linux side of relay.exe: runs the real interpreter for a Windows program under Wine.

relay.exe connects to this launcher on a loopback port and sends its arguments (Windows paths
already turned into Linux paths), its working folder and the worker's variables. The launcher
starts `<python> <arguments>` with them and copies bytes both ways: the relay's standard input to
the worker, the worker's standard output and standard error back. When the relay's input ends the
worker's input is closed; when the connection drops while the worker runs (the relay was killed,
as when Parlivo closes its job object) the worker and everything it started are killed; when the
worker ends the relay gets its exit code and ends too.

Usage: launcher.py [--port N] [--port-file FILE] [--python EXE] [--max-sessions N] [--idle-exit S]
The chosen port is printed as "listening on PORT" and written to --port-file (see README.md).
SIGTERM or SIGINT stop the launcher and kill the workers it still runs.
"""

import argparse
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

ARGUMENT, WORKING_FOLDER, VARIABLE, GO = b"a", b"d", b"v", b"g"
INPUT, INPUT_CLOSED = b"i", b"c"
OUTPUT, ERROR_OUTPUT, EXIT = b"o", b"e", b"x"
HEADER = struct.Struct("<cI")
MAX_MESSAGE = 16 << 20

# The worker's variables: the relay sends those Parlivo set; the rest of the environment is ours.
FORWARDED = ("DICTATION_ROOT", "SPEAKER_MODEL", "TRANSLATION_MODEL", "DICTATE_MODEL")
# How long the worker's output may stay open after the worker itself has ended (a child of it may
# still hold the pipe).
OUTPUT_DRAIN_SECONDS = 2.0
# How long the relay may take to go after the exit message.
RELAY_CLOSE_SECONDS = 5.0


def encode(tag, body=b""):
    return HEADER.pack(tag, len(body)) + body


class Connection:
    """One relay connection: framed messages in, framed messages out (sends are serialised)."""

    def __init__(self, sock):
        self.sock = sock
        self.pending = b""
        self.send_lock = threading.Lock()

    def receive(self):
        """The next (tag, body), or None when the connection ended or broke."""
        while True:
            if len(self.pending) >= HEADER.size:
                tag, length = HEADER.unpack_from(self.pending)
                if length > MAX_MESSAGE:
                    return None
                if len(self.pending) >= HEADER.size + length:
                    body = self.pending[HEADER.size:HEADER.size + length]
                    self.pending = self.pending[HEADER.size + length:]
                    return tag, body
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                return None
            if not chunk:
                return None
            self.pending += chunk

    def send(self, tag, body=b""):
        try:
            with self.send_lock:
                self.sock.sendall(encode(tag, body))
            return True
        except OSError:
            return False


def read_start(conn):
    """Arguments, working folder and variables up to "go"; None when the relay went away first."""
    arguments, folder, variables = [], None, {}
    while True:
        message = conn.receive()
        if message is None:
            return None
        tag, body = message
        text = body.decode("utf-8", "replace")
        if tag == ARGUMENT:
            arguments.append(text)
        elif tag == WORKING_FOLDER:
            folder = text
        elif tag == VARIABLE and "=" in text:
            name, value = text.split("=", 1)
            variables[name] = value
        elif tag == GO:
            return arguments, folder, variables


def worker_environment(variables):
    env = {k: v for k, v in os.environ.items() if k not in FORWARDED}
    env.update({k: v for k, v in variables.items() if k in FORWARDED})
    return env


def pump(stream, conn, tag):
    fd = stream.fileno()
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk or not conn.send(tag, chunk):
            break
    stream.close()


# Workers still running, so that stopping the launcher does not leave them behind.
RUNNING = set()
RUNNING_LOCK = threading.Lock()


def stop_all_and_exit(signum, frame):
    with RUNNING_LOCK:
        for proc in list(RUNNING):
            kill_group(proc)
    os._exit(0)


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def feed_input(conn, proc, finished):
    """Relay input to the worker; a connection lost while the worker runs kills it."""
    while True:
        message = conn.receive()
        if message is None:
            if not finished.is_set():
                kill_group(proc)
            return
        tag, body = message
        if tag == INPUT and proc.stdin is not None:
            try:
                proc.stdin.write(body)
                proc.stdin.flush()
            except (BrokenPipeError, OSError, ValueError):
                pass
        elif tag == INPUT_CLOSED and proc.stdin is not None:
            try:
                proc.stdin.close()
            except OSError:
                pass


def exit_code(returncode):
    return returncode if returncode >= 0 else 128 - returncode


def serve_session(sock, python):
    conn = Connection(sock)
    try:
        start = read_start(conn)
        if start is None:
            return
        arguments, folder, variables = start
        cwd = folder if folder and os.path.isdir(folder) else None
        try:
            proc = subprocess.Popen([python] + arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, cwd=cwd, env=worker_environment(variables),
                                    start_new_session=True, bufsize=0)
        except OSError as error:
            conn.send(ERROR_OUTPUT, ("launcher: cannot start %s: %r\n" % (python, error)).encode())
            conn.send(EXIT, b"1")
            return
        with RUNNING_LOCK:
            RUNNING.add(proc)
        finished = threading.Event()
        pumps = [threading.Thread(target=pump, args=(proc.stdout, conn, OUTPUT), daemon=True),
                 threading.Thread(target=pump, args=(proc.stderr, conn, ERROR_OUTPUT), daemon=True)]
        for thread in pumps:
            thread.start()
        feeder = threading.Thread(target=feed_input, args=(conn, proc, finished), daemon=True)
        feeder.start()
        code = proc.wait()
        finished.set()
        with RUNNING_LOCK:
            RUNNING.discard(proc)
        for thread in pumps:
            thread.join(OUTPUT_DRAIN_SECONDS)
        conn.send(EXIT, str(exit_code(code)).encode())
        # The relay ends on the exit message, which closes the connection from its side.
        feeder.join(RELAY_CLOSE_SECONDS)
    finally:
        sock.close()


def write_port_file(path, port):
    temporary = path + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d\n" % port)
    os.replace(temporary, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: any free port)")
    parser.add_argument("--port-file", help="write the port into this file once listening")
    parser.add_argument("--python", default=sys.executable, help="interpreter to run (default: this one)")
    parser.add_argument("--max-sessions", type=int, default=0, help="stop after this many sessions (0: never)")
    parser.add_argument("--idle-exit", type=float, default=0, help="stop after this many seconds without a session")
    args = parser.parse_args(argv)

    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, stop_all_and_exit)
        signal.signal(signal.SIGINT, stop_all_and_exit)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", args.port))
    server.listen(8)
    port = server.getsockname()[1]
    if args.port_file:
        write_port_file(args.port_file, port)
    print("listening on %d" % port, flush=True)

    sessions = []
    served = 0
    idle_since = time.monotonic()
    server.settimeout(1.0 if args.idle_exit > 0 else None)
    while args.max_sessions == 0 or served < args.max_sessions:
        try:
            sock, _ = server.accept()
        except socket.timeout:
            if any(t.is_alive() for t in sessions):
                idle_since = time.monotonic()
            elif time.monotonic() - idle_since >= args.idle_exit:
                break
            continue
        sock.settimeout(None)
        served += 1
        thread = threading.Thread(target=serve_session, args=(sock, args.python), daemon=True)
        thread.start()
        sessions.append(thread)
    server.close()
    for thread in sessions:
        thread.join()
    return 0


if __name__ == "__main__":
    sys.exit(main())
