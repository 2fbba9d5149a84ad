"""Server mode, the session around the requests: the backup, the connection,
a hosts file that another process holds, a failed restore, a restore killed
at any instant, Ctrl+C on the console, and a request too large to be held in
memory."""

import random
import re
import resource
import socket
import struct
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from controller import SHUTDOWN, Controller, ServerRun, add, server_session
from wine_harness import (EXE, SEND_CTRL_C, Varnick, plant_link, run_captured, run_on_console,
                          win_path)

ERROR_ACCESS_DENIED = 5
ERROR_PATH_NOT_FOUND = 3
ERROR_SHARING_VIOLATION = 32
ERROR_IS_LINK = 681
ERROR_FOLDER = 336
WSAECONNREFUSED = 10061


def server_records(varnick):
    return [r for r in varnick.records() if r[1] in ("Server", "Packet")]


def test_no_controller_listening_ends_with_8_after_the_backup(varnick, tmp_path):
    backup = tmp_path / "backup"
    # Bound but not listening: the port is ours, and a connection is refused.
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        result = varnick.run("server", taken.getsockname()[1], win_path(backup))
    assert result.returncode == 8
    assert server_records(varnick) == [("ERROR", "Server", f"Failed to connect socket error={WSAECONNREFUSED}")]
    assert backup.read_bytes() == varnick.DEFAULT_HOSTS
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("kind, code", [
    # A folder that is not there: nothing is made, not even the folder.
    ("missing", ERROR_PATH_NOT_FOUND), ("missing-\u00fcber", ERROR_PATH_NOT_FOUND),
    # A link, or a folder on the way that leads elsewhere: refused before
    # anything is written through it.
    ("symlink", ERROR_IS_LINK), ("hardlink", ERROR_IS_LINK), ("dangling", ERROR_IS_LINK),
    ("linked folder", ERROR_IS_LINK),
])
def test_backup_that_cannot_be_written_ends_with_1_before_connecting(varnick, tmp_path, kind, code):
    victim = tmp_path / "victims" / "victim"
    victim.parent.mkdir()
    before = None
    if kind.startswith("missing"):
        backup = tmp_path / kind / "backup"
    elif kind == "linked folder":
        (tmp_path / "linked").symlink_to(victim.parent)
        backup = tmp_path / "linked" / "victim"
        before = plant_link(tmp_path / "unused", victim, "symlink")
    else:
        backup = tmp_path / "backup"
        before = plant_link(backup, victim, kind)
    controller = Controller()
    try:
        result = varnick.run("server", controller.port, win_path(backup))
        assert controller.accepts_nothing(0.5)
    finally:
        controller.close()
    assert result.returncode == 1
    # The record names the hosts directory, not the hosts file.
    assert server_records(varnick) == [
        ("INFO", "Server", f"Failed to copy hosts file from {varnick.hosts_variable} to "
                           f"{win_path(backup)} error code {code}")]
    if kind.startswith("missing"):
        assert not backup.parent.exists()
    if before is None:
        assert not victim.exists()
    else:
        assert victim.read_bytes() == before
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("kind", ["symlink", "hardlink"])
def test_restore_never_writes_through_a_link_beside_the_hosts_file(varnick, tmp_path, kind):
    backup = tmp_path / "backup"
    victim = tmp_path / "victim"
    with server_session(varnick, backup) as (controller, run):
        assert controller.request(add(b"10.0.0.11 stays.test")) == 0
        # Only an administrator could do this on Windows: the restore then
        # fails, keeps the backup and names it, and touches nothing else.
        before = plant_link(varnick.hosts_dir / "hosts.varnick-new", victim, kind)
        assert controller.request(SHUTDOWN) == 0
        assert run.wait() == 1
    assert server_records(varnick)[-1] == (
        "INFO", "Server", f"Failed to copy hosts file from {win_path(backup)} to "
                          f"{varnick.hosts_variable} error code {ERROR_IS_LINK}")
    assert victim.read_bytes() == before
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.11 stays.test"
    assert backup.read_bytes() == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("replace_with, code, hosts_after", [
    (None, 0, Varnick.DEFAULT_HOSTS),
    ("folder", 1, None),
])
def test_restore_when_the_hosts_file_is_gone(varnick, tmp_path, replace_with, code, hosts_after):
    backup = tmp_path / "backup"
    with server_session(varnick, backup) as (controller, run):
        assert controller.request(add(b"10.0.0.12 gone.test")) == 0
        varnick.hosts_path.unlink()
        if replace_with == "folder":
            varnick.hosts_path.mkdir()
        assert controller.request(SHUTDOWN) == 0
        assert run.wait() == code
    records = server_records(varnick)
    if code == 0:
        assert records[-1] == ("INFO", "Server",
                               f"The hosts file was missing; put back from {win_path(backup)}")
        assert varnick.hosts == hosts_after
    else:
        # The record log readers know, then the step that failed: the swap.
        assert records[-2:] == [
            ("INFO", "Server", f"Failed to copy hosts file from {win_path(backup)} to "
                               f"{varnick.hosts_variable} error code {ERROR_FOLDER}"),
            ("ERROR", "Server", f"Failed to put the restored hosts file in place of the old one "
                                f"{ERROR_FOLDER}; the backup is kept in {win_path(backup)}")]
        assert varnick.hosts_path.is_dir()
    assert backup.read_bytes() == Varnick.DEFAULT_HOSTS


def test_a_second_server_waits_for_the_first_to_restore(varnick, tmp_path):
    with server_session(varnick, tmp_path / "first") as (first, first_run):
        assert first.request(add(b"10.0.0.13 first.test")) == 0
        second = Controller()
        second_run = ServerRun(varnick, second, tmp_path / "second")
        try:
            # It neither backs up nor connects while the first serves.
            assert second.accepts_nothing(2)
            assert not (tmp_path / "second").exists()
            assert first.request(SHUTDOWN) == 0
            assert first_run.wait() == 0
            second.accept()
            assert (tmp_path / "second").read_bytes() == varnick.DEFAULT_HOSTS
            assert second.request(add(b"10.0.0.14 second.test")) == 0
            assert second.request(SHUTDOWN) == 0
            assert second_run.wait() == 0
        finally:
            second_run.kill()
            second.close()
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    waits = [r for r in server_records(varnick) if r[2].startswith("Waiting for another")]
    assert waits == [("INFO", "Server", "Waiting for another Varnick server to end, for up to 60 s")]


def session_files(varnick):
    return sorted(p.name.rsplit(".", 1)[1] for p in varnick.hosts_dir.glob("hosts.varnick-session-*"))


ESCAPES = b"127.0.0.1 ctl.test\x1b]0;owned\x07\x1b[2J"


# What no varnick-session sends is refused before anything is written: an
# entry with a failure reply and one record, serving going on; a frame that
# declares more than any request with the end of the connection, the take-out
# running as at any end, and no block set aside for its body.
@pytest.mark.parametrize("request_, reply, record", [
    (add(b"10.0.0.15 s.test"), 0, None),
    (add(ESCAPES), 1, r"Refused: the entry '127.0.0.1 ctl.test\x1B]0;owned\x07\x1B[2J' holds the "
     "control character 0x1B"),
    (add(b"127.0.0.1 " + b"a" * 245), 1, "' is 255 bytes long as sent; at most 254 fit"),
    (struct.pack(">I", 1 << 30), None, "Request of 1073741824 bytes is longer than the 4096 bytes "
     "a session's request may have: the connection ends unread"),
], ids=["entry", "control characters", "one byte too long", "a 1 GiB frame"])
def test_session_mode_keeps_a_journal_alone_and_removes_it(varnick, request_, reply, record):
    with server_session(varnick, None) as (controller, run):
        if reply is None:
            controller.send(request_)
        else:
            assert controller.request(request_) == reply
            assert session_files(varnick) == ["journal"]
            assert controller.request(SHUTDOWN) == 0
        # What it took out comes as data, after the reply and its take-out.
        took_out = [("took-out", b"10.0.0.15 s.test", b"", b"", 0)] if reply == 0 else []
        assert controller.report() == took_out
        assert run.wait() == 0
    assert varnick.beside_hosts() == ["hosts"]
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    if record:
        assert [m for _, c, m in varnick.records() if c == "Server" and m.endswith(record)]
        assert not re.search(rb"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]", varnick.log_bytes())


@pytest.mark.parametrize("recover_with", ["session recover", "next session"])
def test_killed_session_is_put_right_line_by_line(varnick, recover_with):
    # Both processes killed, as a power cut would end them: the entries and
    # the journal stay. Another program then adds a line.
    with server_session(varnick, None) as (controller, run):
        for entry in (b"10.0.0.16 a.test", b"10.0.0.17 b.test", b"10.0.0.18 gone.test"):
            assert controller.request(add(entry)) == 0
        run.kill()
    varnick.hosts_path.write_bytes(varnick.hosts.replace(b"10.0.0.18 gone.test\r\n", b"") +
                                   b"10.0.0.99 other.test")
    assert session_files(varnick) == ["journal"]
    if recover_with == "session recover":
        assert varnick.run("session", "recover").returncode == 0
    else:
        with server_session(varnick, None) as (controller, run):
            # Its report of the recovery tells what its records tell.
            assert [item[:2] for item in controller.recovery] == [
                ("removed", b"10.0.0.16 a.test"), ("removed", b"10.0.0.17 b.test"),
                ("skipped", b"10.0.0.18 gone.test"), ("recovered", b"")]
            assert controller.request(SHUTDOWN) == 0
            assert run.wait() == 0
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"10.0.0.99 other.test"
    assert varnick.beside_hosts() == ["hosts"]
    recovery = [r[2] for r in varnick.records() if r[1] == "Recovery"]
    started = re.fullmatch(r"Recovered the interrupted session started (.+)", recovery[-1]).group(1)
    assert recovery == [
        f"Removed '10.0.0.16 a.test' left by the session started {started}",
        f"Removed '10.0.0.17 b.test' left by the session started {started}",
        f"Skipped '10.0.0.18 gone.test' of the session started {started}: no longer in the hosts file",
        f"Recovered the interrupted session started {started}"]
    # Nothing left to do: said, and still a success.
    assert varnick.run("session", "recover").returncode == 0
    assert [r[2] for r in varnick.records() if r[1] == "Recovery"][-1] == "No interrupted session to recover"


def hosts_file_identity(varnick):
    """The hosts file's identity as Varnick's journal names it: the volume
    serial of Wine's Z: drive and the file's index, which is its inode."""
    shown = run_captured(["wine", "cmd", "/c", "vol", "Z:"], 30, env=varnick.env()).stdout
    serial = int(b"".join(re.search(rb"([0-9A-Fa-f]{4})-([0-9A-Fa-f]{4})", shown).groups()), 16)
    return f"{serial:08x}-{varnick.hosts_path.stat().st_ino:016x}".encode()


def journal(*records):
    return b"varnick session journal 2\r\nstarted 2026-12-07 13:25:03\r\n" + b"".join(
        r + b"\r\n" for r in records)


def line(entry):
    return b"L " + entry.hex().encode()


MANY = [b"10.1.%d.%d many%d.test" % (n // 250, n % 250, n) for n in range(5000)]


# Each case: the hosts file and a journal as a session cut off at some
# instant left them; what the recovery leaves, and how many lines it takes out.
@pytest.mark.parametrize("hosts, journal_of, after, removed", [
    # Cut after the swap that took the line out, before the journal said so:
    # the user's identical line stays.
    (b"10.0.0.1 a.test\r\n", lambda v: journal(line(b"10.0.0.1 a.test"),
                                               b"T " + hosts_file_identity(v)),
     b"10.0.0.1 a.test\r\n", 0),
    (b"10.0.0.1 a.test\r\n", lambda v: journal(line(b"10.0.0.1 a.test"), b"T 1-2", b"D"),
     b"10.0.0.1 a.test\r\n", 0),
    # Cut before that swap: the new file it names is not the hosts file.
    (b"10.0.0.1 a.test\r\n", lambda v: journal(line(b"10.0.0.1 a.test"), b"T 5a-1"), b"", 1),
    # Saved with LF line ends since.
    (b"10.0.0.1 a.test\n10.0.0.9 other.test\n10.0.0.2 b.test\n",
     lambda v: journal(line(b"10.0.0.1 a.test"), line(b"10.0.0.2 b.test")),
     b"10.0.0.9 other.test\n", 2),
    # Cut inside its header, right after it was made: no line, and it goes.
    (b"", lambda v: journal()[:30], b"", 0),
    # Thousands of lines no longer there, in a 2 MB file: one pass.
    (b"".join(b"10.2.%d.%d other%d.test\r\n" % (n // 250, n % 250, n) for n in range(80000)),
     lambda v: journal(*map(line, MANY)), None, 0),
], ids=["swapped-not-noted", "done", "not-swapped", "lf", "cut-header", "5000-missing"])
def test_recovery_takes_out_exactly_what_is_still_the_sessions(varnick, hosts, journal_of, after,
                                                               removed):
    varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS + hosts)
    stem = "hosts.varnick-session-" + "ab" * 16
    (varnick.hosts_dir / f"{stem}.journal").write_bytes(journal_of(varnick))
    # An older Varnick's backup goes with its journal.
    (varnick.hosts_dir / f"{stem}.backup").write_bytes(b"old")
    assert varnick.run("session", "recover").returncode == 0
    assert varnick.hosts == varnick.DEFAULT_HOSTS + (hosts if after is None else after)
    assert varnick.beside_hosts() == ["hosts"]
    recovery = [m for _, c, m in varnick.records() if c == "Recovery"]
    assert len([m for m in recovery if m.startswith("Removed ")]) == removed
    assert recovery[-1].startswith("Recovered the interrupted session started ")


def test_a_session_file_that_cannot_go_keeps_the_journal_and_nothing_is_taken_out_twice(varnick):
    varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS + b"10.0.0.1 a.test\r\n")
    stem = varnick.hosts_dir / ("hosts.varnick-session-" + "ef" * 16)
    kept, backup = stem.with_name(stem.name + ".journal"), stem.with_name(stem.name + ".backup")
    kept.write_bytes(journal(line(b"10.0.0.1 a.test")))
    backup.write_bytes(b"old")
    with varnick.hold(backup, "r", 0):
        assert varnick.run("session", "recover").returncode == 1
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    failed = [m for _, c, m in varnick.records() if c == "Recovery"][-1]
    assert failed == ("Failed to recover the session started 2026-12-07 13:25:03: a file of it "
                      f"could not be removed ({win_path(backup)}) 32; kept {win_path(kept)}")
    # The user adds the same line: the journal says its own is out already.
    varnick.hosts_path.write_bytes(varnick.hosts + b"10.0.0.1 a.test\r\n")
    assert varnick.run("session", "recover").returncode == 0
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"10.0.0.1 a.test\r\n"
    assert varnick.beside_hosts() == ["hosts"]


@pytest.mark.parametrize("kind", ["symlink", "hardlink"])
def test_recovery_never_follows_a_link_at_a_journals_name(varnick, tmp_path, kind):
    # A journal naming a line of the hosts file, reached through a link: were
    # it followed, the line would go and the victim be written and removed.
    varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS + b"10.0.0.1 a.test\r\n")
    victim = tmp_path / "victim.journal"
    victim.write_bytes(journal(line(b"10.0.0.1 a.test")))
    link = varnick.hosts_dir / ("hosts.varnick-session-" + "cd" * 16 + ".journal")
    before = plant_link(link, victim, kind)
    assert varnick.run("session", "recover").returncode == 1
    assert victim.read_bytes() == before and link.exists()
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"10.0.0.1 a.test\r\n"
    failed = [m for _, c, m in varnick.records() if c == "Recovery"][-1]
    assert failed.startswith("Failed to recover the session started at an unknown time: its "
                             "journal could not be read 681"), failed


def test_hosts_file_held_during_an_add_is_refused_and_serving_goes_on(varnick, tmp_path):
    with server_session(varnick, tmp_path / "backup") as (controller, run):
        with varnick.hold(varnick.hosts_path, "rw", 0):
            assert controller.request(add(b"10.0.0.7 held.test")) == 1
        assert varnick.hosts == varnick.DEFAULT_HOSTS
        assert controller.request(add(b"10.0.0.8 free.test")) == 0
        assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.8 free.test"
        assert controller.request(SHUTDOWN) == 0
        assert run.wait() == 0
    assert ("INFO", "Server", f"Failed to open hosts file {ERROR_SHARING_VIOLATION}") in server_records(varnick)
    assert varnick.hosts == varnick.DEFAULT_HOSTS


# A reader that shares nothing, and one that lets others read but not delete:
# neither lets the hosts file be replaced while it holds it. The restore waits
# it out and says so once.
@pytest.mark.parametrize("share", [0, 1])
def test_restore_waits_for_a_reader_of_the_hosts_file(varnick, tmp_path, share):
    backup = tmp_path / "backup"
    with server_session(varnick, backup) as (controller, run):
        assert controller.request(add(b"10.0.0.9 goes.test")) == 0
        with varnick.hold(varnick.hosts_path, "r", share):
            assert controller.request(SHUTDOWN) == 0
            time.sleep(3)
            assert run.process.poll() is None, "the restore gave up while the reader held on"
        assert run.wait() == 0
    assert varnick.beside_hosts() == ["hosts"]
    waits = [r for r in server_records(varnick) if r[2].startswith("Restore waits")]
    assert waits == [("INFO", "Server", "Restore waits: another process holds the hosts file "
                                        f"(error {ERROR_ACCESS_DENIED}); trying for up to 60 s")]
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    assert backup.read_bytes() == varnick.DEFAULT_HOSTS


DATA_LIMIT = 2 * 1024 ** 3


def limit_data_segment(pid):
    """Limits varnick.exe alone, once it has connected. A limit set before
    exec would also bind whatever Wine starts from that process: when no
    wineserver is running at that instant, the server and Wine's services
    would start under it and serve later runs. Without the limit this
    machine grants the block."""
    # Under Wine the process started is the program itself, not a launcher.
    assert Path(f"/proc/{pid}/comm").read_text().strip() == "varnick.exe"
    resource.prlimit(pid, resource.RLIMIT_DATA, (DATA_LIMIT, DATA_LIMIT))
    assert resource.prlimit(pid, resource.RLIMIT_DATA) == (DATA_LIMIT, DATA_LIMIT)


@pytest.mark.parametrize("length, shown", [(0xFFFFFFF0, -16), (0xFFFFFFFF, -1), (0x90000000, -1879048192)])
def test_request_too_large_for_memory_restores_then_ends_the_process(varnick, tmp_path, length, shown):
    with server_session(varnick, tmp_path / "backup") as (controller, run):
        limit_data_segment(run.process.pid)
        assert controller.request(add(b"10.0.0.10 big.test")) == 0
        controller.send(struct.pack(">I", length))
        # No reply: the process ends after its restore with exit status 3
        # (what the C runtime gives an end by SIGTERM). The process is waited
        # for, not the connection, whose shorter time-out would bound the
        # restore too; a reply sent before the end is still there to read.
        assert run.wait() == 3
        assert controller.rest() == b""
    assert server_records(varnick)[-2:] == [
        ("INFO", "Server", "Reading from console"),
        ("CRIT", "Packet", f"Insufficent memory for packet of {shown} bytes")]
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_restore_killed_at_any_instant_leaves_the_old_or_the_new_file(varnick, tmp_path):
    # About 20 MB, so that putting the backup back takes a while.
    old = b"".join(b"0.0.0.0 host%04d.test\r\n" % i for i in range(1000)) * 900
    added = old + b"\r\n10.0.0.11 killed.test"

    def shut_down(delay=None):
        """A session that adds one entry and shuts down; varnick is killed
        `delay` seconds after the shutdown's reply, or left to end. Returns
        what the hosts file then holds and how long varnick took to end."""
        varnick.hosts_path.write_bytes(old)
        with server_session(varnick, tmp_path / "backup", stdout=subprocess.DEVNULL) as (controller, run):
            assert controller.request(add(b"10.0.0.11 killed.test")) == 0
            assert controller.request(SHUTDOWN) == 0
            started = time.monotonic()
            if delay is None:
                assert run.wait() == 0
            else:
                time.sleep(delay)
                run.process.kill()
                run.process.wait()
            ended = time.monotonic() - started
        return (varnick.hosts if varnick.hosts_path.exists() else None), ended

    normal = sorted(shut_down()[1] for _ in range(3))[1]
    seen = []
    # Kill instants from the reply to a little past a whole restore's length.
    for percent in random.Random(21).sample(range(0, 130, 5), 16):
        left, _ = shut_down(normal * percent / 100)
        seen.append((percent, "old" if left == old else "added" if left == added
                     else "missing" if left is None else len(left)))
    torn = [s for s in seen if s[1] not in ("old", "added")]
    assert torn == [], f"{len(torn)} kills of {len(seen)} tore the file (a restore: {normal:.3f} s): {seen}"
    # What a killed run leaves beside the hosts file does not stop the next.
    assert shut_down()[0] == old
    assert varnick.beside_hosts() == ["hosts"]


CTRL_C_EVENT = 0


@pytest.mark.parametrize("pending", [b"", add(b"10.0.0.13 half.test")[:7]],
                         ids=["between requests", "mid-request"])
def test_ctrl_c_on_the_console_ends_serving_and_restores(varnick, tmp_path, pending):
    backup, go = tmp_path / "backup", tmp_path / "go"
    controller = Controller()
    # varnick.exe on a console with the helper, which sends Ctrl+C there once
    # `go` exists and then waits for varnick and returns its exit code.
    command = ["wine", str(SEND_CTRL_C), "--after-file", win_path(go), "--run", win_path(EXE),
               "server", str(controller.port), win_path(backup)]
    with ThreadPoolExecutor(1) as pool:
        console = pool.submit(run_on_console, command, 120, cwd=varnick.work_dir, env=varnick.env())
        try:
            controller.accept()
            assert controller.request(add(b"10.0.0.12 ctrlc.test")) == 0
            assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.12 ctrlc.test"
            controller.send(pending)
            go.touch()
            # No reply to a request cut short: the connection just ends.
            assert controller.rest() == b""
        finally:
            go.touch()
            controller.close()
        result = console.result()
    assert result.returncode == 0, result
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    assert server_records(varnick)[-2:] == [
        ("INFO", "Server", f"Serving interrupted by console event {CTRL_C_EVENT}"),
        ("INFO", "Server", "Shutting down")]
