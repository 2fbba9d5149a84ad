"""What the varnick-session modules share: how a session is run (in the
foreground, in the background, held with --json), where its Varnick runs and
logs, its exit codes, and waiting for what it does."""

import contextlib
import getpass
import json
import re
import socket
import subprocess
import time

import pytest

from wine_harness import (BUILD_DIR, PREFIX, Varnick, processes_naming, run_captured,
                          run_on_console, timeout, win_path)


SESSION_EXE = BUILD_DIR / "varnick-session.exe"


# The build folder is the Unix user's under Wine, which shows it as
# changeable by that user: every session here accepts that.
TRUST = "--trust-varnick-folder"


SESSION = ["wine", str(SESSION_EXE), TRUST]


# Where a session runs Varnick: %LOCALAPPDATA%\Varnick. Wine sets
# LOCALAPPDATA from the prefix's profile, whatever the environment says.
VARNICK_FOLDER = PREFIX / "drive_c" / "users" / getpass.getuser() / "AppData" / "Local" / "Varnick"


LOG_SHOWN = rf"C:\users\{getpass.getuser()}\AppData\Local\Varnick\varnick.log".encode()


USAGE_ERROR = 120


NO_VARNICK = 121


NO_CONNECTION = 122


ENTRY_REFUSED = 123


VARNICK_FAILED = 124


CONNECTION_LOST = 125


INTERRUPTED = 130


# What a Varnick server logs while another one holds the serving lock.
WAITS_FOR_SERVER = ("INFO", "Server", "Waiting for another Varnick server to end, for up to 60 s")


class SessionVarnick(Varnick):
    """varnick.exe as sessions start it, in the folder that every session of
    the test run shares: its log is what this test's sessions added to it."""

    def __init__(self, base):
        super().__init__(base)
        self.log_path = VARNICK_FOLDER / "varnick.log"
        self._log_start = self.log_path.stat().st_size if self.log_path.exists() else 0

    def log_bytes(self):
        return super().log_bytes()[self._log_start:]


@pytest.fixture
def varnick(wine, tmp_path):
    return SessionVarnick(tmp_path)


def without_trust_notice(stderr):
    """What a session says, less its note that it trusts the build folder."""
    return re.sub(rb"varnick-session: trusting [^\n]*\n", b"", stderr, count=1)


def session(varnick, *args, exe=SESSION_EXE, stdin=b"", seconds=90, env=None, trust=True):
    result = run_captured(["wine", str(exe), *[TRUST][:trust], *map(str, args)], seconds,
                          input=stdin, cwd=varnick.work_dir, env=varnick.env(**(env or {})))
    result.stderr = without_trust_notice(result.stderr)
    return result


@contextlib.contextmanager
def session_started(varnick, tmp_path, *args):
    """The session running in the background, its output going to files; it
    is killed if still running when the block ends. Yields the process and
    a function that reads its standard error so far."""
    err_path = tmp_path / "session.err"
    with open(err_path, "wb") as err:
        process = subprocess.Popen([*SESSION, *map(str, args)],
                                   cwd=varnick.work_dir, env=varnick.env(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    try:
        yield process, err_path.read_bytes
    finally:
        if process.poll() is None:
            process.kill()


def session_on_console(varnick, *args, seconds=90, on_end=None):
    """The session on a console of its own, where a Ctrl+C reaches it."""
    return run_on_console([*SESSION, *map(str, args)], seconds, on_end,
                          cwd=varnick.work_dir, env=varnick.env())


def type_hosts(varnick):
    """A command that prints the hosts file as it stands while it runs."""
    return ["--", "cmd", "/c", "type", win_path(varnick.hosts_path)]


def notes(result):
    """The session's messages, without their "varnick-session: "."""
    return [line.removeprefix("varnick-session: ")
            for line in without_trust_notice(result.stderr).decode().splitlines()]


def wait_until(condition, seconds=30):
    deadline = time.monotonic() + timeout(seconds)
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.05)


@pytest.fixture
def unused_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def session_varnick(port):
    """The ids of the Varnick that a session on `port` started: its command
    line is `varnick.exe session <port>`."""
    pids = processes_naming(f"session {port}")
    assert pids, "varnick.exe is not running"
    return pids


@contextlib.contextmanager
def held_session(varnick, tmp_path, *args):
    """A session without a command, with --json, once its entries are in:
    yields a function that ends it (closing its input) and returns its exit
    code and events."""
    out = tmp_path / f"events-{time.monotonic_ns()}.out"
    with open(out, "wb") as events:
        process = subprocess.Popen([*SESSION, "--json", *map(str, args)],
                                   cwd=varnick.work_dir, env=varnick.env(), stdin=subprocess.PIPE,
                                   stdout=events, stderr=subprocess.DEVNULL)

    def read():
        return [json.loads(line) for line in out.read_bytes().splitlines()]

    def end():
        process.stdin.close()
        return process.wait(timeout=timeout(60)), read()
    try:
        wait_until(lambda: any(e["event"] in ("ready", "ended") for e in read()))
        yield end
    finally:
        if process.poll() is None:
            process.kill()


class HeldSession:
    """A session that holds its entry until Enter."""

    def __init__(self, varnick, entry):
        self.entry = entry
        self.line = entry + b"\r\n"
        self.varnick = varnick
        self.process = subprocess.Popen([*SESSION, "--add", entry.decode()],
                                        cwd=varnick.work_dir, env=varnick.env(),
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def serving(self):
        pass  # its Varnick connects and adds on its own

    def waits(self):
        return WAITS_FOR_SERVER in self.varnick.records()

    def end(self):
        self.process.stdin.write(b"\n")
        self.process.stdin.close()
        return self.process.wait(timeout=timeout(60))

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
