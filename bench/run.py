#!/usr/bin/env python3
"""Benchmarks of varnick.exe against baseline programs, under one Wine.

Builds the `windows` preset into build/bench-windows (varnick.exe and the
baselines in bench/), starts one Wine prefix (build/bench-wine) with one
persistent wineserver, and runs, each side by side with its baseline and
alternating with it so that drift in the machine's load hits both:

- add: the whole-process time of `varnick add <entry>` against
  bench_empty_main.exe, an empty wmain. Goal: at most 1.15 times.
- del: `varnick del <entry>` on generated hosts files of 100 KB, 1 MB, 5 MB
  and 20 MB against bench_copy_twice.exe, which copies the same file twice
  with CopyFileW. Goal: at most 1.5 times at 5 MB, time linear in the size,
  and a peak memory that does not grow with the file.
- server: 10,000 add requests, each sent in one write with TCP_NODELAY and
  answered before the next, against bench_server_baseline.exe, the same
  socket loop and open-append-close of the hosts file without logging.
  Goal: at least 0.8 times its requests per second.

Times are medians over the runs. Peak memory is the peak resident set size
(ru_maxrss from wait4) of the Linux process that runs the program under
Wine: Wine's own loader and DLLs included, the same for both sides.

Standard output of every program is a pipe to a process that discards it,
as when a controller or a shell pipeline reads it. The add and server
figures are also taken with standard output on /dev/null itself, which Wine
hands to the program as a character device: the C runtime leaves such a
stream unbuffered.

Prints a table, writes the figures to build/bench/results.json and a chart
of del time against file size to build/bench/del_time.png.

    python3 bench/run.py [--runs N] [--server-runs N] [--requests N] [--no-build]

VARNICK_BUILD_DIR and VARNICK_WINEPREFIX name another build or prefix.
"""

import argparse
import json
import os
import platform
import socket
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
TARGETS = ["varnick", "bench_empty_main", "bench_copy_twice", "bench_server_baseline"]
EMPTY_MAIN = BUILD_DIR / "bench_empty_main.exe"
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
# Time per MB may differ this much between the size steps and still count
# as linear; peak memory may grow this much from the smallest file to the
# largest and still count as flat (a 20 MB file held whole would add 20 MB).
LINEAR_TOLERANCE = 0.25
FLAT_MEMORY_KB = 1024


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
    """Runs `command` to its end and returns the seconds it took."""
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
    add_times, empty_times = [], []
    for _ in range(runs):
        empty_times.append(measured(["wine", str(EMPTY_MAIN)], output, env=varnick.env()))
        varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS)
        add_times.append(measured(varnick.command("add", ADD_ENTRY), output, cwd=varnick.work_dir,
                                  env=varnick.env()))
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n" + ADD_ENTRY.encode()
    return figure(f"add, stdout {output.kind}", "ms", statistics.median(add_times) * 1000,
                  statistics.median(empty_times) * 1000, ADD_GOAL,
                  samples=dict(varnick=add_times, baseline=empty_times))


# --- del ---------------------------------------------------------------------

def hosts_content(size):
    lines, total, i = [], 0, 0
    while total < size:
        line = b"0.0.0.0 ads%05d.example.com\r\n" % (i % 100000)
        lines.append(line)
        total += len(line)
        i += 1
    return b"".join(lines)


def temp_dir():
    """The Linux path of the directory where `del` leaves its copies."""
    echoed = run_wine(["cmd", "/c", "echo", "%TEMP%"]).stdout.decode().strip()
    return Path(run_wine(["winepath", "-u", echoed]).stdout.decode().strip())


def size_label(size):
    return f"{size // MB} MB" if size >= MB else f"{size // KB} KB"


def bench_del_size(varnick, output, size, copies_dir, runs, memory_runs):
    content = hosts_content(size)
    # `del` drops each occurrence of the entry and keeps the line ends around it.
    expected = content.replace(DEL_ENTRY.encode(), b"")
    target = varnick.hosts_dir / "copy"
    del_command = varnick.command("del", DEL_ENTRY)
    copy_command = ["wine", str(COPY_TWICE), win_path(varnick.hosts_path), win_path(target)]
    del_times, copy_times, del_peaks, copy_peaks = [], [], [], []
    for run in range(runs + memory_runs):
        timing = run < runs
        varnick.hosts_path.write_bytes(content)
        before = set(copies_dir.glob("hos*.tmp"))
        if timing:
            del_times.append(measured(del_command, output, cwd=varnick.work_dir, env=varnick.env()))
        else:
            del_peaks.append(peak_memory_kb(del_command, cwd=varnick.work_dir, env=varnick.env()))
        for leftover in set(copies_dir.glob("hos*.tmp")) - before:
            leftover.unlink()  # `del` leaves its copy by design; the bench tidies up
        assert varnick.hosts == expected, f"del did not remove the entry from the {size_label(size)} file"
        varnick.hosts_path.write_bytes(content)
        if timing:
            copy_times.append(measured(copy_command, output, env=varnick.env()))
        else:
            copy_peaks.append(peak_memory_kb(copy_command, env=varnick.env()))
    target.unlink()
    return dict(size=size, label=size_label(size), del_ms=statistics.median(del_times) * 1000,
                copy_ms=statistics.median(copy_times) * 1000,
                del_peak_kb=statistics.median(del_peaks), copy_peak_kb=statistics.median(copy_peaks),
                samples=dict(del_s=del_times, copy_s=copy_times, del_peak_kb=del_peaks,
                             copy_peak_kb=copy_peaks))


def del_figures(rows):
    figures = []
    for row in rows:
        goal = DEL_GOAL if row["size"] == DEL_GOAL_SIZE else None
        figures.append(figure(f"del {row['label']}", "ms", row["del_ms"], row["copy_ms"], goal))
    # Linear: the extra time per MB from one size to the next stays the same.
    steps = []
    for small, large in zip(rows, rows[1:]):
        per_mb = (row_ms(large) - row_ms(small)) / ((large["size"] - small["size"]) / MB)
        steps.append(dict(step=f"{small['label']} to {large['label']}", ms_per_mb=per_mb))
    top = [s["ms_per_mb"] for s in steps[1:]]  # the 100 KB step is mostly noise
    linear = max(top) <= min(top) * (1 + LINEAR_TOLERANCE) if top else None
    growth = rows[-1]["del_peak_kb"] - rows[0]["del_peak_kb"] if rows[0]["del_peak_kb"] else 0
    return figures, dict(steps=steps, linear=linear, peak_growth_kb=growth,
                         flat_memory=growth <= FLAT_MEMORY_KB)


def row_ms(row):
    return row["del_ms"]


# --- server ------------------------------------------------------------------

def serve(command, output, requests, **kwargs):
    """Starts a server-mode program that connects to a fresh controller, sends
    the requests one at a time and returns requests per second."""
    controller = Controller()
    try:
        process = subprocess.Popen(command(controller.port), stdin=subprocess.DEVNULL,
                                   stdout=output.stream, stderr=subprocess.DEVNULL, **kwargs)
        conn = controller.accept()
        start = time.perf_counter()
        for request in requests:
            conn.sendall(request)
            if conn.recv(1) != b"\0":
                raise RuntimeError(f"{command(0)[1]} refused a request")
        elapsed = time.perf_counter() - start
        conn.sendall(SHUTDOWN)
        conn.recv(1)
        if process.wait(timeout=60) != 0:
            raise RuntimeError(f"{command(0)[1]} ended with {process.returncode}")
    finally:
        controller.close()
    return len(requests) / elapsed


def bench_server(varnick, output, count, runs):
    requests = [add(b"127.0.0.1 bench%05d.example.test" % i) for i in range(count)]
    backup = varnick.hosts_dir / "backup"
    varnick_rates, baseline_rates = [], []
    for _ in range(runs):
        varnick.log_path.unlink(missing_ok=True)  # keep rotation out of the figure
        varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS)
        varnick_rates.append(serve(
            lambda port: varnick.command("server", port, win_path(backup)), output, requests,
            cwd=varnick.work_dir, env=varnick.env()))
        assert varnick.hosts == varnick.DEFAULT_HOSTS, "server mode did not restore the hosts file"
        baseline_rates.append(serve(
            lambda port: ["wine", str(SERVER_BASELINE), str(port), win_path(varnick.hosts_path)],
            output, requests, env=varnick.env()))
        assert varnick.hosts.count(b"\r\n") == count + 1
    return figure(f"server, stdout {output.kind}", "requests/s", statistics.median(varnick_rates),
                  statistics.median(baseline_rates), SERVER_GOAL, higher_is_better=True,
                  samples=dict(varnick=varnick_rates, baseline=baseline_rates))


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
        print("matplotlib is missing: no chart (bash scripts/bench.sh installs it)")
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
    parser.add_argument("--runs", type=int, default=15, help="timed runs of each add and del command")
    parser.add_argument("--memory-runs", type=int, default=3,
                        help="runs of each del command for its peak memory")
    parser.add_argument("--server-runs", type=int, default=3, help="server sessions of each side")
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
        copies_dir = temp_dir()
        with tempfile.TemporaryDirectory(prefix="varnick-bench-") as base:
            varnick = Varnick(Path(base))
            if "add" in chosen:
                figures += [bench_add(varnick, output, args.runs) for output in outputs]
            if "del" in chosen:
                rows = [bench_del_size(varnick, outputs[0], size, copies_dir, args.runs,
                                       args.memory_runs) for size in DEL_SIZES]
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
