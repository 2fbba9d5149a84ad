"""A scripted controller for server mode: it listens on 127.0.0.1, accepts
varnick.exe's connection, sends request bytes whole or in pieces, and reads
the reply bytes."""

import contextlib
import socket
import struct
import subprocess
import tempfile
import time

from wine_harness import timeout, win_path

OP_ADD = 1
OP_REMOVE = 2
OP_SHUTDOWN = 3


def frame(body):
    """A request: the body's length, big-endian, then the body."""
    return struct.pack(">I", len(body)) + body


def add_body(entry, extra=b""):
    return bytes([OP_ADD]) + struct.pack(">I", len(entry)) + entry + extra


def add(entry):
    return frame(add_body(entry))


SHUTDOWN = frame(bytes([OP_SHUTDOWN]))
OP_REPORT = 4
REPORT_KINDS = ["removed", "skipped", "recovered", "recovery-failed", "left-running",
                "none-to-recover", "search-failed", "took-out", "left", "take-out-failed",
                "journal-kept", "lock-removed", "lock-left", "lock-remove-failed"]


def parse_report(body):
    """A session's Varnick's report as (kind, line, started, reason, error) tuples."""
    assert body[:1] == bytes([OP_REPORT]), body
    items, at = [], 1
    while at < len(body):
        kind, error = body[at], struct.unpack_from(">I", body, at + 1)[0]
        at += 5
        texts = []
        for _ in range(3):
            size = struct.unpack_from(">I", body, at)[0]
            texts.append(body[at + 4:at + 4 + size])
            at += 4 + size
        items.append((REPORT_KINDS[kind - 1], *texts, error))
    return items


class Controller:
    """Listens on 127.0.0.1 at a free port and serves one varnick connection."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.conn = None

    def accept(self, seconds=60, process=None, what=lambda: ""):
        """Waits for varnick's connection; when `process` ends first, fails at
        once with its exit code and `what()` (its log) instead of waiting on."""
        deadline = time.monotonic() + timeout(seconds)
        self.listener.settimeout(0.5)
        while True:
            try:
                self.conn, _ = self.listener.accept()
                break
            except socket.timeout:
                ended = process.poll() if process is not None else None
                assert ended is None, f"varnick exited {ended} before connecting: {what()}"
                assert time.monotonic() < deadline, f"no connection from varnick: {what()}"
        self.conn.settimeout(timeout(30))
        self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return self.conn

    def accepts_nothing(self, seconds):
        """True when no connection arrives within `seconds`."""
        self.listener.settimeout(seconds)
        try:
            conn, _ = self.listener.accept()
        except socket.timeout:
            return True
        conn.close()
        return False

    def send(self, data, cuts=()):
        """Sends `data`, split at the given offsets, with a pause after each
        piece so that the pieces reach varnick in separate reads."""
        start = 0
        for cut in [*cuts, len(data)]:
            self.conn.sendall(data[start:cut])
            start = cut
            if cut != len(data):
                time.sleep(0.2)

    def reply(self, count=1):
        """Reads exactly `count` reply bytes."""
        got = b""
        while len(got) < count:
            piece = self.conn.recv(count - len(got))
            assert piece, f"connection ended after replies {got!r}"
            got += piece
        return got

    def report(self):
        """Reads one report frame of a session's Varnick."""
        size = struct.unpack(">I", self.reply(4))[0]
        return parse_report(self.reply(size))

    def request(self, data, cuts=()):
        self.send(data, cuts)
        return self.reply()[0]

    def rest(self):
        """Everything varnick sends until the connection ends. Bytes that
        varnick never read turn its closing into a reset; that ends it too."""
        got = b""
        try:
            while piece := self.conn.recv(4096):
                got += piece
        except ConnectionResetError:
            pass
        return got

    def close(self):
        if self.conn is not None:
            self.conn.close()
        self.listener.close()


class ServerRun:
    """varnick.exe in server mode against one Controller."""

    def __init__(self, varnick, controller, backup, stdout=None):
        """Standard output is collected in a file unless `stdout` says where
        else it goes (a file or DEVNULL). Never a pipe: Wine's background
        processes may inherit it and keep it open after varnick has exited."""
        self.varnick = varnick
        self.controller = controller
        self._output = tempfile.TemporaryFile() if stdout is None else None
        # Without a backup path: the session's mode, which names its own.
        args = ("server", controller.port, win_path(backup)) if backup else ("session", controller.port)
        self.process = subprocess.Popen(
            varnick.command(*args), cwd=varnick.work_dir,
            env=varnick.env(), stdin=subprocess.DEVNULL,
            stdout=self._output if stdout is None else stdout, stderr=subprocess.DEVNULL)
        self.stdout = b""

    def wait(self, seconds=60):
        """Waits for the process to end and returns its exit code."""
        returncode = self.process.wait(timeout=timeout(seconds))
        if self._output is not None:
            self._output.seek(0)
            self.stdout = self._output.read()
        return returncode

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(timeout=timeout(30))
        if self._output is not None:
            self._output.close()
            self._output = None


@contextlib.contextmanager
def server_session(varnick, backup, stdout=None):
    """Starts server mode, accepts its connection and yields (controller,
    run); a process still running at the end is killed. Without a backup,
    the session's mode: its recovery report is read into
    `controller.recovery`."""
    controller = Controller()
    run = ServerRun(varnick, controller, backup, stdout)
    try:
        controller.accept(process=run.process, what=varnick.log_bytes)
        if backup is None:
            controller.recovery = controller.report()
        yield controller, run
    finally:
        run.kill()
        controller.close()
