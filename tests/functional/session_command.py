"""varnick-session: hosts entries that last exactly as long as a command."""

import contextlib
import re
import shutil
import socket
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from wine_harness import (BUILD_DIR, SEND_CTRL_C, processes_naming, run_captured, run_on_console,
                          timeout, win_path)

SESSION_EXE = BUILD_DIR / "varnick-session.exe"

BUSY = 119
USAGE_ERROR = 120
NO_VARNICK = 121
NO_CONNECTION = 122
ENTRY_REFUSED = 123
CONNECTION_LOST = 125
INTERRUPTED = 130


def session(varnick, *args, exe=SESSION_EXE, stdin=b"", seconds=90):
    return run_captured(["wine", str(exe), *map(str, args)], seconds, input=stdin,
                        cwd=varnick.work_dir, env=varnick.env())


def session_on_console(varnick, *args, seconds=90, on_end=None):
    """The session on a console of its own, where a Ctrl+C reaches it."""
    return run_on_console(["wine", str(SESSION_EXE), *map(str, args)], seconds, on_end,
                          cwd=varnick.work_dir, env=varnick.env())


def type_hosts(varnick):
    """A command that prints the hosts file as it stands while it runs."""
    return ["--", "cmd", "/c", "type", win_path(varnick.hosts_path)]


@pytest.mark.parametrize("exit_code", [0, 7])
def test_entries_last_as_long_as_the_command(varnick, exit_code):
    before = varnick.hosts
    result = session(varnick, "--add", "10.0.0.1 one.test", "--add", "10.0.0.2 two.test",
                     "--", "cmd", "/c", f"type {win_path(varnick.hosts_path)} & exit {exit_code}")
    assert result.returncode == exit_code, result
    assert result.stdout.endswith(before + b"\r\n10.0.0.1 one.test\r\n10.0.0.2 two.test")
    assert varnick.hosts == before
    messages = [m for _, c, m in varnick.records() if c == "Server"]
    assert "Written to hosts file '10.0.0.2 two.test'" in messages
    assert messages[-2:] == ["Shutting down varnick", "Shutting down"]


@pytest.mark.parametrize("flag, sent", [([], b"caf\x82.test"), (["--utf8"], b"caf\xc3\xa9.test")])
def test_entries_go_out_in_the_oem_code_page_or_utf8(varnick, flag, sent):
    result = session(varnick, *flag, "--add", "caf\u00e9.test", *type_hosts(varnick))
    assert result.returncode == 0, result
    assert result.stdout.endswith(b"\r\n" + sent)
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_backup_path_and_port_are_passed_on(varnick, tmp_path, unused_port):
    backup = tmp_path / "saved.hosts"
    result = session(varnick, "--backup", win_path(backup), "--port", unused_port,
                     "--add", "10.0.0.1 b.test", *type_hosts(varnick))
    assert result.returncode == 0, result
    assert backup.read_bytes() == varnick.DEFAULT_HOSTS
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_without_a_command_entries_stay_until_enter(varnick):
    result = session(varnick, "--add", "10.0.0.1 held.test", stdin=b"\n")
    assert result.returncode == 0, result
    assert b"press Enter" in result.stderr
    assert ("INFO", "Server", "Written to hosts file '10.0.0.1 held.test'") in varnick.records()
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_refused_add_is_reported_and_the_command_does_not_run(varnick):
    # A reader that lets others read but not write: the backup copy works,
    # the append is refused.
    with varnick.hold(varnick.hosts_path, "r", 1):
        result = session(varnick, "--add", "10.0.0.1 refused.test",
                         "--", "cmd", "/c", "echo COMMAND RAN")
    assert result.returncode == ENTRY_REFUSED, result
    assert b"refused the entry '10.0.0.1 refused.test'" in result.stderr
    assert b"COMMAND RAN" not in result.stdout
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_missing_varnick_exe(varnick, tmp_path):
    lonely = tmp_path / "alone" / "varnick-session.exe"
    lonely.parent.mkdir()
    shutil.copy(SESSION_EXE, lonely)
    result = session(varnick, "--add", "10.0.0.1 x.test", "--", "cmd", "/c", "echo RAN",
                     exe=lonely)
    assert result.returncode == NO_VARNICK
    assert b"varnick.exe not found at " in result.stderr
    assert b"RAN" not in result.stdout
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_varnick_that_exits_before_connecting(varnick, tmp_path):
    unwritable = tmp_path / "no such dir" / "backup"
    result = session(varnick, "--backup", win_path(unwritable), "--add", "10.0.0.1 x.test",
                     "--", "cmd", "/c", "echo RAN")
    assert result.returncode == NO_CONNECTION
    assert b"varnick.exe exited with code 1 before it connected" in result.stderr
    assert b"RAN" not in result.stdout


@pytest.mark.parametrize("args", [[], ["--port", "70000", "--add", "x"], ["--add", "x", "--"],
                                  ["--add", "x", "--bogus"]])
def test_bad_command_lines(varnick, args):
    result = session(varnick, *args)
    assert result.returncode == USAGE_ERROR
    assert b"Usage: varnick-session" in result.stderr
    assert not varnick.log_path.exists()


def test_killed_session_tool_still_gets_the_hosts_file_restored(varnick):
    tool = subprocess.Popen(["wine", str(SESSION_EXE), "--add", "10.0.0.1 orphan.test"],
                            cwd=varnick.work_dir, env=varnick.env(), stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: varnick.hosts.endswith(b"orphan.test"))
    finally:
        tool.kill()
        tool.wait(timeout=timeout(30))
    # The closed connection ends serving, and Varnick restores the backup.
    wait_until(lambda: varnick.hosts == varnick.DEFAULT_HOSTS)
    wait_until(lambda: ("INFO", "Server", "Shutting down") in varnick.records())


def wait_until(condition, seconds=30):
    deadline = time.monotonic() + timeout(seconds)
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.05)


@pytest.fixture
def unused_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def hosts_dir_listing(varnick):
    return ["--", "cmd", "/c", f"dir /b {win_path(varnick.hosts_dir)}"]


def test_default_backup_lies_beside_the_hosts_file_under_a_random_name_and_goes(varnick):
    result = session(varnick, "--add", "10.0.0.1 b.test", *hosts_dir_listing(varnick))
    assert result.returncode == 0, result
    names = result.stdout.decode().split()
    backups = [n for n in names if n.startswith("hosts.varnick-session-")]
    assert len(backups) == 1 and re.fullmatch(r"hosts\.varnick-session-[0-9a-f]{32}\.backup",
                                              backups[0]), names
    # Removed after the good restore.
    assert sorted(p.name for p in varnick.hosts_dir.iterdir()) == ["hosts"]
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("flag, entry", [
    ([], "10.0.0.1 a.test\n10.0.0.2 b.test"),
    ([], "10.0.0.1 a.test\rx"),
    ([], "x" * 255),
    # 128 characters are 128 bytes in the OEM code page but 256 in UTF-8.
    (["--utf8"], "\u00e9" * 128),
])
def test_entries_that_do_not_make_one_line_are_refused_before_anything_starts(varnick, flag, entry):
    result = session(varnick, *flag, "--add", "10.0.0.1 fine.test", "--add", entry,
                     "--", "cmd", "/c", "echo COMMAND RAN")
    assert result.returncode == USAGE_ERROR, result
    shown = entry.replace("\r", "\\r").replace("\n", "\\n")
    assert f"the entry '{shown}'".encode() in result.stderr
    assert b"COMMAND RAN" not in result.stdout
    assert not varnick.log_path.exists()
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_varnick_killed_mid_session_is_reported_with_the_way_back(varnick, tmp_path):
    backup = tmp_path / "saved.hosts"
    result = session(varnick, "--backup", win_path(backup), "--add", "10.0.0.1 stuck.test",
                     "--", "cmd", "/c", "taskkill /f /im varnick.exe >nul & exit 0")
    assert result.returncode == CONNECTION_LOST, result
    # Nobody restored the hosts file: the session says so, and how to mend it.
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 stuck.test"
    assert b"the entries may still be in the hosts file" in result.stderr
    assert f'copy /y "{win_path(backup)}" "{win_path(varnick.hosts_path)}"'.encode() in result.stderr
    assert backup.read_bytes() == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("patience", [None, 1], ids=["waits", "gives-up"])
def test_overlapping_sessions_take_turns(varnick, patience):
    first = subprocess.Popen(
        ["wine", str(SESSION_EXE), "--add", "10.0.0.1 first.test", "--", "cmd", "/c",
         f"ping -n 4 127.0.0.1 >nul & type {win_path(varnick.hosts_path)}"],
        cwd=varnick.work_dir, env=varnick.env(), stdin=subprocess.DEVNULL,
        stdout=open(varnick.work_dir / "first.out", "wb"), stderr=subprocess.DEVNULL)
    limit = ["--timeout", str(patience)] if patience else []
    try:
        wait_until(lambda: varnick.hosts.endswith(b"first.test"))
        second = session(varnick, *limit, "--add", "10.0.0.2 second.test", *type_hosts(varnick))
        assert first.wait(timeout=timeout(60)) == 0
    finally:
        if first.poll() is None:
            first.kill()
    assert b"waiting for another varnick-session to end" in second.stderr
    first_saw = (varnick.work_dir / "first.out").read_bytes()
    assert first_saw.endswith(b"first.test") and b"second.test" not in first_saw
    if patience:
        assert second.returncode == BUSY, second
        assert second.stdout == b""
    else:
        # Each command saw its own entry and not the other's.
        assert second.returncode == 0, second
        assert second.stdout.endswith(b"second.test") and b"first.test" not in second.stdout
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_connection_from_a_process_the_system_cannot_name_is_refused(varnick, unused_port):
    # The stand-in for varnick.exe never connects; this test's own process,
    # outside Wine, is one the TCP table does not name.
    fake = BUILD_DIR / "send_ctrl_c.exe"
    tool = subprocess.Popen(
        ["wine", str(SESSION_EXE), "--varnick", win_path(fake), "--port", str(unused_port),
         "--timeout", "5", "--add", "10.0.0.1 secret.test", "--", "cmd", "/c", "echo COMMAND RAN"],
        cwd=varnick.work_dir, env=varnick.env(), stdin=subprocess.DEVNULL,
        stdout=open(varnick.work_dir / "tool.out", "wb"), stderr=open(varnick.work_dir / "tool.err", "wb"))
    try:
        received = b""
        wait_until(lambda: listening(unused_port))
        with socket.create_connection(("127.0.0.1", unused_port), timeout=timeout(30)) as intruder:
            intruder.settimeout(timeout(30))
            with contextlib.suppress(ConnectionResetError):
                while piece := intruder.recv(4096):
                    received += piece
        assert tool.wait(timeout=timeout(60)) == NO_CONNECTION
    finally:
        if tool.poll() is None:
            tool.kill()
    assert received == b""
    assert b"refused a connection whose process the system's TCP table does not name" in \
        (varnick.work_dir / "tool.err").read_bytes()
    assert b"COMMAND RAN" not in (varnick.work_dir / "tool.out").read_bytes()


def test_changes_others_made_meanwhile_are_named_before_the_restore_undoes_them(varnick):
    theirs = varnick.work_dir / "theirs.txt"
    theirs.write_bytes(b"\r\n10.0.0.9 theirs.test\r\n")
    result = session(varnick, "--add", "10.0.0.1 ours.test", "--", "cmd", "/c",
                     f"type {win_path(theirs)}>>{win_path(varnick.hosts_path)}")
    assert result.returncode == 0, result
    assert b"another program changed the hosts file during the session" in result.stderr
    # Only the other program's line: the session's own is no news.
    assert b"removes: 10.0.0.9 theirs.test\r\n" in result.stderr
    assert b"ours.test" not in result.stderr
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("ended_by_it", [False, True], ids=["command-outlives", "command-ends"])
def test_ctrl_c_during_the_command_ends_with_130_and_varnick_restores(varnick, tmp_path,
                                                                      ended_by_it):
    # varnick.exe runs apart from the console, so the Ctrl+C reaches only the
    # session and the command, which may outlive it or end at once; the
    # session ends all the same once Varnick has restored the hosts file.
    go = tmp_path / "go"
    sender = f"{win_path(SEND_CTRL_C)} --after-file {win_path(go)}"
    command = (["cmd", "/c", f"{sender} & ping -n 30 127.0.0.1 >nul"] if ended_by_it
               else sender.split())
    with ThreadPoolExecutor(1) as pool:
        console = pool.submit(session_on_console, varnick, "--add", "10.0.0.1 ctrlc.test",
                              "--", *command)
        try:
            wait_until(lambda: varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 ctrlc.test")
        finally:
            go.touch()
        result = console.result()
    assert result.returncode == INTERRUPTED, result
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    assert varnick.records()[-1] == ("INFO", "Server", "Shutting down")


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


def test_entries_from_a_hosts_file_beside_the_code(varnick, tmp_path):
    project = tmp_path / "dev.hosts"
    project.write_bytes(b"\xef\xbb\xbf# entries this project needs\r\n\r\n"
                        b"  10.0.0.1 api.dev.test  \r\n10.0.0.2 caf\xc3\xa9.dev.test\n")
    result = session(varnick, "--hosts-file", win_path(project), "--add", "10.0.0.3 extra.test",
                     *type_hosts(varnick))
    assert result.returncode == 0, result
    # In the file's order, then the --add; converted to the OEM code page.
    assert result.stdout.endswith(varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 api.dev.test"
                                  b"\r\n10.0.0.2 caf\x82.dev.test\r\n10.0.0.3 extra.test")
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("content, message", [
    (b"# ok\n10.0.0.1 a.test\n10.0.0.2 " + b"x" * 300 + b"\n", b"dev.hosts:3: the entry '10.0.0.2 x"),
    (b"10.0.0.1 \xff.test\n", b"dev.hosts:1: the line is not UTF-8 text"),
    (None, b"could not read "),
], ids=["too-long-line", "not-utf8", "missing"])
def test_a_hosts_file_that_cannot_be_used_is_refused_before_anything_starts(varnick, tmp_path,
                                                                            content, message):
    project = tmp_path / "dev.hosts"
    if content is not None:
        project.write_bytes(content)
    result = session(varnick, "--hosts-file", win_path(project), "--", "cmd", "/c", "echo COMMAND RAN")
    assert result.returncode == USAGE_ERROR, result
    assert message in result.stderr
    assert b"COMMAND RAN" not in result.stdout
    assert not varnick.log_path.exists()


def test_for_a_while_without_a_command_ends_by_itself(varnick):
    started = time.monotonic()
    # Standard input stays open, so only the time limit can end the session.
    with open(varnick.work_dir / "err", "wb") as err:
        tool = subprocess.Popen(["wine", str(SESSION_EXE), "--for", "2s", "--add", "10.0.0.1 brief.test"],
                                cwd=varnick.work_dir, env=varnick.env(), stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=err)
    try:
        wait_until(lambda: varnick.hosts.endswith(b"brief.test"))
        assert tool.wait(timeout=timeout(60)) == 0
    finally:
        tool.stdin.close()
        if tool.poll() is None:
            tool.kill()
    assert time.monotonic() - started >= 2
    assert b"the entries are in the hosts file until " in (varnick.work_dir / "err").read_bytes()
    assert varnick.hosts == varnick.DEFAULT_HOSTS
