#!/usr/bin/env python3
"""Times `varnick del` against two plain CopyFileW copies of the same file.

For hosts files of about 100 KB, 1 MB and 5 MB made of lines like
"0.0.0.0 ads12345.example.com", runs under the same Wine, side by side:

- `varnick.exe del <entry>` on a fresh copy of the file, and
- `bench_copy_twice.exe <hosts> <copy>`, which copies the same file twice,
  about the file work that `del` does without any matching.

Prints the median wall time of each (Wine's process start included in both)
and their ratio. The goal is a ratio within 2 for the 5 MB file. For scale it
also prints how long varnick.exe takes to start and print its usage text:
loading its DLLs under Wine costs more than the baseline's.

    cmake --preset windows && cmake --build --preset windows
    python3 bench/del_bench.py [--runs N]

VARNICK_BUILD_DIR picks another build (default build/windows); the Wine
prefix is build/bench-wine unless VARNICK_WINEPREFIX names another.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
os.environ.setdefault("VARNICK_WINEPREFIX", str(ROOT / "build" / "bench-wine"))
sys.path.insert(0, str(ROOT / "tests" / "functional"))

from wine_harness import BUILD_DIR, Varnick, WineSession, run_wine, wine_env, win_path  # noqa: E402

COPY_TWICE = BUILD_DIR / "bench_copy_twice.exe"
SIZES = [("100 KB", 100 * 1024), ("1 MB", 1024 * 1024), ("5 MB", 5 * 1024 * 1024)]
ENTRY = "0.0.0.0 ads00042.example.com"


def hosts_content(size):
    lines = []
    total = 0
    i = 0
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


def timed(command, **kwargs):
    start = time.perf_counter()
    completed = subprocess.run(command, capture_output=True, **kwargs)
    elapsed = time.perf_counter() - start
    if completed.returncode != 0:
        raise RuntimeError(f"{command[1]} failed: {completed.returncode} {completed.stdout!r}")
    return elapsed


def start_time(varnick, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(varnick.command(), cwd=varnick.work_dir, env=varnick.env(),
                       capture_output=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def bench_size(varnick, content, copies_dir, runs):
    target = varnick.hosts_dir / "copy"
    del_times, copy_times = [], []
    for _ in range(runs):
        # Alternate the two so that drift in the machine's load hits both.
        varnick.hosts_path.write_bytes(content)
        before = set(copies_dir.glob("hos*.tmp"))
        del_times.append(timed(varnick.command("del", ENTRY), cwd=varnick.work_dir,
                               env=varnick.env()))
        for leftover in set(copies_dir.glob("hos*.tmp")) - before:
            leftover.unlink()  # `del` leaves its copy by design; the bench tidies up
        varnick.hosts_path.write_bytes(content)
        copy_times.append(timed(["wine", str(COPY_TWICE), win_path(varnick.hosts_path),
                                 win_path(target)], env=wine_env()))
    return statistics.median(del_times), statistics.median(copy_times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7, help="runs of each command per size")
    args = parser.parse_args()
    if not COPY_TWICE.exists():
        sys.exit(f"{COPY_TWICE} is missing: build the 'windows' preset first")

    session = WineSession()
    session.start()
    try:
        copies_dir = temp_dir()
        with tempfile.TemporaryDirectory(prefix="varnick-bench-") as base:
            varnick = Varnick(Path(base))
            print(f"varnick.exe start and usage text: {start_time(varnick, args.runs) * 1000:.1f} ms")
            print(f"{'size':>8} {'del (ms)':>10} {'copy x2 (ms)':>13} {'ratio':>7}")
            for label, size in SIZES:
                content = hosts_content(size)
                del_time, copy_time = bench_size(varnick, content, copies_dir, args.runs)
                print(f"{label:>8} {del_time * 1000:10.1f} {copy_time * 1000:13.1f} "
                      f"{del_time / copy_time:7.2f}")
    finally:
        session.stop()


if __name__ == "__main__":
    main()
