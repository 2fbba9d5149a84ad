"""Log rotation through the real varnick.exe: a varnick.log past 20480000 bytes
becomes varnick.log.1, older copies move up to .10, and the record that found
the file too large starts the fresh one. A link planted at the log's name or
at a copy's name is neither written nor moved, nor is the file it leads to.

Each `add` run logs two records, "Using hosts file ..." and then the add
record. The log stream's position reads 0 until it has written, so a file
that is already too large when a run starts receives the first record and is
rotated before the second.
"""

import os
import re

import pytest

from wine_harness import RECORD, parse_records

LIMIT = 20480000
HEAD = b"oldest line of the big log\r\n"
FILE_SHARE_READ_WRITE = 3  # no FILE_SHARE_DELETE: the file cannot be moved
VICTIM = b"a file of another program's\r\n"
LEFT_ALONE = ("ERROR", "Main", "Log file varnick.log is not a plain file with one link; "
              "records go to standard output only")


def make_big_log(path, size=LIMIT + 1):
    """A log file of `size` bytes, sparse past its first line."""
    with open(path, "wb") as f:
        f.write(HEAD)
        f.truncate(size)


def copy_path(varnick, number):
    return varnick.log_path.with_name(f"varnick.log.{number}")


def copies(varnick):
    """The copy numbers present beside the log file, with stray names too."""
    pattern = re.compile(r"varnick\.log\.(\d+)$")
    return sorted(int(m.group(1)) for p in varnick.work_dir.iterdir()
                  if (m := pattern.match(p.name)))


def records_of(data):
    return parse_records(data.decode("utf-8"))


def console_records(result):
    """What a run printed from its first record on; every line there must be
    a record."""
    lines = result.text.splitlines()
    first = next((i for i, line in enumerate(lines) if RECORD.match(line)), len(lines))
    return parse_records("\n".join(lines[first:]))


def using_record(varnick):
    return ("INFO", "Main", f"Using hosts file {varnick.hosts_variable}\\hosts")


def add_record(entry):
    return ("INFO", "AddEntry", f"Written to hosts file '{entry}'")


def test_big_log_at_start_gets_one_record_then_rotates_before_the_next(varnick):
    make_big_log(varnick.log_path)
    result = varnick.run("add", "10.0.0.1 rotate.test")
    assert result.returncode == 0

    assert copies(varnick) == [1]
    old = copy_path(varnick, 1).read_bytes()
    assert old.startswith(HEAD)
    assert records_of(old[LIMIT + 1:]) == [using_record(varnick)]
    # The record that triggered the rotation is the fresh file's first line.
    assert varnick.records() == [add_record("10.0.0.1 rotate.test")]
    # The rotation printed nothing of its own: after the start-up report the
    # console shows the two records, the second exactly as the file holds it.
    assert console_records(result) == [using_record(varnick), add_record("10.0.0.1 rotate.test")]
    assert result.stdout.replace(b"\r\r\n", b"\r\n").endswith(varnick.log_bytes())


@pytest.mark.parametrize("over, rotated", [(0, False), (1, True)], ids=["at-limit", "one-over"])
def test_only_a_log_past_the_limit_is_rotated(varnick, over, rotated):
    # Sized so that the run's first record brings it to the limit, or one
    # byte past it, just before the add record checks it.
    first = f"hh:mm:ss INFO  Main - Using hosts file {varnick.hosts_variable}\\hosts\r\n".encode()
    make_big_log(varnick.log_path, LIMIT - len(first) + over)
    assert varnick.run("add", "limit.test").returncode == 0

    if rotated:
        assert copies(varnick) == [1]
        assert copy_path(varnick, 1).stat().st_size == LIMIT + 1
        assert varnick.records() == [add_record("limit.test")]
    else:
        assert copies(varnick) == []
        assert varnick.log_path.stat().st_size > LIMIT
        assert records_of(varnick.log_bytes()[LIMIT - len(first):]) == [
            using_record(varnick), add_record("limit.test")]


@pytest.mark.parametrize("before, link, after", [
    # All ten: the old .10 is discarded, the rest move up one.
    (list(range(1, 11)), None, {n: n - 1 for n in range(2, 11)}),
    # A gap moves up with the copies: .3 missing becomes .4 missing.
    ([1, 2, 4], None, {2: 1, 3: 2, 5: 4}),
    # A missing .9 leaves .10 where it is.
    ([10], None, {10: 10}),
    # A symbolic link at .3 is no copy: it stays, and its target with it.
    ([], 3, {3: "victim"}),
    # Copy 2 moved onto the link at .3 replaces the link, not its target.
    ([2], 3, {3: 2}),
], ids=["ten", "gap", "only-ten", "symlink-stays", "symlink-replaced"])
def test_copies_move_up_one_number(varnick, before, link, after):
    for number in before:
        copy_path(varnick, number).write_bytes(b"copy %d\r\n" % number)
    victim = varnick.work_dir.parent / "victim"
    if link:
        victim.write_bytes(VICTIM)
        os.symlink(victim, copy_path(varnick, link))
    make_big_log(varnick.log_path)
    assert varnick.run("add", "10.0.0.1 shift.test").returncode == 0

    assert copies(varnick) == sorted([1, *after])
    assert copy_path(varnick, 1).read_bytes().startswith(HEAD)
    for number, origin in after.items():
        expected = VICTIM if origin == "victim" else b"copy %d\r\n" % origin
        assert copy_path(varnick, number).read_bytes() == expected, number
    if link:
        assert victim.read_bytes() == VICTIM
    assert varnick.records() == [add_record("10.0.0.1 shift.test")]


@pytest.mark.parametrize("plant", ["symlink", "hard-link", "dangling-symlink"])
def test_link_at_the_log_name_is_left_alone(varnick, plant):
    """The file a link at varnick.log leads to is not written, created or
    rotated, though it is past the limit; the run does its job and its
    records, with one saying why, go to standard output."""
    victim = varnick.work_dir.parent / "victim"
    if plant != "dangling-symlink":
        make_big_log(victim)
    before = victim.read_bytes() if victim.exists() else None
    (os.link if plant == "hard-link" else os.symlink)(victim, varnick.log_path)
    result = varnick.run("add", "10.0.0.1 link.test")

    assert result.returncode == 0
    assert varnick.hosts.endswith(b"\r\n10.0.0.1 link.test")
    # The record comes from setting up the log, before the start-up report.
    printed = [line for line in result.text.splitlines() if RECORD.match(line)]
    assert parse_records("\n".join(printed)) == [
        LEFT_ALONE, using_record(varnick), add_record("10.0.0.1 link.test")]
    if before is None:
        assert not victim.exists()
    else:
        assert victim.read_bytes() == before
    assert copies(varnick) == []


def test_log_held_open_keeps_its_records_and_each_record_retries(varnick):
    make_big_log(varnick.log_path)
    copy_path(varnick, 1).write_bytes(b"copy 1\r\n")
    with varnick.hold(varnick.log_path, "r", FILE_SHARE_READ_WRITE):
        for entry in ("held-1", "held-2"):
            assert varnick.run("add", entry).returncode == 0
    # Both runs appended to the big file, which could not be moved.
    log = varnick.log_bytes()
    assert log.startswith(HEAD)
    assert records_of(log[LIMIT + 1:]) == [
        using_record(varnick), add_record("held-1"), using_record(varnick), add_record("held-2")]
    # Each run tried again and found the file held: the copies stayed where
    # they were, so holding the log does not wear them away.
    assert copies(varnick) == [1]
    assert copy_path(varnick, 1).read_bytes() == b"copy 1\r\n"

    # Released, the next record that finds it too large moves it.
    assert varnick.run("add", "released").returncode == 0
    assert copies(varnick) == [1, 2]
    assert copy_path(varnick, 2).read_bytes() == b"copy 1\r\n"
    assert records_of(copy_path(varnick, 1).read_bytes()[LIMIT + 1:])[-1] == using_record(varnick)
    assert varnick.records() == [add_record("released")]


def test_failed_reopening_leaves_records_on_the_console_only(varnick):
    """Wine looks a name up without regard to case when the exact name is
    missing: once varnick.log has been moved away, reopening it finds the
    directory VARNICK.LOG, and the open fails."""
    make_big_log(varnick.log_path)
    (varnick.work_dir / "VARNICK.LOG").mkdir()
    result = varnick.run("add", "10.0.0.1 reopen.test")

    assert result.returncode == 0
    assert varnick.hosts.endswith(b"\r\n10.0.0.1 reopen.test")
    assert copies(varnick) == [1]
    assert records_of(copy_path(varnick, 1).read_bytes()[LIMIT + 1:]) == [using_record(varnick)]
    assert not varnick.log_path.exists()
    assert console_records(result) == [using_record(varnick), add_record("10.0.0.1 reopen.test")]
