"""What interrupted sessions leave behind, and putting it right: --recover
line by line, a journal it cannot read kept; --clean, which removes what
Varnick made and nothing else, never through a link; and --status, which says
what runs and what is left and changes nothing."""

import contextlib
import os
import re
import signal

import pytest

from del_entry import temp_dir  # noqa: F401 (a fixture: the Wine user's temporary directory)
from session_harness import (LOG_SHOWN, VARNICK_FAILED, VARNICK_FOLDER, HeldSession, notes,
                             session, session_started, session_varnick, type_hosts, wait_until)
from session_harness import unused_port, varnick  # noqa: F401 (fixtures)
from wine_harness import PREFIX, plant_link, timeout, win_path


def test_clean_removes_what_varnick_made_and_nothing_else(varnick, tmp_path, temp_dir):
    assert session(varnick, "--add", "10.0.0.1 once.test", "--", "cmd", "/c", "exit 0").returncode == 0
    locks = [varnick.hosts_dir / f"hosts.varnick-{kind}-lock" for kind in ("write", "serving")]
    (VARNICK_FOLDER / "varnick.log.2").write_bytes(b"old records\r\n")
    (VARNICK_FOLDER / "notes.txt").write_bytes(b"the user's own\r\n")
    victim = plant_link(VARNICK_FOLDER / "varnick.log.3", tmp_path / "victim", "symlink")
    theirs = temp_dir / "hos1.tmp"
    theirs.write_bytes(b"another program's file\r\n")
    try:
        # As a running session's Varnick holds them.
        with varnick.hold(locks[0], "r", 3), varnick.hold(VARNICK_FOLDER / "varnick.log", "r", 3):
            held = session(varnick, "--clean")
        assert held.returncode == 0, held
        folder = win_path(VARNICK_FOLDER).replace("Z:" + str(PREFIX / "drive_c").replace("/", "\\"), "C:")
        assert notes(held)[1:] == [
            f"left the lock file {win_path(locks[0])}: a running Varnick holds it",
            f"removed the lock file {win_path(locks[1])}",
            f"left {folder}\\notes.txt: Varnick did not make it",
            f"left {folder}\\varnick.log: a running Varnick writes it",
            f"left {folder}\\varnick.log.3: a link, not a file Varnick wrote",
            f"removed 1 of Varnick's logs; left {folder}: other files are in it",
            notes(held)[-1]], held
        assert "%TEMP% named hos*.tmp" in notes(held)[-1]
        assert (tmp_path / "victim").read_bytes() == victim and theirs.exists()
        (VARNICK_FOLDER / "notes.txt").unlink()
        (VARNICK_FOLDER / "varnick.log.3").unlink()
        again = session(varnick, "--clean")
        assert again.returncode == 0, again
        assert not any(lock.exists() for lock in locks) and not VARNICK_FOLDER.exists()
        assert notes(again)[-2] == f"removed {folder} with Varnick's logs"
    finally:
        theirs.unlink()
        # A failure above must not leave the link to trip the next run.
        for planted in ("varnick.log.3", "notes.txt"):
            (VARNICK_FOLDER / planted).unlink(missing_ok=True)


@pytest.mark.parametrize("kind", ["symlink", "hardlink"])
def test_clean_never_removes_through_a_link_at_a_lock_files_name(varnick, tmp_path, kind):
    lock = varnick.hosts_dir / "hosts.varnick-write-lock"
    victim = plant_link(lock, tmp_path / "victim", kind)
    result = session(varnick, "--clean")
    assert result.returncode == VARNICK_FAILED, result
    assert (tmp_path / "victim").read_bytes() == victim and os.path.lexists(lock)
    assert f"could not remove the lock file {win_path(lock)} (error 681)" in notes(result), result


def session_files(varnick):
    return sorted(p.name for p in varnick.hosts_dir.glob("hosts.varnick-session-*"))


def test_one_recovery_puts_right_each_journal_and_keeps_one_it_cannot_read(varnick):
    entries = {"a" * 32: b"10.0.0.1 a.test", "b" * 32: b"10.0.0.2 b.test"}
    for name, entry in entries.items():
        (varnick.hosts_dir / f"hosts.varnick-session-{name}.journal").write_bytes(
            b"varnick session journal 1\r\nstarted 2026-12-07 13:25:03\r\n" +
            entry.hex().encode() + b"\r\n")
        varnick.hosts_path.write_bytes(varnick.hosts + b"\r\n" + entry)
    unreadable = varnick.hosts_dir / f"hosts.varnick-session-{'c' * 32}.journal"
    unreadable.write_bytes(b"not a journal at all\r\n")
    result = session(varnick, "--recover")
    assert result.returncode == VARNICK_FAILED, result
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    assert session_files(varnick) == [unreadable.name]
    said = notes(result)
    assert [n for n in said if n.startswith("put right")] == [
        "put right an interrupted session that started 2026-12-07 13:25:03, and removed its "
        "journal"] * 2
    assert ("could not put right an interrupted session that started at an unknown time: its "
            f"journal could not be read (error 13); its journal {win_path(unreadable)} is kept "
            "for the next recovery") in said, said


@pytest.mark.parametrize("put_right_by", ["next-session", "recover", "clean"])
def test_an_interrupted_session_is_put_right_line_by_line(varnick, tmp_path, unused_port,
                                                          put_right_by):
    ours = ["10.0.0.1 a.test", "10.0.0.2 b.test", "10.0.0.3 gone.test"]
    with session_started(varnick, tmp_path, "--port", unused_port, "--for", "60s",
                         *(arg for entry in ours for arg in ("--add", entry))) as (tool, _):
        wait_until(lambda: varnick.hosts.endswith(b"gone.test\r\n"))
        # Both killed, Varnick first, as a power cut would end them: nobody
        # takes the entries out, and they and the journal stay.
        for pid in session_varnick(unused_port):
            os.kill(pid, signal.SIGKILL)
        tool.kill()
        tool.wait(timeout=timeout(30))
    [journal] = (varnick.hosts_dir / name for name in session_files(varnick))
    started = re.search(rb"\r\nstarted (.+?)\r\n", journal.read_bytes()).group(1).decode()
    # Another program takes one of the lines out and adds one of its own.
    varnick.hosts_path.write_bytes(varnick.hosts.replace(b"10.0.0.3 gone.test\r\n", b"") +
                                   b"10.0.0.9 other.test")
    theirs = varnick.hosts
    # A journal that another process holds, as a running session's Varnick
    # does, is left to it, and said so.
    with varnick.hold(journal, "r", 0):
        held = session(varnick, "--recover")
    assert held.returncode == 0, held
    assert f"left {win_path(journal)}: another process holds it, as a running session does" \
        in notes(held)
    assert varnick.hosts == theirs and journal.exists()

    if put_right_by != "next-session":
        result = session(varnick, f"--{put_right_by}")
    else:
        result = session(varnick, "--add", "10.0.0.5 next.test", *type_hosts(varnick))
        # Its entry went into the file as put right.
        assert result.stdout.endswith(varnick.DEFAULT_HOSTS + b"10.0.0.9 other.test"
                                      b"\r\n10.0.0.5 next.test\r\n")
    assert result.returncode == 0, result
    # Byte for byte: the CR LF that the next session put before its line went with it.
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"10.0.0.9 other.test"
    assert varnick.beside_hosts() == ["hosts"]
    assert notes(result)[:4] == [
        f"removed '10.0.0.1 a.test', left by an interrupted session that started {started}",
        f"removed '10.0.0.2 b.test', left by an interrupted session that started {started}",
        f"skipped '10.0.0.3 gone.test', added by an interrupted session that started {started}: "
        "it is no longer in the hosts file",
        f"put right an interrupted session that started {started}, and removed its journal"]
    if put_right_by == "clean":
        # Then the lock files, which no Varnick holds any more.
        assert sorted(p.name for p in varnick.hosts_dir.iterdir()) == ["hosts"]
        assert notes(result)[4:6] == [f"removed the lock file {win_path(varnick.hosts_dir)}\\hosts"
                                      f".varnick-{kind}-lock" for kind in ("write", "serving")]
        return
    nothing = session(varnick, "--recover")
    assert nothing.returncode == 0, nothing
    assert notes(nothing) == ["no interrupted session to recover"]


@pytest.fixture
def temp_copies(temp_dir):  # noqa: F811 (the fixture imported above)
    """Makes copies as `varnick del` leaves them in the Wine user's temporary
    directory, where only those stand while the test runs: copies that were
    there before wait in a folder aside and come back afterwards."""
    aside = temp_dir / "status-test-aside"
    aside.mkdir()
    for path in temp_dir.glob("hos*.tmp"):
        path.rename(aside / path.name)
    made = []

    def make(count, size):
        for number in range(count):
            made.append(temp_dir / f"hos{0xbe00 + number:x}.tmp")
            made[-1].write_bytes(b"x" * size)

    try:
        yield make
    finally:
        for path in made:
            path.unlink(missing_ok=True)
        for path in aside.iterdir():
            path.rename(temp_dir / path.name)
        aside.rmdir()


RECOVER_ADVICE = "  to take its entries out of the hosts file, run: varnick-session --recover"


@contextlib.contextmanager
def nothing_left(varnick, temp_copies):
    yield [f"hosts file: {win_path(varnick.hosts_path)} ({len(varnick.hosts)} bytes)",
           "sessions: none is running",
           # Under Wine the session runs elevated, so it may look at the serving lock.
           "server: no Varnick is serving",
           "interrupted sessions: none",
           re.compile(r"temporary copies from varnick del: none in C:\\.+")]


@contextlib.contextmanager
def killed_session_left(varnick, temp_copies):
    """A backup, a journal and the journal's lines in the hosts file, as a
    session killed together with its Varnick leaves them."""
    name = "hosts.varnick-session-" + "0123456789abcdef" * 2
    backup, journal = (varnick.hosts_dir / f"{name}.{kind}" for kind in ("backup", "journal"))
    backup.write_bytes(varnick.hosts)
    entries = [b"10.0.0.1 a.test", b"10.0.0.2 b\x0b.test"]
    journal.write_bytes(b"varnick session journal 1\r\nstarted 2026-12-07 13:25:03\r\n" +
                        b"".join(entry.hex().encode() + b"\r\n" for entry in entries))
    varnick.hosts_path.write_bytes(varnick.hosts + b"".join(b"\r\n" + e for e in entries))
    yield ["sessions: none is running",
           "interrupted session: started 2026-12-07 13:25:03, 2 entries in the hosts file",
           "  entry: 10.0.0.1 a.test",
           "  entry: 10.0.0.2 b\\x0B.test",
           f"  journal: {win_path(journal)} ({journal.stat().st_size} bytes)",
           f"  backup: {win_path(backup)} ({backup.stat().st_size} bytes)",
           RECOVER_ADVICE]


@contextlib.contextmanager
def copies_left_by_del(varnick, temp_copies):
    temp_copies(3, 1000)
    yield [re.compile(r"temporary copies from varnick del: 3 in C:\\.+, 2\.9 KB in all"),
           '  varnick del leaves one each time; other programs may name files so too: look at '
           'them (dir "%TEMP%\\hos*.tmp") before deleting any']


@contextlib.contextmanager
def session_running(varnick, temp_copies):
    held = HeldSession(varnick, b"10.0.0.1 held.test")
    try:
        # Its journal holds the entry before Varnick replies to the add.
        wait_until(lambda: any(b"10.0.0.1 held.test".hex().encode() in path.read_bytes()
                               for path in varnick.hosts_dir.glob("*.journal")))
        # And its Varnick has said so and gone back to reading: the log must
        # stand still while --status looks.
        wait_until(lambda: varnick.records()[-2:] == [
            ("INFO", "Server", "Written to hosts file '10.0.0.1 held.test'"),
            ("INFO", "Server", "Reading from console")])
        yield ["sessions: 1 is running",
               "server: a Varnick is serving (a varnick server, or a session's Varnick)",
               re.compile(r"running session: started [-0-9: ]+, 1 entry in the hosts file"),
               "  entry: 10.0.0.1 held.test", "interrupted sessions: none"]
        assert held.end() == 0
    finally:
        held.kill()


@pytest.mark.parametrize("state", [nothing_left, killed_session_left, copies_left_by_del,
                                   session_running],
                         ids=["nothing", "killed-session", "del-copies", "session-running"])
def test_status_says_what_runs_and_what_is_left_and_changes_nothing(varnick, temp_copies, state):
    def everything():
        return sorted(varnick.hosts_dir.iterdir()), varnick.hosts, varnick.log_bytes()

    with state(varnick, temp_copies) as expected:
        before = everything()
        result = session(varnick, "--status")
        assert result.returncode == 0, result
        lines = result.stdout.decode().splitlines()
        for line in expected + [re.compile(re.escape(f"varnick.log: {LOG_SHOWN.decode()} (") +
                                           r"(not there|[0-9.]+ (bytes?|KB|MB))\)")]:
            found = (any(line.fullmatch(it) for it in lines) if isinstance(line, re.Pattern)
                     else line in lines)
            assert found, (line, lines)
        # Nothing made (no lock file either), changed or put right, and no Varnick started.
        assert everything() == before
        assert result.stderr == b""
