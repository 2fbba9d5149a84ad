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
- del: `varnick del <entry>` on generated hosts files of 100 KB, 1 MB, 5 MB
  and 20 MB against bench_copy_twice.exe, which copies the same file twice
  with CopyFileW. Goal: at most 1.5 times at 5 MB, time linear in the size,
  and a peak memory that does not grow with the file.
- server: 10,000 add requests, each sent in one write with TCP_NODELAY and
  answered before the next, against bench_server_baseline.exe, the same
  socket loop and open-append-close of the hosts file without logging.
  Goal: at least 0.8 times its requests per second.

Times are medians over the runs; each timed run starts after a pause of
0.2 s, since the system goes on freeing the previous run's memory and files
for a while. Peak memory is the peak resident set size of the Linux process
that runs the program under Wine, Wine's own loader and DLLs included, as
GNU time reports it (ru_maxrss), in runs of their own.

The hosts files, working directory and `del`'s temporary copies (the
prefix's TEMP points there while the bench runs) live in /dev/shm when there
is one: on a virtual disk, freeing the blocks of a rewritten file can take
longer than the programs' own work.

Standard output of every program is a pipe to a process that discards it,
as when varnick-session, a controller or a shell pipeline reads it. The add
and server figures are also taken with standard output on /dev/null itself,
which Wine hands to the program as a character device: every write to it
costs a round trip to the wineserver, and the C runtime writes an unbuffered
character device one character per call (varnick.exe gives its standard
output a buffer, so that each message or record is one write).

Prints a table, writes the figures to build/bench/results.json and a chart
of del time against file size to build/bench/del_time.png.

    /usr/bin/python3 bench/run.py [--runs N] [--memory-runs N] [--server-runs N]
                                  [--requests N] [--only add|del|server] [--no-build]

VARNICK_BUILD_DIR and VARNICK_WINEPREFIX name another build or prefix.
"""

import argparse
import contextlib
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
os.environ.setdefault("VARNICK_BUILD_DIR", str(ROOT / "build" / "bench-windows"))
os.environ.setdefault("VARNICK_WINEPREFIX", str(ROOT / "build" / "bench-wine"))
sys.path.insert(0, str(ROOT / "tests" / "functional"))

from controller import SHUTDOWN, Controller, add  # noqa: E402
from wine_harness import BUILD_DIR, Varnick, WineSession, run_wine, win_path  # noqa: E402

OUT_DIR = ROOT / "build" / "bench"
TARGETS = ["varnick", "bench_empty_main", "bench_winsock_main", "bench_copy_twice",
           "bench_server_baseline"]
EMPTY_MAIN = BUILD_DIR / "bench_empty_main.exe"
WINSOCK_MAIN = BUILD_DIR / "bench_winsock_main.exe"
COPY_TWICE = BUILD_DIR / "bench_copy_twice.exe"
SERVER_BASELINE = BUILD_DIR / "bench_server_baseline.exe"

KB = 1024
MB = 1024 * 1024
DEL_SIZES = [100 * KB, 1 * MB, 5 * MB, 20 * MB]
DEL_ENTRY = "0.0.0.0 ads00042.example.com"
ADD_ENTRY = "127.0.0.1 bench.example.test"

ADD_GOAL = 1.15
DEL_GOAL = 1.5
DEL_GOAL_SIZE = 5 * MB
SERVER_GOAL = 0.8
# The time per extra MB may grow this much from one size step to the next
# and still count as linear; peak memory may grow this much from the
# smallest file to the largest and still count as flat (a 20 MB file held
# whole would add 20 MB).
LINEAR_TOLERANCE = 0.25
FLAT_MEMORY_KB = 1024
SETTLE_SECONDS = 0.2


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
        if self._drain:
            self._drain.stdin.close()
            self._drain.wait()


def measured(command, output, **kwargs):
    """Runs `command` to its end and returns the seconds it took. Waits a
    moment first: the system goes on freeing the memory and files of the
    previous run for a while (tens of ms after a 20 MB file here), and a run
    started meanwhile is slowed by it."""
    time.sleep(SETTLE_SECONDS)
    start = time.perf_counter()
    returncode = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output.stream,
                                stderr=subprocess.DEVNULL, **kwargs).returncode
    elapsed = time.perf_counter() - start
    if returncode != 0:
        raise RuntimeError(f"{command} ended with {returncode}")
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


def figure(name, unit, varnick, baseline, goal, higher_is_better=False, **extra):
    ratio = varnick / baseline
    met = None if goal is None else (ratio >= goal if higher_is_better else ratio <= goal)
    return dict(name=name, unit=unit, varnick=varnick, baseline=baseline, ratio=ratio,
                goal=goal, goal_kind="at least" if higher_is_better else "at most", met=met,
                **extra)


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


# --- del ---------------------------------------------------------------------

def hosts_content(size):
    lines, total, i = [], 0, 0
    while total < size:
        line = b"0.0.0.0 ads%05d.example.com\r\n" % (i % 100000)
        lines.append(line)
        total += len(line)
        i += 1
    return b"".join(lines)


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
    path.mkdir(exist_ok=True)
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


def scratch_root():
    """Where the bench's files go: memory (/dev/shm) when there is one, so
    that the figures show the programs' work rather than the disk's moods
    (on a virtual disk, freeing the blocks of a rewritten file can take
    longer than writing it)."""
    shm = Path("/dev/shm")
    return str(shm) if shm.is_dir() and os.access(shm, os.W_OK) else None


def size_label(size):
    return f"{size // MB} MB" if size >= MB else f"{size // KB} KB"


def bench_del(varnick, output, copies_dir, runs, memory_runs):
    """Times `del` and the two copies on every size. Each run goes through all
    the sizes, so a change in the machine's load spreads over all of them
    rather than bending the line of time against size."""
    contents = {size: hosts_content(size) for size in DEL_SIZES}
    samples = {size: dict(del_s=[], copy_s=[], del_peak_kb=[], copy_peak_kb=[])
               for size in DEL_SIZES}
    target = varnick.hosts_dir / "copy"
    del_command = varnick.command("del", DEL_ENTRY)
    copy_command = ["wine", str(COPY_TWICE), win_path(varnick.hosts_path), win_path(target)]
    for run in range(runs + memory_runs):
        timing = run < runs
        for size, content in contents.items():
            taken = samples[size]
            varnick.hosts_path.write_bytes(content)
            before = set(copies_dir.glob("hos*.tmp"))
            if timing:
                taken["del_s"].append(measured(del_command, output, cwd=varnick.work_dir,
                                               env=varnick.env()))
            else:
                taken["del_peak_kb"].append(peak_memory_kb(del_command, cwd=varnick.work_dir,
                                                           env=varnick.env()))
            for leftover in set(copies_dir.glob("hos*.tmp")) - before:
                leftover.unlink()  # `del` leaves its copy by design; the bench tidies up
            # `del` drops each occurrence of the entry and keeps the line ends around it.
            assert varnick.hosts == content.replace(DEL_ENTRY.encode(), b""), \
                f"del did not remove the entry from the {size_label(size)} file"
            varnick.hosts_path.write_bytes(content)
            if timing:
                taken["copy_s"].append(measured(copy_command, output, env=varnick.env()))
            else:
                taken["copy_peak_kb"].append(peak_memory_kb(copy_command, env=varnick.env()))
    target.unlink()
    return [dict(size=size, label=size_label(size),
                 del_ms=statistics.median(taken["del_s"]) * 1000,
                 copy_ms=statistics.median(taken["copy_s"]) * 1000,
                 del_peak_kb=statistics.median(taken["del_peak_kb"]),
                 copy_peak_kb=statistics.median(taken["copy_peak_kb"]), samples=taken)
            for size, taken in samples.items()]


def del_figures(rows):
    figures = []
    for row in rows:
        goal = DEL_GOAL if row["size"] == DEL_GOAL_SIZE else None
        figures.append(figure(f"del {row['label']}", "ms", row["del_ms"], row["copy_ms"], goal))
    # Linear: the extra time per MB from one size to the next stays the same.
    steps = []
    for small, large in zip(rows, rows[1:]):
        per_mb = (large["del_ms"] - small["del_ms"]) / ((large["size"] - small["size"]) / MB)
        steps.append(dict(step=f"{small['label']} to {large['label']}", ms_per_mb=per_mb))
    # Linear, not worse: the time per extra MB does not grow from one step to
    # the next. The step from 100 KB is left out: at that size the process
    # start is nearly all of the time, and the noise in it swamps the file work.
    top = [s["ms_per_mb"] for s in steps[1:]]
    linear = all(later <= earlier * (1 + LINEAR_TOLERANCE) for earlier, later in zip(top, top[1:]))
    growth = rows[-1]["del_peak_kb"] - rows[0]["del_peak_kb"] if rows[0]["del_peak_kb"] else 0
    return figures, dict(steps=steps, linear=linear, peak_growth_kb=growth,
                         flat_memory=growth <= FLAT_MEMORY_KB)


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
        # Each goes first in every other run, so a trend in the load favours neither.
        for session in (run_varnick, run_baseline) if run % 2 == 0 else (run_baseline, run_varnick):
            session()
    return figure(f"server, stdout {output.kind}", "requests/s",
                  statistics.median(rates["varnick"]), statistics.median(rates["baseline"]),
                  SERVER_GOAL, higher_is_better=True, samples=rates)


# --- report ------------------------------------------------------------------

def print_table(figures, linearity, rows):
    print(f"{'figure':<22} {'varnick':>12} {'baseline':>12} {'ratio':>7}  goal")
    for f in figures:
        goal = "" if f["goal"] is None else f"{f['goal_kind']} {f['goal']}: " + \
            ("met" if f["met"] else "NOT met")
        print(f"{f['name']:<22} {f['varnick']:9.1f} {'ms ' if f['unit'] == 'ms' else 'r/s'}"
              f" {f['baseline']:9.1f} {'ms ' if f['unit'] == 'ms' else 'r/s'}"
              f" {f['ratio']:7.2f}  {goal}")
    if not rows:
        return
    print()
    print(f"{'del size':<10} {'del peak RSS':>14} {'copy x2 peak RSS':>18}")
    for row in rows:
        print(f"{row['label']:<10} {row['del_peak_kb']:11.0f} KB {row['copy_peak_kb']:15.0f} KB")
    print(f"del peak memory growth from {rows[0]['label']} to {rows[-1]['label']}: "
          f"{linearity['peak_growth_kb']:.0f} KB ("
          f"{'flat' if linearity['flat_memory'] else 'GROWS with the file'})")
    steps = ", ".join(f"{s['step']}: {s['ms_per_mb']:.2f} ms/MB" for s in linearity["steps"])
    print(f"del time per extra MB: {steps} ("
          f"{'linear' if linearity['linear'] else 'NOT linear'})")


def write_chart(rows, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no chart (bash scripts/bench.sh installs it for "
              "/usr/bin/python3)")
        return False
    sizes = [row["size"] / MB for row in rows]
    fig, axes = plt.subplots(figsize=(7, 4.5))
    axes.plot(sizes, [row["del_ms"] for row in rows], "o-", label="varnick del")
    axes.plot(sizes, [row["copy_ms"] for row in rows], "s--", label="CopyFileW twice")
    axes.set_xlabel("hosts file size (MB)")
    axes.set_ylabel("median time, process start included (ms)")
    axes.set_title("del time against hosts file size, under Wine")
    axes.grid(True, alpha=0.3)
    axes.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15,
                        help="timed runs of each add and del command")
    parser.add_argument("--memory-runs", type=int, default=3,
                        help="runs of each del command for its peak memory")
    parser.add_argument("--server-runs", type=int, default=5, help="server sessions of each side")
    parser.add_argument("--requests", type=int, default=10000, help="add requests per session")
    parser.add_argument("--only", choices=["add", "del", "server"], action="append",
                        help="run only this benchmark (may be given more than once)")
    parser.add_argument("--no-build", action="store_true", help="use the build as it is")
    args = parser.parse_args()
    if min(args.runs, args.memory_runs, args.server_runs, args.requests) < 1:
        parser.error("every count must be at least 1")
    chosen = set(args.only or ["add", "del", "server"])
    if not args.no_build:
        build()

    OUT_DIR.mkdir(parents=True, exist_ok=True)
    session = WineSession()
    session.start()
    outputs = [Output("pipe"), Output("devnull")]
    figures, rows, shape = [], [], None
    try:
        with tempfile.TemporaryDirectory(prefix="varnick-bench-", dir=scratch_root()) as base, \
                temp_directory_at(Path(base) / "temp", session.registry) as copies_dir:
            varnick = Varnick(Path(base))
            if "add" in chosen:
                for output in outputs:
                    figures += bench_add(varnick, output, args.runs)
            if "del" in chosen:
                rows = bench_del(varnick, outputs[0], copies_dir, args.runs, args.memory_runs)
                del_rows, shape = del_figures(rows)
                figures += del_rows
            if "server" in chosen:
                figures += [bench_server(varnick, output, args.requests, args.server_runs)
                            for output in outputs]
    finally:
        for output in outputs:
            output.close()
        session.stop()

    print_table(figures, shape, rows)
    results = dict(
        machine=dict(system=platform.platform(), cpus=os.cpu_count(),
                     wine=subprocess.run(["wine", "--version"], capture_output=True,
                                         text=True).stdout.strip()),
        runs=args.runs, memory_runs=args.memory_runs, server_runs=args.server_runs,
        requests=args.requests, figures=figures, del_sizes=rows, del_shape=shape)
    (OUT_DIR / "results.json").write_text(json.dumps(results, indent=2))
    written = [OUT_DIR / "results.json"]
    if rows and write_chart(rows, OUT_DIR / "del_time.png"):
        written.append(OUT_DIR / "del_time.png")
    print("\nwritten: " + ", ".join(map(str, written)))


if __name__ == "__main__":
    main()
