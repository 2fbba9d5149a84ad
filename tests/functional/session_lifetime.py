"""varnick-session: hosts entries that last exactly as long as a command, or
until Enter or the time given; the journal beside the hosts file; how the
end goes when Varnick is killed, slow to answer or kept from restoring, or
when the session tool itself is killed; and Ctrl+C before and during the
command."""

import contextlib
import os
import re
import signal
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from session_harness import (CONNECTION_LOST, INTERRUPTED, LOG_SHOWN, SESSION, VARNICK_FAILED,
                             session, session_on_console, session_started, session_varnick,
                             type_hosts, wait_until)
from session_harness import unused_port, varnick  # noqa: F401 (fixtures)
from wine_harness import SEND_CTRL_C, processes_naming, timeout, win_path


@pytest.mark.parametrize("exit_code", [0, 7])
def test_entries_last_as_long_as_the_command(varnick, exit_code):
    before = varnick.hosts
    result = session(varnick, "--add", "10.0.0.1 one.test", "--add", "10.0.0.2 two.test",
                     "--", "cmd", "/c", f"type {win_path(varnick.hosts_path)} & exit {exit_code}")
    assert result.returncode == exit_code, result
    assert result.stdout.endswith(before + b"10.0.0.1 one.test\r\n10.0.0.2 two.test\r\n")
    assert varnick.hosts == before
    # Varnick ran, and logged, in its own folder: the one the session was run
    # from holds nothing new.
    assert list(varnick.work_dir.iterdir()) == []
    messages = [m for _, c, m in varnick.records() if c == "Server"]
    assert "Written to hosts file '10.0.0.2 two.test'" in messages
    assert messages[-4:-2] == ["Shutting down varnick", "Shutting down"]
    # It took out its own lines and said which.
    assert [re.sub(r"port \d+", "port N", m) for m in messages[-2:]] == [
        "Session on port N took out '10.0.0.1 one.test'",
        "Session on port N took out '10.0.0.2 two.test'"]
    assert result.stderr == (b"varnick-session: took out '10.0.0.1 one.test'\r\n"
                             b"varnick-session: took out '10.0.0.2 two.test'\r\n")


@pytest.mark.parametrize("flag, entry, sent", [
    ([], "10.0.0.1 caf\u00e9.test", b"10.0.0.1 caf\x82.test"),
    (["--utf8"], "10.0.0.1 caf\u00e9.test", b"10.0.0.1 caf\xc3\xa9.test"),
    # Beyond the OEM code page: as UTF-8 only.
    (["--utf8"], "10.0.0.1 \u043f\u0440\u0438\u043c\u0435\u0440.test",
     "10.0.0.1 \u043f\u0440\u0438\u043c\u0435\u0440.test".encode()),
])
def test_entries_go_out_in_the_oem_code_page_or_utf8(varnick, flag, entry, sent):
    result = session(varnick, *flag, "--add", entry, *type_hosts(varnick))
    assert result.returncode == 0, result
    assert result.stdout.endswith(b"\n" + sent + b"\r\n")
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_backup_path_and_port_are_passed_on(varnick, tmp_path, unused_port):
    backup = tmp_path / "saved.hosts"
    result = session(varnick, "--backup", win_path(backup), "--port", unused_port,
                     "--add", "10.0.0.1 b.test", *type_hosts(varnick))
    assert result.returncode == 0, result
    assert backup.read_bytes() == varnick.DEFAULT_HOSTS
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("hold, stdin, at_least, says", [
    ([], b"\n", 0, b"press Enter"),
    # Scripts close a session without a time by closing its input.
    ([], b"", 0, b"press Enter"),
    # A time given holds whatever standard input is: at its end, or NUL.
    (["--for", "3s"], b"", 2.5, b"the entries are in the hosts file until "),
    (["--for", "3s"], None, 2.5, b"the entries are in the hosts file until "),
    # A line ends it sooner.
    (["--for", "60s"], b"\n", 0, b"the entries are in the hosts file until "),
], ids=["enter", "end-of-input", "for-end-of-input", "for-nul", "for-enter"])
def test_without_a_command_entries_stay_until_enter_or_for_the_time_given(varnick, hold, stdin,
                                                                          at_least, says):
    started = time.monotonic()
    result = session(varnick, *hold, "--add", "10.0.0.1 held.test", stdin=stdin)
    took = time.monotonic() - started
    assert result.returncode == 0, result
    assert at_least <= took < timeout(30), took
    assert says in result.stderr
    assert ("INFO", "Server", "Written to hosts file '10.0.0.1 held.test'") in varnick.records()
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_killed_session_tool_still_gets_the_hosts_file_restored(varnick):
    tool = subprocess.Popen([*SESSION, "--add", "10.0.0.1 orphan.test"],
                            cwd=varnick.work_dir, env=varnick.env(), stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: varnick.hosts.endswith(b"orphan.test\r\n"))
    finally:
        tool.kill()
        tool.wait(timeout=timeout(30))
    # The closed connection ends serving, and Varnick takes the line out.
    wait_until(lambda: varnick.hosts == varnick.DEFAULT_HOSTS)
    wait_until(lambda: ("INFO", "Server", "Shutting down") in varnick.records())


def hosts_dir_listing(varnick):
    return ["--", "cmd", "/c", f"dir /b {win_path(varnick.hosts_dir)}"]


def test_the_journal_lies_beside_the_hosts_file_under_a_random_name_and_goes(varnick):
    result = session(varnick, "--add", "10.0.0.1 b.test", *hosts_dir_listing(varnick))
    assert result.returncode == 0, result
    names = [n for n in result.stdout.decode().split() if n.startswith("hosts.varnick-session-")]
    # The journal of the lines Varnick appends, and no backup.
    assert len(names) == 1 and re.fullmatch(r"hosts\.varnick-session-[0-9a-f]{32}\.journal",
                                            names[0]), names
    # Removed once the lines are out.
    assert varnick.beside_hosts() == ["hosts"]
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("own_backup", [True, False], ids=["backup", "session-mode"])
def test_varnick_killed_mid_session_is_reported_with_the_way_back(varnick, tmp_path, own_backup):
    given = ["--backup", win_path(tmp_path / "saved.hosts")] if own_backup else []
    result = session(varnick, *given, "--add", "10.0.0.1 stuck.test",
                     "--", "cmd", "/c", "taskkill /f /im varnick.exe >nul & exit 0")
    assert result.returncode == CONNECTION_LOST, result
    # Nobody put the hosts file right: the session says so, and how to mend
    # it: by the journal when Varnick kept one, or from the backup.
    line = b"\r\n10.0.0.1 stuck.test" if own_backup else b"10.0.0.1 stuck.test\r\n"
    assert varnick.hosts == varnick.DEFAULT_HOSTS + line
    assert b"the entries may still be in the hosts file" in result.stderr
    assert (b"run: varnick-session --recover" in result.stderr) != own_backup
    assert (b"copy /y" in result.stderr) == own_backup
    if own_backup:
        backup = tmp_path / "saved.hosts"
        assert f'copy /y "{win_path(backup)}" "{win_path(varnick.hosts_path)}"'.encode() \
            in result.stderr
        assert backup.read_bytes() == varnick.DEFAULT_HOSTS


def test_a_failed_restore_names_the_log_by_its_full_path(varnick, tmp_path):
    backup = tmp_path / "saved.hosts"
    result = session(varnick, "--backup", win_path(backup), "--add", "10.0.0.1 kept.test",
                     "--", "cmd", "/c", f"del {win_path(backup)}")
    assert result.returncode == VARNICK_FAILED, result
    assert b"varnick.exe exited with code 1; see " + LOG_SHOWN + b"\r\n" in result.stderr
    assert b"the entries may still be in the hosts file" in result.stderr
    assert any(m.startswith("Failed to copy hosts file from") for _, _, m in varnick.records())


@contextlib.contextmanager
def varnick_stopped(varnick, port):
    """Varnick's process frozen (SIGSTOP) until the block ends: a Varnick that
    takes its time over whatever it does."""
    pids = session_varnick(port)
    for pid in pids:
        os.kill(pid, signal.SIGSTOP)
    try:
        yield
    finally:
        for pid in pids:
            os.kill(pid, signal.SIGCONT)


@pytest.mark.parametrize("obstacle, notice", [
    (varnick_stopped, b"waiting for varnick.exe to answer the shutdown"),
    # The end tries again while a reader keeps the hosts file from being replaced.
    (lambda varnick, port: varnick.hold(varnick.hosts_path, "r", 1),
     b"waiting for varnick.exe to take the entries out of the hosts file"),
], ids=["reply", "restore"])
def test_a_long_wait_says_what_it_waits_for_and_goes_on(varnick, tmp_path, unused_port, obstacle,
                                                        notice):
    with session_started(varnick, tmp_path, "--port", unused_port, "--add", "10.0.0.1 slow.test",
                         "--", "cmd", "/c", "ping -n 5 127.0.0.1 >nul") as (tool, errors):
        wait_until(lambda: varnick.hosts.endswith(b"slow.test\r\n"))
        with obstacle(varnick, unused_port):
            wait_until(lambda: notice in errors())
        assert tool.wait(timeout=timeout(60)) == 0, errors()
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("how", ["command-outlives", "command-ends", "batch-file"])
def test_ctrl_c_during_the_command_ends_with_130_and_varnick_restores(varnick, tmp_path, how):
    # varnick.exe runs apart from the console, so the Ctrl+C reaches only the
    # session and the command, which may outlive it or end at once, or be a
    # batch file whose cmd.exe asks whether to end it; the session ends all
    # the same once Varnick has restored the hosts file.
    go = tmp_path / "go"
    sender = f"{win_path(SEND_CTRL_C)} --after-file {win_path(go)}"
    batch = tmp_path / "dev.cmd"
    batch.write_text(f"@echo off\r\n{sender}\r\nping -n 30 127.0.0.1 >nul\r\n")
    command = {"command-outlives": sender.split(),
               "command-ends": ["cmd", "/c", f"{sender} & ping -n 30 127.0.0.1 >nul"],
               "batch-file": [win_path(batch)]}[how]
    with ThreadPoolExecutor(1) as pool:
        console = pool.submit(session_on_console, varnick, "--add", "10.0.0.1 ctrlc.test",
                              "--", *command)
        try:
            wait_until(lambda: varnick.hosts == varnick.DEFAULT_HOSTS + b"10.0.0.1 ctrlc.test\r\n")
        finally:
            go.touch()
        result = console.result()
    assert result.returncode == INTERRUPTED, result
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    assert ("INFO", "Server", "Shutting down") in varnick.records()[-2:]


def test_ctrl_c_before_the_entries_are_in_ends_with_130_at_once(varnick, tmp_path):
    # The stand-in for varnick.exe never connects: it joins the session's
    # console and sends Ctrl+C there, then waits to be ended.
    backup = win_path(tmp_path / "stand-in.hosts")
    ended = []

    def stand_in_goes():
        ended.append(time.monotonic())
        wait_until(lambda: not processes_naming(backup), seconds=10)

    started = time.monotonic()
    result = session_on_console(varnick, "--varnick", win_path(SEND_CTRL_C), "--backup", backup,
                                "--timeout", round(timeout(30)), "--add", "10.0.0.1 early.test",
                                "--", "cmd", "/c", "echo COMMAND RAN", on_end=stand_in_goes)
    assert result.returncode == INTERRUPTED, result
    assert ended[0] - started < timeout(15), "the session waited for the connection's time-out"
    assert b"COMMAND RAN" not in result.stdout
    assert varnick.hosts == varnick.DEFAULT_HOSTS
