#!/usr/bin/env python3
"""Benchmarks of varnick.exe against baseline programs, under one Wine.

Builds the `windows` preset into build/bench-windows (varnick.exe and the
baselines in bench/), starts one Wine prefix (build/bench-wine) with one
persistent wineserver, and runs, each side by side with its baseline and
alternating with it so that drift in the machine's load hits both:

- add: the whole-process time of `varnick add <entry>` against
  bench_empty_main.exe, an empty wmain. Goal: at most 1.15 times. For scale
  also against bench_winsock_main.exe, which only loads WSOCK32 and starts
  Winsock, as varnick.exe must.
- session: `varnick-session --add <entry> -- cmd /c exit 0` against `cmd /c
  exit 0` alone. Goal: at most 3.5 times. The command alone is started as
  the session starts it, cmd.exe by its full path: `wine cmd` would start
  Wine's launcher first, one more process than the session's command. For
  scale also the same session around bench_varnick_standin.exe, a Varnick
  that only answers (the session tool's own cost and its process starts),
  and around bench_empty_main.exe, a command that costs no more than a
  process start.
- session-file: the same session on a generated 50 MB hosts file against
  bench_rebuild_baseline.exe, the file work that taking the session's line
  out cannot do without: one read of the hosts file into a new file beside
  it, flushed to the disk with FlushFileBuffers and renamed over the hosts
  file. For scale also the share of each that the file makes: the session
  on 50 MB less the session on one line, against the baseline less an
  empty program.
- del: `varnick del <entry>` on a generated 50 MB hosts file against
  `bench_copy_twice.exe --flush`, which copies the same file twice with
  CopyFileW, once into TEMP and once beside the hosts file, and flushes the
  second copy to the disk with FlushFileBuffers, as `del` flushes the file
  that replaces the hosts file. Goal: at most 1.3 times, flush included.
  For scale also against the two copies without the flush; the difference
  of the two baselines is the flush's own cost. Peak memory is taken on a
  1 MB and on the 50 MB file, and must not grow with the file.
- restore: the end of a server session on a 50 MB hosts file, from the
  controller's shutdown request to the process's exit, against
  bench_restore_baseline.exe, which does the session's file work with plain
  CopyFileW (the hosts file to the backup before it connects, one copy of
  the backup back over the hosts file after the shutdown) and is timed the
  same way. Both sides reply to the shutdown and end their process within
  that time; the rest of it is the restore. Goal: at most 1.3 times one
  CopyFileW. For scale also against the baseline with --flush, one copy
  flushed to the disk, and on a hosts file of one line, where there is
  nothing to copy and the time is the reply and the process's end. Then
  the end of a `varnick session` that added one line, timed the same way,
  which takes that line out of the 50 MB file, against
  `bench_rebuild_baseline.exe --port`, which answers the same requests and
  then does the rebuild's unavoidable file work (as in session-file).
- server: 10,000 add requests, each sent in one write with TCP_NODELAY and
  answered before the next, against bench_server_baseline.exe, the same
  socket loop and open-append-close of the hosts file without logging.
  Goal: at least 0.8 times its requests per second.

del, restore and session-file run twice: with the hosts file, the
baselines' copies and TEMP (where del makes its copy; the prefix's TEMP
points there meanwhile) in a directory on a disk (build/bench-disk, or
--disk-dir; it must not be memory), and in memory (/dev/shm). A flush costs
a real write to the disk in the first and next to nothing in the second.

Whole-process times under Wine come in steps of about 16 ms, so del,
restore and session-file are means over many runs (--file-runs), and their
ratios are ratios of means; the table gives each mean with its standard
error. add, session and server mode are medians, as before. Before each
timed run of those three the bench writes and removes a scratch file of
twice the large hosts file's size beside it: this machine hands memory that
stays free for about 2 s back to its host, and writing into it again then
costs about 2.5 ms per MB, which would land on whichever run writes first.
Then, before every timed run, it writes back every file's dirty blocks
(sync) and waits 0.2 s, since the system goes on freeing the previous run's
memory and files for a while: every run starts from a hosts file, and a
backup, that are already on the disk, as they are in use. Peak memory is
the peak resident set size of the Linux process that
runs the program under Wine, Wine's own loader and DLLs included, as GNU
time reports it (ru_maxrss), in runs of their own.

Standard output of every program is a pipe to a process that discards it,
as when varnick-session, a controller or a shell pipeline reads it; the
bench waits for the programs, never for that pipe's end, which a background
process of Wine's may hold open. The add
and server figures are also taken with standard output on /dev/null itself,
which Wine hands to the program as a character device: every write to it
costs a round trip to the wineserver, and the C runtime writes an unbuffered
character device one character per call (varnick.exe gives its standard
output a buffer, so that each message or record is one write).

Prints a table, writes the figures to build/bench/results.json and a chart
of the 50 MB means, disk and memory, to build/bench/file_work.png.

    /usr/bin/python3 bench/run.py [--runs N] [--file-runs N] [--memory-runs N]
                                  [--server-runs N] [--requests N] [--disk-dir DIR]
                                  [--only add|session|service|session-file|del|restore|server]
                                  [--no-build]

VARNICK_BUILD_DIR and VARNICK_WINEPREFIX name another build or prefix.
"""

import argparse
import contextlib
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
os.environ.setdefault("VARNICK_BUILD_DIR", str(ROOT / "build" / "bench-windows"))
os.environ.setdefault("VARNICK_WINEPREFIX", str(ROOT / "build" / "bench-wine"))
sys.path.insert(0, str(ROOT / "tests" / "functional"))

from controller import SHUTDOWN, Controller, add  # noqa: E402
from wine_harness import BUILD_DIR, Varnick, WineSession, run_wine, win_path  # noqa: E402

OUT_DIR = ROOT / "build" / "bench"
DISK_DIR = ROOT / "build" / "bench-disk"
TARGETS = ["varnick", "varnick-session", "bench_empty_main", "bench_winsock_main",
           "bench_copy_twice", "bench_server_baseline", "bench_restore_baseline",
           "bench_rebuild_baseline", "bench_varnick_standin", "bench_pipe_client",
           "bench_pipe_baseline", "pipe_storm"]
SESSION = BUILD_DIR / "varnick-session.exe"
EMPTY_MAIN = BUILD_DIR / "bench_empty_main.exe"
WINSOCK_MAIN = BUILD_DIR / "bench_winsock_main.exe"
COPY_TWICE = BUILD_DIR / "bench_copy_twice.exe"
SERVER_BASELINE = BUILD_DIR / "bench_server_baseline.exe"
RESTORE_BASELINE = BUILD_DIR / "bench_restore_baseline.exe"
REBUILD_BASELINE = BUILD_DIR / "bench_rebuild_baseline.exe"
VARNICK_STANDIN = BUILD_DIR / "bench_varnick_standin.exe"
PIPE_CLIENT = BUILD_DIR / "bench_pipe_client.exe"
PIPE_BASELINE = BUILD_DIR / "bench_pipe_baseline.exe"
PIPE_REQUESTS = 2000
PIPE_STORM = BUILD_DIR / "pipe_storm.exe"
CROWD = 1000
CROWD_MEMORY_LIMIT_MB = 50
CROWD_ANSWER_LIMIT_MS = 50
# cmd.exe by the name that the session finds along PATH and starts.
CMD_EXE = r"C:\windows\system32\cmd.exe"
EMPTY_COMMAND = ["cmd", "/c", "exit", "0"]

KB = 1024
MB = 1024 * 1024
FILE_SIZE = 50 * MB
SMALL_SIZE = 1 * MB  # the other size of the peak memory comparison
DEL_ENTRY = "0.0.0.0 ads00042.example.com"
ADD_ENTRY = "127.0.0.1 bench.example.test"

ADD_GOAL = 1.15
SESSION_GOAL = 3.5
SERVICE_GOAL = 2.0
DEL_GOAL = 1.3
RESTORE_GOAL = 1.3
SERVER_GOAL = 0.8
# Peak memory may grow this much from the 1 MB file to the 50 MB one and
# still count as flat (the 50 MB file held whole would add 50 MB).
FLAT_MEMORY_KB = 1024
SETTLE_SECONDS = 0.2
# The scratch file written and removed before a timed run of a large file,
# in this many times the file's size, and the size of each of its writes.
SCRATCH_FACTOR = 2
SCRATCH_CHUNK = 1 * MB
# File systems that keep their files in memory: the disk directory must not be one.
MEMORY_FILE_SYSTEMS = {"tmpfs", "ramfs"}


def build():
    if not (BUILD_DIR / "build.ninja").exists():
        subprocess.run(["cmake", "--preset", "windows", "-B", str(BUILD_DIR)], cwd=ROOT,
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD_DIR), "--target", *TARGETS], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)


class Output:
    """Where the programs' standard output goes: a pipe that a `cat` process
    drains into /dev/null, or /dev/null itself."""

    def __init__(self, kind):
        self.kind = kind
        self._drain = None
        if kind == "pipe":
            self._drain = subprocess.Popen(["cat"], stdin=subprocess.PIPE,
                                           stdout=subprocess.DEVNULL)

    @property
    def stream(self):
        return self._drain.stdin if self._drain else subprocess.DEVNULL

    def close(self):
        """Ends the drain. A background process of Wine's that inherited the
        pipe would keep it from ever seeing the pipe's end: it is given a
        moment, then ended."""
        if self._drain:
            self._drain.stdin.close()
            try:
                self._drain.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._drain.kill()
                self._drain.wait()


class Scratch:
    """A scratch file of SCRATCH_FACTOR times `size` in `directory`, written
    and removed before each timed run of a large file. This machine hands
    memory that stays free for about 2 s back to its host, and writing into
    it again costs about 2.5 ms per MB: the scratch file takes that memory
    back, and frees it for the run that follows at once."""

    def __init__(self, directory, size):
        self.path = Path(directory) / "bench-scratch"
        self.size = size * SCRATCH_FACTOR

    def write_and_remove(self):
        chunk = bytes(SCRATCH_CHUNK)
        with open(self.path, "wb") as scratch:
            for _ in range(self.size // SCRATCH_CHUNK):
                scratch.write(chunk)
        self.path.unlink()


def settle(scratch=None):
    """Writes and removes the scratch file, when there is one, then writes
    every dirty block back and waits a moment. A run must not pay for the
    write-back of files that the bench or an earlier run left (a flush waits
    behind it on the same disk), and the system goes on freeing the memory
    and files of the previous run for a while (tens of ms after a large file
    here)."""
    if scratch is not None:
        scratch.write_and_remove()
    os.sync()
    time.sleep(SETTLE_SECONDS)


def measured(command, output, scratch=None, **kwargs):
    """Runs `command` to its end after settle() and returns the seconds it took."""
    settle(scratch)
    start = time.perf_counter()
    returncode = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output.stream,
                                stderr=subprocess.DEVNULL, **kwargs).returncode
    elapsed = time.perf_counter() - start
    if returncode != 0:
        log = Path(kwargs.get("cwd", ".")) / "varnick.log"
        tail = log.read_text(errors="replace")[-800:] if log.exists() else ""
        raise RuntimeError(f"{command} ended with {returncode}\n{tail}")
    return elapsed


def peak_memory_kb(command, **kwargs):
    """Runs `command` to its end under GNU time and returns its peak resident
    set size in KB. GNU time is a small process of its own: a child forked
    from this Python process would start with Python's resident set, which
    holds the generated hosts files, already counted."""
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name, *command],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, **kwargs)
        return int(report.read().split()[-1])


def mean_and_error(samples):
    """The mean and its standard error."""
    mean = statistics.fmean(samples)
    error = statistics.stdev(samples) / math.sqrt(len(samples)) if len(samples) > 1 else 0.0
    return mean, error


def figure(name, unit, varnick, baseline, goal, higher_is_better=False, **extra):
    ratio = varnick / baseline
    met = None if goal is None else (ratio >= goal if higher_is_better else ratio <= goal)
    return dict(name=name, unit=unit, statistic="median", varnick=varnick, baseline=baseline,
                ratio=ratio, goal=goal, goal_kind="at least" if higher_is_better else "at most",
                met=met, **extra)


def mean_figure(name, varnick_s, baseline_s, goal):
    """A figure of two sets of times in seconds: their means in ms and the
    ratio of the means, each with its standard error."""
    varnick, varnick_error = (x * 1000 for x in mean_and_error(varnick_s))
    baseline, baseline_error = (x * 1000 for x in mean_and_error(baseline_s))
    result = figure(name, "ms", varnick, baseline, goal,
                    samples=dict(varnick=varnick_s, baseline=baseline_s))
    result.update(statistic="mean", varnick_error=varnick_error, baseline_error=baseline_error,
                  ratio_error=result["ratio"] * math.hypot(varnick_error / varnick,
                                                           baseline_error / baseline))
    return result


def bar(label, seconds):
    mean, error = mean_and_error(seconds)
    return dict(label=label, mean_ms=mean * 1000, error_ms=error * 1000)


def size_label(size):
    return f"{size // MB} MB" if size >= MB else f"{size // KB} KB"


def hosts_content(size):
    lines, total, i = [], 0, 0
    while total < size:
        line = b"0.0.0.0 ads%05d.example.com\r\n" % (i % 100000)
        lines.append(line)
        total += len(line)
        i += 1
    return b"".join(lines)


def rewrite(path, content):
    """Gives `path` the content in a file of its own, so that no run finds
    the blocks of an earlier run's file under it."""
    path.unlink(missing_ok=True)
    path.write_bytes(content)


def in_turn(run, steps):
    """The steps in an order that moves on by one every run, so a trend in
    the machine's load favours none of them."""
    shift = run % len(steps)
    return steps[shift:] + steps[:shift]


# --- where the files are -----------------------------------------------------

def file_system_type(path):
    return subprocess.run(["stat", "-f", "-c", "%T", str(path)], capture_output=True, text=True,
                          check=True).stdout.strip()


class Place:
    """A directory that holds a hosts file, varnick's working directory and
    the TEMP directory where `del` makes its copy: on a disk or in memory.
    Its scratch file, written before each timed run of a large file, lies
    there too."""

    def __init__(self, name, base):
        self.name = name
        self.file_system = file_system_type(base)
        self.varnick = Varnick(base)
        self.temp_dir = base / "temp"
        self.temp_dir.mkdir()
        self.scratch = Scratch(base, FILE_SIZE)


def memory_root():
    """/dev/shm, when there is one."""
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK) and \
            file_system_type(shm) in MEMORY_FILE_SYSTEMS:
        return shm
    return None


ENVIRONMENT_KEY = r"HKCU\Environment"
TEMP_VARIABLES = ("TEMP", "TMP")


@contextlib.contextmanager
def temp_directory_at(path, registry):
    """Points the prefix's TEMP and TMP at `path`, where `del` makes its
    copy, and puts back what they were."""
    saved = {}
    listing = run_wine(["reg", "query", ENVIRONMENT_KEY]).stdout.decode(errors="replace")
    for line in listing.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0].upper() in TEMP_VARIABLES:
            saved[parts[0].upper()] = (parts[1], parts[2].strip())
    for name in TEMP_VARIABLES:
        registry.add(name, "REG_SZ", win_path(path), key=ENVIRONMENT_KEY)
    try:
        yield path
    finally:
        for name in TEMP_VARIABLES:
            if name in saved:
                registry.add(name, *saved[name], key=ENVIRONMENT_KEY)
            else:
                registry.delete_value(name, key=ENVIRONMENT_KEY)


# --- add ---------------------------------------------------------------------

def bench_add(varnick, output, runs):
    """The add figure against the empty program, and for scale the same runs
    against a program that only starts Winsock."""
    add_times, empty_times, winsock_times = [], [], []
    for _ in range(runs):
        empty_times.append(measured(["wine", str(EMPTY_MAIN)], output, env=varnick.env()))
        varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS)
        add_times.append(measured(varnick.command("add", ADD_ENTRY), output, cwd=varnick.work_dir,
                                  env=varnick.env()))
        winsock_times.append(measured(["wine", str(WINSOCK_MAIN)], output, env=varnick.env()))
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n" + ADD_ENTRY.encode()
    add_ms = statistics.median(add_times) * 1000
    return [figure(f"add, stdout {output.kind}", "ms", add_ms,
                   statistics.median(empty_times) * 1000, ADD_GOAL,
                   samples=dict(varnick=add_times, baseline=empty_times)),
            figure("  vs Winsock only", "ms", add_ms, statistics.median(winsock_times) * 1000,
                   None, samples=dict(varnick=add_times, baseline=winsock_times))]


# --- session -----------------------------------------------------------------

def session_command(*command, varnick=None):
    """varnick-session adding the bench's entry around `command`, with the
    Varnick beside it or the one given."""
    chosen = ["--varnick", win_path(varnick)] if varnick else []
    # Under Wine the build folder shows as its Unix user's to change.
    return ["wine", str(SESSION), "--trust-varnick-folder", *chosen, "--add", ADD_ENTRY, "--",
            *command]


def timed_in_turn(varnick, kinds, output, runs):
    """Each kind's whole-process times, the kinds run in turn each run, on
    the bench's hosts file, which they must leave as it was."""
    times = {kind: [] for kind in kinds}
    varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS)
    for run in range(runs):
        for kind in in_turn(run, list(kinds)):
            command, extra = kinds[kind]
            times[kind].append(measured(command, output, env=varnick.env(), **extra))
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    return times


def bench_session(varnick, output, runs):
    """varnick-session adding one entry around an empty command, `cmd /c exit
    0`, against that command alone: the session's own cost on top of a
    command, which includes starting two more processes (the session and
    Varnick). The command alone is started by cmd.exe's full path, as the
    session starts it: `wine cmd` goes through Wine's launcher, a process
    more. For scale the same session with a Varnick that only answers, and
    the session around the empty program, a command that costs no more than
    a process start, against that program alone. All in turn, each run."""
    kinds = dict(
        session=(session_command(*EMPTY_COMMAND), dict(cwd=varnick.work_dir)),
        command=(["wine", CMD_EXE, *EMPTY_COMMAND[1:]], {}),
        standin=(session_command(*EMPTY_COMMAND, varnick=VARNICK_STANDIN),
                 dict(cwd=varnick.work_dir)),
        empty_session=(session_command(win_path(EMPTY_MAIN)), dict(cwd=varnick.work_dir)),
        empty=(["wine", str(EMPTY_MAIN)], {}))
    times = timed_in_turn(varnick, kinds, output, runs)

    def median_ms(kind):
        return statistics.median(times[kind]) * 1000

    def ranges(*names):
        return {name: [min(times[name]) * 1000, max(times[name]) * 1000] for name in names}

    return [figure("session + cmd /c exit 0", "ms", median_ms("session"), median_ms("command"),
                   SESSION_GOAL, samples=dict(varnick=times["session"], baseline=times["command"]),
                   ranges_ms=ranges("session", "command")),
            figure("  stand-in Varnick", "ms", median_ms("standin"), median_ms("command"), None,
                   samples=dict(varnick=times["standin"], baseline=times["command"]),
                   ranges_ms=ranges("standin", "command")),
            figure("  session + empty program", "ms", median_ms("empty_session"),
                   median_ms("empty"), None,
                   samples=dict(varnick=times["empty_session"], baseline=times["empty"]),
                   ranges_ms=ranges("empty_session", "empty"))]


def pipe_ms(pipe):
    """The milliseconds that PIPE_REQUESTS hellos through `pipe` took."""
    result = run_wine([str(PIPE_CLIENT), pipe, str(PIPE_REQUESTS)])
    assert result.returncode == 0, result
    return float(result.stdout.decode().strip())


def bench_pipe(env, runs):
    """Hello requests through the service's pipe, each awaited, against the
    bare loop: a pipe server that answers every frame with the same reply."""
    service, baseline = [], []
    for run in range(runs):
        for kind in in_turn(run, ["service", "baseline"]):
            if kind == "service":
                service.append(pipe_ms(r"\\.\pipe\Varnick"))
                continue
            server = subprocess.Popen(["wine", str(PIPE_BASELINE), r"\\.\pipe\VarnickBench"],
                                      env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL)
            assert server.stdout.readline().strip() == b"ready"
            baseline.append(pipe_ms(r"\\.\pipe\VarnickBench"))
            server.wait(timeout=60)
    per_second = [PIPE_REQUESTS * 1000 / statistics.median(t) for t in (service, baseline)]
    return figure("service pipe requests/s", "req/s", per_second[0], per_second[1], None,
                  higher_is_better=True)


def service_rss_mb():
    """The resident memory of the service's process, as Linux counts it."""
    pids = subprocess.run(["pgrep", "-f", "varnick.exe service run"], capture_output=True,
                          check=False).stdout.split()
    assert len(pids) == 1, subprocess.run(["ps", "-o", "pid,ppid,stat,etime,rss,cmd", "-p", ",".join(p.decode() for p in pids)], capture_output=True, text=True).stdout
    status = Path(f"/proc/{int(pids[0])}/status").read_text()
    kb = next(int(line.split()[1]) for line in status.splitlines() if line.startswith("VmRSS:"))
    return kb / 1024


def hello_ms(env):
    """One client's open and hello through the service's pipe, in ms."""
    result = subprocess.run(["wine", str(PIPE_STORM), r"\\.\pipe\Varnick", "hello"], env=env,
                            stdin=subprocess.DEVNULL, capture_output=True, check=False)
    assert result.returncode == 0, result
    return float(result.stdout.decode().strip())


def bench_crowd(env, runs):
    """CROWD silent connections opened at once against the service, held
    while another client says hello: that hello's time against the same
    hello with no crowd, and the service's resident memory with the crowd
    against without it. Limits: CROWD_ANSWER_LIMIT_MS and
    CROWD_MEMORY_LIMIT_MB (the service's whole process)."""
    alone, crowded, rss_alone, rss_crowded = [], [], [], []
    for _ in range(runs):
        rss_alone.append(service_rss_mb())
        alone.append(hello_ms(env))
        with tempfile.NamedTemporaryFile() as out:
            storm = subprocess.Popen(["wine", str(PIPE_STORM), r"\\.\pipe\Varnick", "idle",
                                      str(CROWD), "120000"], env=env, stdin=subprocess.DEVNULL,
                                     stdout=out, stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 120
                while f"opened {CROWD}".encode() not in Path(out.name).read_bytes():
                    assert storm.poll() is None and time.monotonic() < deadline
                    time.sleep(0.1)
                crowded.append(hello_ms(env))
                rss_crowded.append(service_rss_mb())
            finally:
                storm.kill()
                storm.wait()
    answer = figure(f"  hello, {CROWD:,} idle clients", "ms", statistics.median(crowded),
                    statistics.median(alone), None, limit=CROWD_ANSWER_LIMIT_MS)
    memory = figure(f"  service RSS, {CROWD:,} clients", "MB", max(rss_crowded),
                    statistics.median(rss_alone), None, limit=CROWD_MEMORY_LIMIT_MB)
    for f in (answer, memory):
        f["met"] = f["varnick"] <= f["limit"]
    return [answer, memory]


def bench_service(varnick, registry, output, runs):
    """varnick-session through the Varnick service (no consent, no elevated
    Varnick: --no-consent) around `cmd /c exit 0`, against that command
    alone. The service is installed for the run and removed after it."""
    registry.add("DataBasePath", "REG_SZ", varnick.hosts_variable)
    installed = run_wine([str(BUILD_DIR / "varnick.exe"), "service", "install"],
                         cwd=varnick.work_dir)
    assert installed.returncode == 0, installed
    try:
        through = ["wine", str(SESSION), "--no-consent", "--add", ADD_ENTRY, "--",
                   *EMPTY_COMMAND]
        kinds = dict(service=(through, dict(cwd=varnick.work_dir)),
                     command=(["wine", CMD_EXE, *EMPTY_COMMAND[1:]], {}))
        times = timed_in_turn(varnick, kinds, output, runs)
        pipe = bench_pipe(varnick.env(), max(3, runs // 3))
        crowd = bench_crowd(varnick.env(), max(3, runs // 3))
    finally:
        run_wine([str(BUILD_DIR / "varnick.exe"), "service", "uninstall"], cwd=varnick.work_dir)
        registry.point_at_hosts_variable()

    def median_ms(kind):
        return statistics.median(times[kind]) * 1000

    return [figure("service session + cmd", "ms", median_ms("service"), median_ms("command"),
                   SERVICE_GOAL, samples=dict(varnick=times["service"], baseline=times["command"]),
                   ranges_ms={k: [min(times[k]) * 1000, max(times[k]) * 1000] for k in kinds}),
            pipe, *crowd]


def bench_session_file(place, output, runs):
    """The session around `cmd /c exit 0` on the 50 MB hosts file against
    one read of that file into a new one, flushed and swapped in; and on a
    one-line hosts file against an empty program, so that the share of each
    that the file makes can be set side by side. The four in turn, `runs`
    times. Returns the figures and the chart's bars."""
    varnick = place.varnick
    large = hosts_content(FILE_SIZE)
    small = varnick.DEFAULT_HOSTS
    session = session_command(*EMPTY_COMMAND)

    def step(content, command, **kwargs):
        def run():
            rewrite(varnick.hosts_path, content)
            elapsed = measured(command, output, scratch=place.scratch, env=varnick.env(),
                               **kwargs)
            assert varnick.hosts == content, f"{command} did not leave the hosts file as it was"
            return elapsed
        return run

    kinds = dict(session=step(large, session, cwd=varnick.work_dir),
                 rebuild=step(large, ["wine", str(REBUILD_BASELINE),
                                      win_path(varnick.hosts_path)]),
                 small_session=step(small, session, cwd=varnick.work_dir),
                 empty=step(small, ["wine", str(EMPTY_MAIN)]))
    times = {kind: [] for kind in kinds}
    for run in range(runs):
        for kind in in_turn(run, list(kinds)):
            times[kind].append(kinds[kind]())
    left = varnick.beside_hosts()
    assert left == ["hosts"], f"left beside the hosts file: {left}"
    label = f"{size_label(FILE_SIZE)}, {place.name}"
    # Paired by run: each run's four steps follow one another.
    session_file_s = [a - b for a, b in zip(times["session"], times["small_session"])]
    rebuild_file_s = [a - b for a, b in zip(times["rebuild"], times["empty"])]
    figures = [mean_figure(f"session {label}", times["session"], times["rebuild"], None),
               mean_figure("  the file's share", session_file_s, rebuild_file_s, None)]
    bars = [bar("varnick-session", times["session"]), bar("read, write + flush, rename",
                                                          times["rebuild"]),
            bar("varnick-session, 1 line", times["small_session"])]
    return figures, bars


# --- del ---------------------------------------------------------------------

class DelRun:
    """`del` and the copies of the same file, in one place."""

    def __init__(self, place, content):
        self.place = place
        self.varnick = place.varnick
        self.content = content
        # The baseline's copies go where del's go: its copy into TEMP, the
        # rebuilt file beside the hosts file.
        self.first_copy = place.temp_dir / "bench-copy.tmp"
        self.second_copy = self.varnick.hosts_dir / "hosts.bench-copy"
        self.del_command = self.varnick.command("del", DEL_ENTRY)
        copies = [win_path(self.varnick.hosts_path), win_path(self.first_copy),
                  win_path(self.second_copy)]
        self.copy_command = ["wine", str(COPY_TWICE), *copies]
        self.flushed_copy_command = ["wine", str(COPY_TWICE), "--flush", *copies]

    def prepare(self):
        rewrite(self.varnick.hosts_path, self.content)
        self.first_copy.unlink(missing_ok=True)
        self.second_copy.unlink(missing_ok=True)

    def run_del(self, take):
        self.prepare()
        result = take(self.del_command, cwd=self.varnick.work_dir, env=self.varnick.env())
        for leftover in self.place.temp_dir.iterdir():
            leftover.unlink()  # `del` leaves its copy by design; the bench tidies up
        # `del` drops each occurrence of the entry and keeps the line ends around it.
        assert self.varnick.hosts == self.content.replace(DEL_ENTRY.encode(), b""), \
            f"del did not remove the entry from the {size_label(len(self.content))} file"
        return result

    def run_copies(self, take, flush):
        self.prepare()
        command = self.flushed_copy_command if flush else self.copy_command
        return take(command, env=self.varnick.env())

    def tidy(self):
        self.first_copy.unlink(missing_ok=True)
        self.second_copy.unlink(missing_ok=True)


def bench_del(place, output, runs):
    """Times `del`, the two copies and the two copies with the flush on the
    50 MB file, in turn, `runs` times. Returns the figures, the flush's cost
    and the chart's bars."""
    job = DelRun(place, hosts_content(FILE_SIZE))
    times = dict(del_s=[], copy_s=[], flushed_copy_s=[])

    def take(command, **kwargs):
        return measured(command, output, scratch=place.scratch, **kwargs)

    steps = [lambda: times["del_s"].append(job.run_del(take)),
             lambda: times["copy_s"].append(job.run_copies(take, flush=False)),
             lambda: times["flushed_copy_s"].append(job.run_copies(take, flush=True))]
    for run in range(runs):
        for step in in_turn(run, steps):
            step()
    job.tidy()
    label = f"{size_label(FILE_SIZE)}, {place.name}"
    figures = [mean_figure(f"del {label}", times["del_s"], times["flushed_copy_s"], DEL_GOAL),
               mean_figure("  vs copies, no flush", times["del_s"], times["copy_s"], None)]
    # The flush's cost: each run's copies with the flush less its copies without.
    flush_s = [flushed - plain for flushed, plain in zip(times["flushed_copy_s"], times["copy_s"])]
    flush_ms, flush_error_ms = (x * 1000 for x in mean_and_error(flush_s))
    flush = dict(place=place.name, file_system=place.file_system, size=FILE_SIZE,
                 flush_ms=flush_ms, flush_error_ms=flush_error_ms)
    bars = [bar("varnick del", times["del_s"]), bar("CopyFileW twice", times["copy_s"]),
            bar("CopyFileW twice + flush", times["flushed_copy_s"])]
    return figures, flush, bars


def bench_del_memory(place, runs):
    """Peak memory of `del` and of the two copies on a 1 MB and on the 50 MB file."""
    rows = []
    for size in (SMALL_SIZE, FILE_SIZE):
        job = DelRun(place, hosts_content(size))
        del_kb = [job.run_del(peak_memory_kb) for _ in range(runs)]
        copy_kb = [job.run_copies(peak_memory_kb, flush=False) for _ in range(runs)]
        job.tidy()
        rows.append(dict(size=size, label=size_label(size), del_peak_kb=statistics.median(del_kb),
                         copy_peak_kb=statistics.median(copy_kb)))
    growth = rows[-1]["del_peak_kb"] - rows[0]["del_peak_kb"]
    return dict(rows=rows, growth_kb=growth, flat=growth <= FLAT_MEMORY_KB)


# --- restore -----------------------------------------------------------------

def time_to_exit(command, output, requests=(), scratch=None, **kwargs):
    """Starts a server-mode program, accepts its connection, sends it the
    `requests` (each must be answered with 0), writes and removes the
    scratch file, lets the system write back its backup (a session that the
    controller ends at once would otherwise end while the backup's blocks
    are still being written), and returns the seconds from the shutdown
    request to the process's exit."""
    controller = Controller()
    process = subprocess.Popen(command(controller.port), stdin=subprocess.DEVNULL,
                               stdout=output.stream, stderr=subprocess.DEVNULL, **kwargs)
    # A wait with a time-out polls, with sleeps that double up to 50 ms, and
    # would round the time up to its next poll: the wait blocks, and a timer
    # ends a program that hangs.
    watchdog = threading.Timer(120, process.kill)
    try:
        conn = controller.accept()
        for request in requests:
            conn.sendall(request)
            if conn.recv(1) != b"\0":
                raise RuntimeError(f"{command(0)} refused a request before the shutdown")
        settle(scratch)
        watchdog.start()
        start = time.perf_counter()
        conn.sendall(SHUTDOWN)
        reply = conn.recv(1)
        returncode = process.wait()
        elapsed = time.perf_counter() - start
    finally:
        watchdog.cancel()
        controller.close()
        if process.poll() is None:
            process.kill()
            process.wait()
    if reply != b"\0" or returncode != 0:
        raise RuntimeError(f"{command(0)} replied {reply!r} to the shutdown, ended with "
                           f"{returncode}")
    return elapsed


def bench_restore(place, output, runs, with_small_file):
    """Times the end of a server session of varnick, of the baseline and of
    the baseline with the flush on the 50 MB file, and the end of a `varnick
    session` that added a line and of the rebuild baseline, in turn, `runs`
    times; with `with_small_file` also varnick and the baseline on a
    one-line file."""
    varnick = place.varnick
    backup = varnick.hosts_dir / "backup"
    hosts = win_path(varnick.hosts_path)

    def varnick_server(port):
        return varnick.command("server", port, win_path(backup))

    def baseline_server(port, *flush):
        return ["wine", str(RESTORE_BASELINE), *flush, str(port), hosts, win_path(backup)]

    def varnick_session(port):
        return varnick.command("session", port)

    def rebuild_session(port):
        return ["wine", str(REBUILD_BASELINE), "--port", str(port), hosts]

    def session(content, command, requests=(), **kwargs):
        def step():
            rewrite(varnick.hosts_path, content)
            backup.unlink(missing_ok=True)
            varnick.log_path.unlink(missing_ok=True)  # keep rotation out of the figure
            elapsed = time_to_exit(command, output, requests, place.scratch, env=varnick.env(),
                                   **kwargs)
            assert varnick.hosts == content, f"{command(0)} did not restore the hosts file"
            return elapsed
        return step

    large = hosts_content(FILE_SIZE)
    small = varnick.DEFAULT_HOSTS
    # The session's end takes out the line that it added.
    added = [add(ADD_ENTRY.encode())]
    kinds = dict(varnick=session(large, varnick_server, cwd=varnick.work_dir),
                 copy=session(large, baseline_server),
                 flushed_copy=session(large, lambda port: baseline_server(port, "--flush")),
                 session_end=session(large, varnick_session, added, cwd=varnick.work_dir),
                 rebuild_end=session(large, rebuild_session, added))
    if with_small_file:
        kinds.update(small_varnick=session(small, varnick_server, cwd=varnick.work_dir),
                     small_copy=session(small, baseline_server))
    times = {kind: [] for kind in kinds}
    for run in range(runs):
        for kind in in_turn(run, list(kinds)):
            times[kind].append(kinds[kind]())
    backup.unlink(missing_ok=True)
    label = f"{size_label(FILE_SIZE)}, {place.name}"
    figures = [mean_figure(f"restore {label}", times["varnick"], times["copy"], RESTORE_GOAL),
               mean_figure("  vs copy + flush", times["varnick"], times["flushed_copy"], None)]
    if with_small_file:
        figures.append(mean_figure(f"restore 1 line, {place.name}", times["small_varnick"],
                                   times["small_copy"], None))
    figures.append(mean_figure(f"session end {label}", times["session_end"],
                               times["rebuild_end"], None))
    return figures, [bar("varnick restore", times["varnick"]), bar("one CopyFileW", times["copy"]),
                     bar("one CopyFileW + flush", times["flushed_copy"]),
                     bar("varnick session's end", times["session_end"]),
                     bar("read, write + flush, rename", times["rebuild_end"])]


# --- server ------------------------------------------------------------------

class Served:
    """One server-mode program connected to a controller of its own."""

    def __init__(self, command, output, **kwargs):
        self.name = Path(command(0)[1]).name
        self.controller = Controller()
        self.process = subprocess.Popen(command(self.controller.port), stdin=subprocess.DEVNULL,
                                        stdout=output.stream, stderr=subprocess.DEVNULL, **kwargs)
        self.conn = self.controller.accept()

    def request(self, data):
        """Sends one request in one write and waits for its reply byte."""
        self.conn.sendall(data)
        reply = self.conn.recv(1)
        if reply != b"\0":
            raise RuntimeError(f"{self.name} refused a request: {reply!r}")

    def finish(self):
        self.conn.sendall(SHUTDOWN)
        self.conn.recv(1)
        if self.process.wait(timeout=60) != 0:
            raise RuntimeError(f"{self.name} ended with {self.process.returncode}")

    def close(self):
        self.controller.close()
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def serve(command, output, requests, **kwargs):
    """Runs one server session of a program: the requests back to back, each
    written whole and its reply awaited before the next. Returns requests per
    second, from the first request's write to the last reply."""
    settle()
    served = Served(command, output, **kwargs)
    try:
        start = time.perf_counter()
        for request in requests:
            served.request(request)
        elapsed = time.perf_counter() - start
        served.finish()
    finally:
        served.close()
    return len(requests) / elapsed


def bench_server(varnick, output, count, runs):
    requests = [add(b"127.0.0.1 bench%05d.example.test" % i) for i in range(count)]
    backup = varnick.hosts_dir / "backup"
    rates = {"varnick": [], "baseline": []}

    def run_varnick():
        varnick.log_path.unlink(missing_ok=True)  # keep rotation out of the figure
        varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS)
        rates["varnick"].append(serve(
            lambda port: varnick.command("server", port, win_path(backup)), output, requests,
            cwd=varnick.work_dir, env=varnick.env()))
        assert varnick.hosts == varnick.DEFAULT_HOSTS, "server mode did not restore the hosts file"

    def run_baseline():
        varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS)
        rates["baseline"].append(serve(
            lambda port: ["wine", str(SERVER_BASELINE), str(port), win_path(varnick.hosts_path)],
            output, requests, env=varnick.env()))
        assert varnick.hosts.count(b"\r\n") == count + 1

    for run in range(runs):
        for session in in_turn(run, [run_varnick, run_baseline]):
            session()
    return figure(f"server, stdout {output.kind}", "requests/s",
                  statistics.median(rates["varnick"]), statistics.median(rates["baseline"]),
                  SERVER_GOAL, higher_is_better=True, samples=rates)


# --- report ------------------------------------------------------------------

# A ratio whose standard error is more than this share of it is marked: the
# machine was busy with something else during the runs.
NOISY_SHARE = 0.05


def print_table(figures, flushes, memory):
    print(f"{'figure':<26} {'varnick':>18} {'baseline':>18} {'ratio':>11}  goal")
    for f in figures:
        unit = {"ms": "ms ", "MB": "MB "}.get(f["unit"], "r/s")
        if f["statistic"] == "mean":
            varnick = f"{f['varnick']:.1f} {unit}±{f['varnick_error']:.1f}"
            baseline = f"{f['baseline']:.1f} {unit}±{f['baseline_error']:.1f}"
            ratio = f"{f['ratio']:.2f} ±{f['ratio_error']:.2f}"
        else:
            varnick, baseline, ratio = (f"{f['varnick']:.1f} {unit}", f"{f['baseline']:.1f} {unit}",
                                        f"{f['ratio']:.2f}      ")
        goal = "" if f["goal"] is None else f"{f['goal_kind']} {f['goal']}: " + \
            ("met" if f["met"] else "NOT met")
        if "limit" in f:
            goal = f"at most {f['limit']} {f['unit']}: " + ("met" if f["met"] else "NOT met")
        if f.get("ratio_error", 0) > NOISY_SHARE * f["ratio"]:
            goal += " (noisy)"
        print(f"{f['name']:<26} {varnick:>18} {baseline:>18} {ratio:>11}  {goal}")
        if "ranges_ms" in f:
            shown = [f"{low:.1f}-{high:.1f}" for low, high in f["ranges_ms"].values()]
            print(f"{'':<26} {shown[0]:>18} {shown[1]:>18}  (ranges, ms)")
    if any(f["statistic"] == "mean" for f in figures):
        print("(del, restore and session-file: means and their standard errors; add, session "
              "and server: medians)")
    for flush in flushes:
        print(f"FlushFileBuffers of {size_label(flush['size'])}, {flush['place']} "
              f"({flush['file_system']}): {flush['flush_ms']:.1f} ms "
              f"±{flush['flush_error_ms']:.1f}")
    if memory:
        print()
        print(f"{'del size':<10} {'del peak RSS':>14} {'copy x2 peak RSS':>18}")
        for row in memory["rows"]:
            print(f"{row['label']:<10} {row['del_peak_kb']:11.0f} KB "
                  f"{row['copy_peak_kb']:15.0f} KB")
        print(f"del peak memory growth from {memory['rows'][0]['label']} to "
              f"{memory['rows'][-1]['label']}: {memory['growth_kb']:.0f} KB "
              f"({'flat' if memory['flat'] else 'GROWS with the file'})")


def write_chart(bars, path):
    """One panel each for del, session-file and restore: bars of the 50 MB
    means, on disk and in memory, with their standard errors."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no chart (bash scripts/bench.sh installs it for "
              "/usr/bin/python3)")
        return False
    fig, panels = plt.subplots(1, len(bars), figsize=(6 * len(bars), 4.5), squeeze=False)
    for axes, (kind, by_place) in zip(panels[0], bars.items()):
        places = list(by_place)
        labels = [bar["label"] for bar in by_place[places[0]]]
        width = 0.8 / len(labels)
        for i, label in enumerate(labels):
            shown = [by_place[place][i] for place in places]
            axes.bar([x + (i - (len(labels) - 1) / 2) * width for x in range(len(places))],
                     [bar["mean_ms"] for bar in shown], width,
                     yerr=[bar["error_ms"] for bar in shown], capsize=3, label=label)
        axes.set_xticks(range(len(places)), places)
        axes.set_ylabel("mean time (ms)")
        axes.set_title(f"{kind}, {size_label(FILE_SIZE)} hosts file, under Wine")
        axes.grid(True, axis="y", alpha=0.3)
        axes.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="timed runs of each add command")
    parser.add_argument("--file-runs", type=int, default=30,
                        help="timed runs of each del, restore and session-file command, in "
                             "each place")
    parser.add_argument("--memory-runs", type=int, default=3,
                        help="runs of each del command for its peak memory")
    parser.add_argument("--server-runs", type=int, default=5, help="server sessions of each side")
    parser.add_argument("--requests", type=int, default=10000, help="add requests per session")
    parser.add_argument("--disk-dir", type=Path, default=DISK_DIR,
                        help="a directory on a disk for the del and restore files")
    parser.add_argument("--only",
                        choices=["add", "session", "service", "session-file", "del", "restore",
                                 "server"],
                        action="append",
                        help="run only this benchmark (may be given more than once)")
    parser.add_argument("--no-build", action="store_true", help="use the build as it is")
    args = parser.parse_args()
    if min(args.runs, args.file_runs, args.memory_runs, args.server_runs, args.requests) < 1:
        parser.error("every count must be at least 1")
    chosen = set(args.only or ["add", "session", "service", "session-file", "del", "restore",
                               "server"])
    args.disk_dir.mkdir(parents=True, exist_ok=True)
    if file_system_type(args.disk_dir) in MEMORY_FILE_SYSTEMS:
        parser.error(f"{args.disk_dir} is in memory ({file_system_type(args.disk_dir)}), "
                     "not on a disk")
    shm = memory_root()
    if not args.no_build:
        build()

    OUT_DIR.mkdir(parents=True, exist_ok=True)
    session = WineSession()
    session.start()
    outputs = [Output("pipe"), Output("devnull")]
    figures, flushes, memory, bars = [], [], None, {}
    loads = [os.getloadavg()[0]]
    try:
        with contextlib.ExitStack() as stack:
            def place(name, root):
                base = stack.enter_context(
                    tempfile.TemporaryDirectory(prefix="varnick-bench-", dir=root))
                return Place(name, Path(base))
            places = [place("disk", args.disk_dir)] + ([place("memory", shm)] if shm else [])
            # add and server mode keep their files in memory when there is
            # memory to keep them in, as before.
            varnick = places[-1].varnick
            if "add" in chosen:
                for output in outputs:
                    figures += bench_add(varnick, output, args.runs)
            if "session" in chosen:
                figures += bench_session(varnick, outputs[0], args.runs)
            if "service" in chosen:
                figures += bench_service(varnick, session.registry, outputs[0], args.runs)
            if "session-file" in chosen:
                for where in places:
                    found, shown = bench_session_file(where, outputs[0], args.file_runs)
                    figures += found
                    bars.setdefault("session", {})[where.name] = shown
            if "del" in chosen:
                for where in places:
                    with temp_directory_at(where.temp_dir, session.registry):
                        found, flush, shown = bench_del(where, outputs[0], args.file_runs)
                        figures += found
                        flushes.append(flush)
                        bars.setdefault("del", {})[where.name] = shown
                        if where is places[-1]:
                            memory = bench_del_memory(where, args.memory_runs)
            if "restore" in chosen:
                for where in places:
                    found, shown = bench_restore(where, outputs[0], args.file_runs,
                                                 with_small_file=where is places[-1])
                    figures += found
                    bars.setdefault("restore", {})[where.name] = shown
            if "server" in chosen:
                figures += [bench_server(varnick, output, args.requests, args.server_runs)
                            for output in outputs]
            place_names = {p.name: dict(path=str(p.varnick.hosts_dir.parent),
                                        file_system=p.file_system) for p in places}
    finally:
        for output in outputs:
            output.close()
        session.stop()
    loads.append(os.getloadavg()[0])

    print_table(figures, flushes, memory)
    print(f"load average (1 min) at the start and the end: {loads[0]:.2f}, {loads[1]:.2f}")
    results = dict(
        machine=dict(system=platform.platform(), cpus=os.cpu_count(),
                     wine=subprocess.run(["wine", "--version"], capture_output=True,
                                         text=True).stdout.strip(),
                     load_average=loads, places=place_names),
        runs=args.runs, file_runs=args.file_runs, memory_runs=args.memory_runs,
        server_runs=args.server_runs, requests=args.requests, file_size=FILE_SIZE,
        figures=figures, flushes=flushes, del_memory=memory, bars=bars)
    (OUT_DIR / "results.json").write_text(json.dumps(results, indent=2))
    written = [OUT_DIR / "results.json"]
    if bars and write_chart(bars, OUT_DIR / "file_work.png"):
        written.append(OUT_DIR / "file_work.png")
    print("\nwritten: " + ", ".join(map(str, written)))


if __name__ == "__main__":
    main()
