"""Runs the real varnick.exe under Wine for the functional tests.

One Wine prefix under build/ and one persistent wineserver serve the whole
test run. The registry's DataBasePath is set once to a REG_EXPAND_SZ that
names the environment variable VARNICK_HOSTS; each test gives that variable
its own directory, so every test has a fresh hosts file and working directory.
"""

import contextlib
import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("VARNICK_BUILD_DIR", ROOT / "build" / "windows"))
PREFIX = Path(os.environ.get("VARNICK_WINEPREFIX", ROOT / "build" / "wine"))
EXE = BUILD_DIR / "varnick.exe"
HOLD_FILE = BUILD_DIR / "hold_file.exe"
HOLD_MUTEX = BUILD_DIR / "hold_mutex.exe"
SEND_CTRL_C = BUILD_DIR / "send_ctrl_c.exe"

# One factor scales every time-out, for slow machines.
TIMEOUT_FACTOR = float(os.environ.get("VARNICK_TIMEOUT_FACTOR", "1"))

PARAMETERS_KEY = r"HKLM\System\CurrentControlSet\Services\Tcpip\Parameters"
HOSTS_VARIABLE = "VARNICK_HOSTS"

RECORD = re.compile(
    r"^(\d\d):(\d\d):(\d\d) (EMERG|ALERT|CRIT |ERROR|WARN |NOTE |INFO |DEBUG|INFO) (\S+) - (.*)$")


def timeout(seconds):
    return seconds * TIMEOUT_FACTOR


def wine_env(**extra):
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env.update(
        WINEPREFIX=str(PREFIX),
        WINEARCH="win64",
        WINEDEBUG="-all",
        # Skip the Mono and Gecko installers; nothing here needs them.
        WINEDLLOVERRIDES="mscoree,mshtml=",
        # UTF-8 arguments reach the program intact, and the OEM code page is 437.
        LANG="C.UTF-8",
        LC_ALL="C.UTF-8",
    )
    env.update(extra)
    return env


def win_path(path):
    """The Windows name of a Linux path, through Wine's Z: drive."""
    return "Z:" + str(Path(path)).replace("/", "\\")


def parse_records(text):
    """Splits log text into (level, category, message) tuples; every line must be a record."""
    records = []
    for line in text.splitlines():
        match = RECORD.match(line)
        assert match, f"not a log record: {line!r}"
        records.append((match.group(4).strip(), match.group(5), match.group(6)))
    return records


def run_captured(command, seconds, input=None, **popen):
    """Runs `command` to its end and returns its CompletedProcess, with the
    output collected in files rather than pipes. Wine's own background
    processes inherit the standard handles of the program that (re)starts
    them: a pipe would then stay open after the program has exited, and
    waiting for its end could hang."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
            stdout=out, stderr=err, **popen)
        try:
            if input is not None:
                process.stdin.write(input)
                process.stdin.close()
            returncode = process.wait(timeout=timeout(seconds))
        except BaseException:
            process.kill()
            process.wait()
            raise
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(command, returncode, out.read(), err.read())


CURSOR_FORWARD = re.compile(rb"\x1b\[(\d*)C")
TERMINAL_CONTROL = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


def terminal_text(raw):
    """What a console's output showed: Wine's console draws a blank it skips
    over as a cursor move, and brackets text with cursor escapes."""
    text = CURSOR_FORWARD.sub(lambda m: b" " * int(m.group(1) or 1), raw)
    return TERMINAL_CONTROL.sub(b"", text).replace(b"\r\r\n", b"\n").replace(b"\r\n", b"\n")


def run_on_console(command, seconds, on_end=None, **popen):
    """Runs `command` on a pseudo-terminal, where Wine gives a program a real
    console, and returns its CompletedProcess with the terminal's text as
    stdout. The run ends when the process does, not when the terminal
    closes: Wine's background processes may hold it open. `on_end` is then
    called, before what the command left in its process group is killed."""
    master, slave = pty.openpty()
    # Wide enough that the console wraps no line of ours.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 1000, 0, 0))
    output = bytearray()
    ended = threading.Event()

    def drain():
        # After the end, read on until the terminal has been quiet a moment.
        while True:
            if select.select([master], [], [], 0.3)[0]:
                try:
                    output.extend(os.read(master, 65536))
                    continue
                except OSError:  # EIO: no copy of the terminal is open now
                    time.sleep(0.05)
            if ended.is_set():
                return

    process = None
    reader = threading.Thread(target=drain)
    try:
        process = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave,
                                   start_new_session=True, **popen)
        os.close(slave)
        slave = None
        reader.start()
        returncode = process.wait(timeout=timeout(seconds))
        if on_end is not None:
            on_end()
    finally:
        if slave is not None:
            os.close(slave)
        if process is not None:
            ended.set()
            reader.join(timeout=timeout(10))
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            reader.join()
        os.close(master)
    return subprocess.CompletedProcess(command, returncode, terminal_text(bytes(output)), b"")


def processes_naming(text):
    """The ids of running processes whose command line contains `text`; under
    Wine that is the Windows command line, its arguments parted by blanks."""
    found = []
    for entry in Path("/proc").iterdir():
        with contextlib.suppress(OSError):
            if (entry.name.isdigit() and int(entry.name) != os.getpid()
                    and text.encode() in (entry / "cmdline").read_bytes().replace(b"\0", b" ")):
                found.append(int(entry.name))
    return found


def plant_link(path, victim, kind):
    """Puts a link to `victim` at `path`, as another program would to make an
    elevated one write where it did not mean to: "symlink", "hardlink", or
    "dangling" (a symbolic link to a file that is not there yet). Returns
    the victim's bytes as they stand, to compare afterwards."""
    victim = Path(victim)
    if kind == "dangling":
        os.symlink(victim, path)
        return None
    if not victim.exists():
        victim.write_bytes(b"victim: must stay as it is\r\n")
    os.symlink(victim, path) if kind == "symlink" else os.link(victim, path)
    return victim.read_bytes()


def run_wine(args, **kwargs):
    return run_captured(["wine", *map(str, args)], 120, env=wine_env(), **kwargs)


class Registry:
    """Reads and changes the Wine prefix's registry with reg.exe."""

    def add(self, value, kind, data, key=PARAMETERS_KEY):
        result = run_wine(["reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"])
        assert result.returncode == 0, result

    def delete_value(self, value, key=PARAMETERS_KEY):
        run_wine(["reg", "delete", key, "/v", value, "/f"])

    def delete_key(self, key=PARAMETERS_KEY):
        run_wine(["reg", "delete", key, "/f"])

    def export(self, path, key=PARAMETERS_KEY):
        result = run_wine(["reg", "export", key, win_path(path), "/y"])
        assert result.returncode == 0, result

    def import_file(self, path):
        result = run_wine(["reg", "import", win_path(path)])
        assert result.returncode == 0, result

    def point_at_hosts_variable(self):
        self.add("DataBasePath", "REG_EXPAND_SZ", f"%{HOSTS_VARIABLE}%")


class WineSession:
    """The prefix and the persistent wineserver of one test run."""

    def __init__(self):
        self.registry = Registry()

    def start(self):
        if not EXE.exists():
            raise RuntimeError(f"{EXE} is missing: build the 'windows' preset first")
        PREFIX.parent.mkdir(parents=True, exist_ok=True)
        quiet = dict(env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-k"], timeout=timeout(60), **quiet)
        if not (PREFIX / "system.reg").exists():
            subprocess.run(["wineboot", "-i"], timeout=timeout(300), check=True, **quiet)
        # The server that made the prefix, or the one just killed, lingers a
        # moment; a persistent server started meanwhile gives up at once
        # (exit status 2), and the run would be left to servers that come
        # and go with its programs, each inheriting the limits and handles
        # of whichever program started it.
        subprocess.run(["wineserver", "-w"], timeout=timeout(60), **quiet)
        # It goes to the background once it listens, so every program after
        # this line finds it.
        subprocess.run(["wineserver", "-p"], timeout=timeout(60), check=True, **quiet)
        # Wine's own background processes start with the first program of a
        # server and inherit its standard handles: start them here, on
        # /dev/null, so no test's output pipe is held open by them.
        subprocess.run(["wine", "wineboot"], timeout=timeout(300), check=True, **quiet)
        self.registry.point_at_hosts_variable()

    def stop(self):
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=wine_env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=timeout(60))


class Result:
    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr

    @property
    def text(self):
        """Standard output with the C runtime's text-mode line ends undone."""
        return self.stdout.decode("utf-8", "replace").replace("\r\r\n", "\r\n").replace("\r\n", "\n")

    def __repr__(self):
        return (f"Result(returncode={self.returncode}, stdout={self.stdout!r}, "
                f"stderr={self.stderr!r})")


class Varnick:
    """One test's varnick.exe: its own working directory and hosts directory."""

    DEFAULT_HOSTS = b"127.0.0.1 localhost\r\n"

    def __init__(self, base):
        self.work_dir = base / "work"
        self.hosts_dir = base / "etc"
        self.work_dir.mkdir()
        self.hosts_dir.mkdir()
        self.hosts_path = self.hosts_dir / "hosts"
        self.hosts_path.write_bytes(self.DEFAULT_HOSTS)
        self.log_path = self.work_dir / "varnick.log"
        self.hosts_variable = win_path(self.hosts_dir)

    @property
    def hosts(self):
        return self.hosts_path.read_bytes()

    def beside_hosts(self):
        """The names in the hosts file's folder, but for Varnick's lock files,
        which stay there once made."""
        return sorted(p.name for p in self.hosts_dir.iterdir() if not p.name.endswith("-lock"))

    def env(self, **extra):
        return wine_env(**{HOSTS_VARIABLE: self.hosts_variable, **extra})

    def command(self, *args):
        return ["wine", str(EXE), *map(str, args)]

    def start(self, *args, stdout=subprocess.DEVNULL):
        """Starts varnick.exe without waiting. Under Wine the process started
        is varnick.exe itself, so a kill lands on the program."""
        return subprocess.Popen(self.command(*args), cwd=self.work_dir, env=self.env(),
                                stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=subprocess.DEVNULL)

    def run(self, *args, timeout_seconds=60, **extra_env):
        return Result(run_captured(self.command(*args), timeout_seconds, cwd=self.work_dir,
                                   env=self.env(**extra_env)))

    def log_bytes(self):
        return self.log_path.read_bytes() if self.log_path.exists() else b""

    def records(self):
        """The log file's records as (level, category, message) tuples."""
        return parse_records(self.log_bytes().decode("utf-8"))

    @contextlib.contextmanager
    def holding(self, program, *args):
        """Runs a tests/helpers program that takes something and prints "held",
        and keeps it running until the block ends (its standard input closes)."""
        holder = subprocess.Popen(["wine", str(program), *map(str, args)], env=self.env(),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        try:
            line = holder.stdout.readline()
            assert line.strip() == b"held", f"{program.name} {args}: {line!r}"
            yield
        finally:
            holder.stdin.close()
            holder.wait(timeout=timeout(30))

    def hold(self, path, access="rw", share=0):
        """Keeps `path` open in another process with the given access and share mode."""
        return self.holding(HOLD_FILE, win_path(path), access, share)

    def hold_mutex(self, name, how):
        """Takes the named mutex `name` in another process (hold), or makes it
        with rules that let nobody else own it (deny)."""
        return self.holding(HOLD_MUTEX, name, how)


