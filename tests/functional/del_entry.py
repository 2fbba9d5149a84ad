"""`del <entry>`: rebuilding the hosts file without the entry's occurrences.

Covers what comes out of the rebuild (checked against a model of the matching
rules), the entry's OEM form and length limit, the temporary copy left in the
user's temporary directory, a hosts file that another process holds, what a
killed run leaves beside the hosts file, links planted where del writes, a
rebuild that runs out of disk space, a del killed at any instant, the hosts
file at every instant of a replacement, and adds that race dels.
"""

import contextlib
import os
import random
import re
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

from wine_harness import Result, parse_records, plant_link, run_wine, timeout, win_path

ERROR_FILE_NOT_FOUND = 2
ERROR_DIRECTORY = 267
ERROR_ACCESS_DENIED = 5
ERROR_SHARING_VIOLATION = 32
ERROR_DISK_FULL = 112
ERROR_WRITE_FAULT = 29
ERROR_IS_LINK = 681


def del_records(varnick):
    return [r for r in varnick.records() if r[1] == "DelEntry"]


def remove_entry(data, entry):
    """The matching rules, byte by byte: a broken match keeps its bytes and is
    not retried; the byte after a complete occurrence may start another; an
    unfinished match at the end stays; an empty entry removes nothing."""
    if not entry:
        return data
    out = bytearray()
    matched = 0
    for byte in data:
        if byte == entry[matched]:
            matched = (matched + 1) % len(entry)
        else:
            out += entry[:matched]
            out.append(byte)
            matched = 0
    return bytes(out + entry[:matched])


@pytest.fixture(scope="session")
def temp_dir(wine):
    """The Linux path of the directory that GetTempPathW gives under Wine."""
    echoed = run_wine(["cmd", "/c", "echo", "%TEMP%"]).stdout.decode().strip()
    unix = run_wine(["winepath", "-u", echoed]).stdout.decode().strip()
    path = Path(unix)
    assert path.is_dir(), (echoed, unix)
    return path


class TempFiles:
    """The temporary copies that appeared during one test."""

    def __init__(self, directory):
        self.directory = directory
        self.before = set(self._names())

    def _names(self):
        # GetTempFileNameW keeps the first three characters of the prefix.
        return [p.name for p in self.directory.glob("hos*.tmp")]

    def new(self):
        return [self.directory / n for n in sorted(set(self._names()) - self.before)]


@pytest.fixture(autouse=True)
def temp_files(temp_dir):
    files = TempFiles(temp_dir)
    yield files
    # Every del leaves its copy behind by design; the tests do not keep theirs.
    for path in files.new():
        path.unlink()


@pytest.mark.parametrize("hosts, entry", [
    # The entry's first byte occurs nowhere: byte for byte unchanged.
    (b"127.0.0.1 localhost\r\n::1 localhost\r\n", "Z"),
    # Occurrences inside words and lines, at the very start and very end.
    (b"0.0.0.0 ads.test\r\n0.0.0.0 ads.tested\r\nxads.test", "ads.test"),
    # Adjacent repeats all go; a broken match and the byte after it stay.
    (b"ababab aab abab", "ab"),
    # A partial match at the end of the file stays.
    (b"127.0.0.1 localhost\r\n10.0.0.1 x.te", "10.0.0.1 x.test"),
    # An empty entry changes nothing.
    (b"127.0.0.1 localhost\r\n", ""),
    # Line breaks are bytes like any other.
    (b"a\r\n\r\nb\r\n", "\r\n"),
])
def test_rebuilt_file_loses_exactly_the_occurrences(varnick, hosts, entry):
    varnick.hosts_path.write_bytes(hosts)
    result = varnick.run("del", entry)
    assert result.returncode == 0
    assert varnick.hosts == remove_entry(hosts, entry.encode())
    # Success logs nothing of its own.
    assert del_records(varnick) == []


def test_file_without_the_entry_comes_out_unchanged(varnick):
    hosts = bytes(range(256)).replace(b"Q", b"") * 40
    varnick.hosts_path.write_bytes(hosts)
    assert varnick.run("del", "Q").returncode == 0
    assert varnick.hosts == hosts


def test_large_file_with_occurrences_across_blocks(varnick):
    # About 2 MB, so that occurrences fall across every read and write block.
    lines = [b"0.0.0.0 ads%05d.example.com" % (i % 99991) for i in range(70000)]
    hosts = b"\r\n".join(lines)
    entry = "0.0.0.0 ads00042.example.com"
    varnick.hosts_path.write_bytes(hosts)
    assert varnick.run("del", entry).returncode == 0
    expected = remove_entry(hosts, entry.encode())
    assert len(expected) < len(hosts)
    assert varnick.hosts == expected


def test_add_then_del_leaves_the_line_break_of_the_add(varnick):
    before = b"127.0.0.1 localhost\r\n::1 localhost"
    varnick.hosts_path.write_bytes(before)
    assert varnick.run("add", "10.0.0.1 example.test").returncode == 0
    assert varnick.run("del", "10.0.0.1 example.test").returncode == 0
    assert varnick.hosts == before + b"\r\n"


@pytest.mark.parametrize("entry, oem", [
    # OEM code page 437: e-acute is 0x82; a character it lacks becomes '?'.
    ("caf\u00e9.test", b"caf\x82.test"),
    ("\u65e5.test", b"?.test"),
    ("x" * 254, b"x" * 254),
    ("\u00e9" * 254, b"\x82" * 254),
])
def test_entry_is_matched_in_its_oem_form(varnick, entry, oem):
    hosts = b"127.0.0.1 localhost\r\n10.0.0.1 " + oem + b"\r\n" + entry.encode("utf-8")
    varnick.hosts_path.write_bytes(hosts)
    assert varnick.run("del", entry).returncode == 0
    # The UTF-8 form of a non-ASCII entry is other bytes and stays.
    assert varnick.hosts == remove_entry(hosts, oem)
    assert varnick.hosts.startswith(b"127.0.0.1 localhost\r\n10.0.0.1 \r\n")


@pytest.mark.parametrize("entry", ["x" * 255, "\u00e9" * 255, "x" * 400])
def test_entry_longer_than_254_bytes_is_refused_before_any_copy(varnick, temp_files, entry):
    hosts = b"127.0.0.1 localhost\r\n" + b"x" * 400
    varnick.hosts_path.write_bytes(hosts)
    result = varnick.run("del", entry)
    assert result.returncode == 1
    assert del_records(varnick) == [("ERROR", "DelEntry", f"Unable to convert {entry} to multibyte")]
    assert varnick.hosts == hosts
    assert temp_files.new() == []


def test_temporary_copy_of_the_original_is_left_in_place(varnick, temp_files):
    hosts = b"127.0.0.1 localhost\r\n0.0.0.0 ads.test\r\n"
    varnick.hosts_path.write_bytes(hosts)
    assert varnick.run("del", "0.0.0.0 ads.test").returncode == 0
    assert varnick.hosts == b"127.0.0.1 localhost\r\n\r\n"
    copies = temp_files.new()
    assert len(copies) == 1
    assert copies[0].read_bytes() == hosts


def test_every_run_gets_a_copy_of_its_own(varnick, temp_files):
    varnick.hosts_path.write_bytes(b"a b c")
    for entry in ["a", "b"]:
        assert varnick.run("del", entry).returncode == 0
    assert sorted(c.read_bytes() for c in temp_files.new()) == [b" b c", b"a b c"]
    assert varnick.hosts == b"  c"


@pytest.mark.parametrize("released_after", [None, 0.5])
def test_held_hosts_file_is_retried_then_left_alone(varnick, temp_files, released_after):
    # A reader that lets others read but not delete: the content can be read
    # and rebuilt, but the hosts file cannot be replaced while it is held.
    hosts = b"127.0.0.1 localhost\r\n0.0.0.0 ads.test\r\n"
    varnick.hosts_path.write_bytes(hosts)
    with contextlib.ExitStack() as held:
        held.enter_context(varnick.hold(varnick.hosts_path, "r", 1))
        started = time.monotonic()
        process = varnick.start("del", "0.0.0.0 ads.test")
        if released_after is not None:
            time.sleep(released_after)
            held.close()
        returncode = process.wait(timeout=timeout(60))
        waited = time.monotonic() - started
    assert [c.read_bytes() for c in temp_files.new()] == [hosts]
    assert varnick.beside_hosts() == ["hosts"]
    if released_after is not None:
        # Released while it was being retried.
        assert returncode == 0
        assert varnick.hosts == remove_entry(hosts, b"0.0.0.0 ads.test")
    else:
        assert returncode == 1
        assert waited >= 1.5, "the replacement was not retried"
        # A file that another process has open cannot be renamed over.
        assert del_records(varnick) == [
            ("INFO", "DelEntry", f"Failed to open hosts file {ERROR_ACCESS_DENIED}"),
            ("INFO", "DelEntry", "Failed to replace hosts file: another program has it open or "
                                 "it is read-only, hosts file unchanged")]
        assert varnick.hosts == hosts


@pytest.mark.parametrize("leftovers", [["hosts.varnick-new"],
                                       ["hosts.varnick-write-lock"]])
def test_leftovers_of_a_killed_run_do_not_stop_the_next(varnick, leftovers):
    # Longer than the rebuilt file, so that any of it kept would show.
    for name in leftovers:
        (varnick.hosts_dir / name).write_bytes(b"junk\r\n" * 1000)
    hosts = b"127.0.0.1 localhost\r\n0.0.0.0 ads.test\r\n"
    varnick.hosts_path.write_bytes(hosts)
    assert varnick.run("del", "0.0.0.0 ads.test").returncode == 0
    assert varnick.hosts == remove_entry(hosts, b"0.0.0.0 ads.test")
    assert varnick.beside_hosts() == ["hosts"]


@pytest.mark.parametrize("kind", ["symlink", "hardlink", "dangling"])
def test_link_beside_the_hosts_file_is_never_written_through(varnick, tmp_path, temp_files, kind):
    # Only an administrator could plant it on Windows; del then refuses.
    victim = tmp_path / "victim"
    before = plant_link(varnick.hosts_dir / "hosts.varnick-new", victim, kind)
    hosts = b"127.0.0.1 localhost\r\n0.0.0.0 ads.test\r\n"
    varnick.hosts_path.write_bytes(hosts)
    result = varnick.run("del", "0.0.0.0 ads.test")
    assert result.returncode == 1
    new_file = _windows_name(varnick.hosts_dir) + "\\hosts.varnick-new"
    code = ERROR_IS_LINK if kind != "dangling" else 80  # ERROR_FILE_EXISTS
    assert del_records(varnick) == [
        ("ERROR", "DelEntry", f"Failed to write {new_file} {code}, hosts file unchanged")]
    assert (victim.read_bytes() if before is not None else victim.exists()) == (before or False)
    assert varnick.hosts == hosts
    assert [c.read_bytes() for c in temp_files.new()] == [hosts]


def test_temporary_copy_names_taken_by_links_are_passed_over(varnick, user_temp, tmp_path):
    # Every name the copy could take but one leads to the victim.
    temp = tmp_path / "temp"
    temp.mkdir()
    victim = tmp_path / "victim"
    before = plant_link(temp / "hos1.tmp", victim, "symlink")
    for number in range(2, 0x10000):
        if number != 0xBEEF:
            os.symlink(victim, temp / f"hos{number:x}.tmp")
    user_temp(win_path(temp))
    hosts = b"127.0.0.1 localhost\r\n0.0.0.0 ads.test\r\n"
    varnick.hosts_path.write_bytes(hosts)
    assert varnick.run("del", "0.0.0.0 ads.test").returncode == 0
    assert victim.read_bytes() == before
    assert (temp / "hosbeef.tmp").read_bytes() == hosts
    assert varnick.hosts == remove_entry(hosts, b"0.0.0.0 ads.test")


def test_temporary_folder_reached_through_a_link_is_refused(varnick, user_temp, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (tmp_path / "temp").symlink_to(elsewhere)
    user_temp(win_path(tmp_path / "temp"))
    result = varnick.run("del", "localhost")
    assert result.returncode == 1
    [record] = del_records(varnick)
    assert record[0] == "ERROR" and re.fullmatch(
        r"Refused temporary hosts file .*\\hos[0-9a-f]{1,4}\.tmp "
        f"{ERROR_IS_LINK}: a folder on its way leads elsewhere", record[2]), record
    assert list(elsewhere.iterdir()) == []
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_hosts_file_that_cannot_be_copied_is_left_alone(varnick, temp_files):
    # Held with no sharing at all: even the copy cannot read it.
    with varnick.hold(varnick.hosts_path, "rw", 0):
        result = varnick.run("del", "localhost")
    assert result.returncode == 1
    [copy] = temp_files.new()
    assert copy.read_bytes() == b""
    assert del_records(varnick) == [
        ("INFO", "DelEntry", f"Failed to open hosts file {ERROR_SHARING_VIOLATION}")]
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_missing_hosts_file_is_not_created(varnick):
    varnick.hosts_path.unlink()
    result = varnick.run("del", "localhost")
    assert result.returncode == 1
    assert del_records(varnick) == [
        ("INFO", "DelEntry", f"Failed to open hosts file {ERROR_FILE_NOT_FOUND}")], result
    assert not varnick.hosts_path.exists()


@pytest.fixture
def user_temp(wine):
    """Points the user's TEMP and TMP elsewhere for one test, then back."""
    key = r"HKCU\Environment"
    listing = run_wine(["reg", "query", key]).stdout.decode()
    saved = {}
    for name in ("TEMP", "TMP"):
        found = re.search(rf"^\s+{name}\s+(REG_\w+)\s+(.*?)\s*$", listing, re.M)
        saved[name] = found.groups() if found else None

    def point_at(windows_path):
        for name in saved:
            wine.registry.add(name, "REG_SZ", windows_path, key=key)

    yield point_at
    for name, value in saved.items():
        if value:
            wine.registry.add(name, value[0], value[1], key=key)
        else:
            wine.registry.delete_value(name, key=key)


@pytest.mark.parametrize("name, messages", [
    # The system forms no temporary name in a directory that is not there.
    ("missing", ["Unable to get tmp filename",
                 f"Failed to form a temporary file name {ERROR_DIRECTORY}"]),
    # A directory name that does not fit 260 characters.
    ("d" * 300, ["Unable to get temp path"]),
])
def test_no_temporary_file_leaves_the_hosts_file_alone(varnick, user_temp, tmp_path, name,
                                                       messages):
    user_temp(win_path(tmp_path / name))
    result = varnick.run("del", "localhost")
    assert result.returncode == 1
    records = del_records(varnick)
    assert [level for level, _, _ in records] == ["ERROR"] * len(messages)
    assert all(re.fullmatch(m, r[2]) for m, r in zip(messages, records, strict=True)), records
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def _windows_name(path):
    """The name Wine gives a file under the prefix's drive C:."""
    return run_wine(["winepath", "-w", str(path)]).stdout.decode().strip()


@contextlib.contextmanager
def small_disk(directory, size):
    """Mounts a tmpfs of `size` bytes on `directory` (needs root)."""
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(directory)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {mounted.stderr!r}")
    try:
        yield
    finally:
        subprocess.run(["umount", str(directory)], check=True)


def test_rebuild_that_runs_out_of_space_leaves_the_hosts_file_whole(varnick, temp_files):
    # The hosts file is sparse on a small disk: it takes little room as it
    # stands, but written out again it needs more than the disk has, so
    # writing the new content fails before anything is swapped in.
    head = b"127.0.0.1 localhost\r\n"
    tail = b"\r\n0.0.0.0 ads.test"
    size = 1 << 20
    with small_disk(varnick.hosts_dir, 256 * 1024):
        with open(varnick.hosts_path, "wb") as f:
            f.write(head)
            f.seek(size - len(tail))
            f.write(tail)
        result = varnick.run("del", "0.0.0.0 ads.test")
        left = varnick.hosts
        leftovers = varnick.beside_hosts()
    original = head + bytes(size - len(head) - len(tail)) + tail
    assert result.returncode == 1
    assert left == original
    assert leftovers == ["hosts"]
    [copy] = temp_files.new()
    assert copy.read_bytes() == original
    new_file = re.escape(_windows_name(varnick.hosts_dir) + "\\hosts.varnick-new")
    [record] = del_records(varnick)
    # Where the disk fills up mid-write, Wine reports a short write.
    assert record[0] == "ERROR"
    assert re.fullmatch(rf"Failed to write {new_file} ({ERROR_DISK_FULL}|{ERROR_WRITE_FAULT}), "
                        r"hosts file unchanged", record[2]), record


# About 20 MB of hosts lines; the entry is on one line of every block, so the
# rebuilt file differs from the original all along its length.
BLOCK = b"".join(b"0.0.0.0 host%04d.test\r\n" % i for i in range(1000))
KILLED_ENTRY = "0.0.0.0 host0042.test"


def big_hosts(size):
    """`size` bytes or a little more of whole blocks, and the same without
    KILLED_ENTRY. Each block ends a line, so no match runs across blocks."""
    count = -(-size // len(BLOCK))
    return BLOCK * count, remove_entry(BLOCK, KILLED_ENTRY.encode()) * count


def test_del_killed_at_any_instant_leaves_the_old_or_the_new_file(varnick, temp_files):
    old, new = big_hosts(20 * 1024 * 1024)
    lengths = []
    for _ in range(3):
        varnick.hosts_path.write_bytes(old)
        started = time.monotonic()
        assert varnick.run("del", KILLED_ENTRY).returncode == 0
        lengths.append(time.monotonic() - started)
        assert varnick.hosts == new
    normal = sorted(lengths)[1]
    seen = []
    # Kill instants from the start to a little past a whole run's length.
    for percent in random.Random(20).sample(range(0, 130, 5), 20):
        for copy in temp_files.new():
            copy.unlink()
        varnick.hosts_path.write_bytes(old)
        process = varnick.start("del", KILLED_ENTRY)
        time.sleep(normal * percent / 100)
        process.kill()
        process.wait()
        left = varnick.hosts if varnick.hosts_path.exists() else None
        seen.append((percent, "old" if left == old else "new" if left == new
                     else "missing" if left is None else len(left)))
    torn = [s for s in seen if s[1] not in ("old", "new")]
    assert torn == [], f"{len(torn)} kills of {len(seen)} tore the file (a run: {normal:.3f} s): {seen}"
    # What a killed run leaves beside the hosts file does not stop the next.
    varnick.hosts_path.write_bytes(old)
    assert varnick.run("del", KILLED_ENTRY).returncode == 0
    assert varnick.hosts == new
    assert varnick.beside_hosts() == ["hosts"]


def run_together(varnick, starts):
    """Starts each (delay, args) at its delay from now and returns
    (args, Result) pairs once all have ended."""
    began = time.monotonic()
    with contextlib.ExitStack() as outputs:
        running = []
        for delay, args in starts:
            time.sleep(max(0.0, began + delay - time.monotonic()))
            out = outputs.enter_context(tempfile.TemporaryFile())
            running.append((args, out, varnick.start(*args, stdout=out)))
        done = []
        for args, out, process in running:
            returncode = process.wait(timeout=timeout(60))
            out.seek(0)
            done.append((args, Result(subprocess.CompletedProcess(args, returncode, out.read()))))
    return done


def last_record(result):
    """The last record a run echoed, as (level, category, message)."""
    return parse_records(result.text.splitlines()[-1])[0]


RACED_ENTRY = "0.0.0.0 raced.test"


@pytest.mark.parametrize("attempt", range(3))
def test_adds_that_race_dels_all_go_in(varnick, temp_files, attempt):
    unit = BLOCK + RACED_ENTRY.encode() + b"\r\n"
    count = -(-8 * 1024 * 1024 // len(unit))
    varnick.hosts_path.write_bytes(unit * count)
    rebuilt = remove_entry(unit, RACED_ENTRY.encode()) * count
    entries = [f"10.0.{attempt}.{i} added{i}.test" for i in range(6)]
    # The adds start one after another while the dels run; each waits for
    # the write lock, so none is refused and none is erased.
    done = run_together(varnick, [(0, ("del", RACED_ENTRY))] * 3 +
                        [(0.015 * i, ("add", e)) for i, e in enumerate(entries, 1)])
    outcomes = [(*args, r.returncode, last_record(r)) for args, r in done]
    assert [o[2] for o in outcomes] == [0] * len(outcomes), outcomes
    hosts = varnick.hosts
    assert [hosts.count(b"\r\n" + e.encode()) for e in entries] == [1] * len(entries), outcomes
    # The rebuilt lines, then every add, in any order.
    assert hosts.startswith(rebuilt), outcomes
    assert sorted(hosts[len(rebuilt):].split(b"\r\n")) == sorted(
        [b""] + [e.encode() for e in entries]), outcomes


def test_hosts_file_is_there_at_every_instant_of_a_replacement(varnick, temp_files):
    # Another thread looks the hosts file up as fast as it can while dels
    # replace it; a swap done as two renames leaves a moment with no file.
    old, new = big_hosts(1024 * 1024)
    stop = threading.Event()
    missing = []

    def watch():
        while not stop.is_set():
            if not varnick.hosts_path.exists():
                missing.append(time.monotonic())

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        for _ in range(10):
            varnick.hosts_path.write_bytes(old)
            assert varnick.run("del", KILLED_ENTRY).returncode == 0
    finally:
        stop.set()
        watcher.join()
    assert varnick.hosts == new
    assert not missing, f"the hosts file was found missing {len(missing)} times"
