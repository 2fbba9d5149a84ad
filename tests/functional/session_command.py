"""varnick-session: hosts entries that last exactly as long as a command."""

import contextlib
import getpass
import json
import os
import re
import signal
import shutil
import socket
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from controller import SHUTDOWN, Controller, ServerRun, add
from del_entry import temp_dir  # noqa: F401 (a fixture: the Wine user's temporary directory)
from wine_harness import (BUILD_DIR, PREFIX, SEND_CTRL_C, Varnick, parse_records, plant_link,
                          processes_naming, run_captured, run_on_console, timeout, win_path)

SESSION_EXE = BUILD_DIR / "varnick-session.exe"
# Runs a program with the token of an administrator's unelevated prompt:
# under Wine every process is elevated otherwise, and a session would never
# start Varnick through consent.
RUN_LIMITED = BUILD_DIR / "run_limited.exe"
# The build folder is the Unix user's under Wine, which shows it as
# changeable by that user: every session here accepts that.
TRUST = "--trust-varnick-folder"
SESSION = ["wine", str(SESSION_EXE), TRUST]
# Where a session runs Varnick: %LOCALAPPDATA%\Varnick. Wine sets
# LOCALAPPDATA from the prefix's profile, whatever the environment says.
VARNICK_FOLDER = PREFIX / "drive_c" / "users" / getpass.getuser() / "AppData" / "Local" / "Varnick"
LOG_SHOWN = rf"C:\users\{getpass.getuser()}\AppData\Local\Varnick\varnick.log".encode()

BUSY = 119
USAGE_ERROR = 120
NO_VARNICK = 121
NO_CONNECTION = 122
ENTRY_REFUSED = 123
VARNICK_FAILED = 124
CONNECTION_LOST = 125
INTERRUPTED = 130

# What a Varnick server logs while another one holds the serving lock.
WAITS_FOR_SERVER = ("INFO", "Server", "Waiting for another Varnick server to end, for up to 60 s")


class SessionVarnick(Varnick):
    """varnick.exe as sessions start it, in the folder that every session of
    the test run shares: its log is what this test's sessions added to it."""

    def __init__(self, base):
        super().__init__(base)
        self.log_path = VARNICK_FOLDER / "varnick.log"
        self._log_start = self.log_path.stat().st_size if self.log_path.exists() else 0

    def log_bytes(self):
        return super().log_bytes()[self._log_start:]


@pytest.fixture
def varnick(wine, tmp_path):
    return SessionVarnick(tmp_path)


def without_trust_notice(stderr):
    """What a session says, less its note that it trusts the build folder."""
    return re.sub(rb"varnick-session: trusting [^\n]*\n", b"", stderr, count=1)


def session(varnick, *args, exe=SESSION_EXE, stdin=b"", seconds=90, env=None, trust=True):
    result = run_captured(["wine", str(exe), *[TRUST][:trust], *map(str, args)], seconds,
                          input=stdin, cwd=varnick.work_dir, env=varnick.env(**(env or {})))
    result.stderr = without_trust_notice(result.stderr)
    return result


@contextlib.contextmanager
def session_started(varnick, tmp_path, *args):
    """The session running in the background, its output going to files; it
    is killed if still running when the block ends. Yields the process and
    a function that reads its standard error so far."""
    err_path = tmp_path / "session.err"
    with open(err_path, "wb") as err:
        process = subprocess.Popen([*SESSION, *map(str, args)],
                                   cwd=varnick.work_dir, env=varnick.env(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    try:
        yield process, err_path.read_bytes
    finally:
        if process.poll() is None:
            process.kill()


def session_on_console(varnick, *args, seconds=90, on_end=None):
    """The session on a console of its own, where a Ctrl+C reaches it."""
    return run_on_console([*SESSION, *map(str, args)], seconds, on_end,
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


def test_refused_add_is_reported_and_the_command_does_not_run(varnick, tmp_path):
    ran = tmp_path / "ran"
    with contextlib.ExitStack() as reader:
        # A reader that lets others read but not write: the backup copy
        # works, the append is refused.
        reader.enter_context(varnick.hold(varnick.hosts_path, "r", 1))
        with session_started(varnick, tmp_path, "--add", "10.0.0.1 refused.test",
                             "--", "cmd", "/c", f"echo >{win_path(ran)}") as (tool, errors):
            wait_until(lambda: b"refused the entry '10.0.0.1 refused.test'" in errors())
            reader.close()  # or the restore would wait for it
            assert tool.wait(timeout=timeout(60)) == ENTRY_REFUSED, errors()
    assert not ran.exists()
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
    assert b"varnick.exe exited with code 1 before it connected; see " + LOG_SHOWN in result.stderr
    assert b"RAN" not in result.stdout


@pytest.mark.parametrize("args", [["--add", "10.0.0.1 t.test", "--", "cmd", "/c", "exit 0"],
                                  ["--recover"], ["--clean"]])
def test_a_varnick_that_others_may_change_is_not_started(varnick, args):
    # Wine shows every file as its Unix user's, with the right to change it.
    refused = session(varnick, *args, trust=False)
    assert refused.returncode == NO_VARNICK, refused
    said = notes(refused)
    # Wine's name for the prefix's user, who owns every file.
    assert rf"(S-1-5-21-0-0-0-1000) may change {win_path(BUILD_DIR)}\varnick.exe, so a " in said[0]
    assert said[1:] == ["  install Varnick for all users: winget install --scope machine, scoop "
                        "install --global, or unpack the zip under C:\\Program Files",
                        "  or install the Varnick service once (varnick service install, "
                        "elevated): a session through it starts no varnick.exe from here",
                        "  or, accepting that risk, add --trust-varnick-folder"]
    assert varnick.hosts == Varnick.DEFAULT_HOSTS and varnick.log_bytes() == b""
    trusted = run_captured(["wine", str(SESSION_EXE), TRUST, *args], 90, cwd=varnick.work_dir,
                           env=varnick.env())
    assert trusted.returncode == 0, trusted
    assert trusted.stderr.startswith(
        rf"varnick-session: trusting {win_path(BUILD_DIR)}\varnick.exe although ".encode())


@pytest.mark.parametrize("given, checked", [
    ("varnick.exe", "varnick.exe"),
    (r"sub\varnick.exe", "sub/varnick.exe"),
    # A link on the way: what starts is the file the check reached through it.
    (r"linked\varnick.exe", "sub/varnick.exe"),
    # Wine names the folder "sub." as "sub", where a stand-in is: no path
    # names the file checked, and nothing starts.
    (r"linked\varnick.exe", "sub./varnick.exe"),
], ids=["bare", "in-a-folder", "through-a-link", "no-path-names-it"])
def test_a_relative_varnick_starts_what_was_checked_never_a_stand_in(varnick, given, checked):
    # Run limited, the session starts Varnick through consent (the shell).
    status = run_captured(["wine", str(RUN_LIMITED), win_path(SESSION_EXE), "--status"], 60,
                          env=varnick.env())
    assert b"cannot be seen from a prompt that is not elevated" in status.stdout, status
    real = varnick.work_dir / checked
    real.parent.mkdir(exist_ok=True)
    shutil.copy(BUILD_DIR / "varnick.exe", real)
    (varnick.work_dir / "linked").symlink_to(real.parent)
    # Stand-ins that exit at once, never connecting: in the folder where the
    # consent start runs Varnick, which any of the user's programs may
    # write, and in "sub" unless it is the one checked.
    planted = VARNICK_FOLDER / given.replace("\\", "/")
    for stand_in in {planted, varnick.work_dir / "sub" / "varnick.exe"} - {real}:
        stand_in.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(BUILD_DIR / "print_args.exe", stand_in)
    try:
        result = run_captured(["wine", str(RUN_LIMITED), win_path(SESSION_EXE), TRUST, "--varnick",
                               given, "--add", "10.0.0.1 checked.test", *type_hosts(varnick)], 90,
                              cwd=varnick.work_dir, env=varnick.env())
    finally:
        planted.unlink()
        if planted.parent != VARNICK_FOLDER:
            planted.parent.rmdir()
    assert b"<session>" not in result.stdout  # what a stand-in prints
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    if checked.startswith("sub."):
        assert result.returncode == NO_VARNICK, result
        assert notes(result) == [f"the path by which the system reaches "
                                 f"{win_path(varnick.work_dir)}\\{given} names another file: "
                                 "varnick.exe starts only by a path that names the file checked"]
        return
    assert result.returncode == 0, result
    assert result.stderr.startswith(
        rf"varnick-session: trusting {win_path(real)} although ".encode()), result
    assert varnick.DEFAULT_HOSTS + b"10.0.0.1 checked.test\r\n" in result.stdout


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


@pytest.mark.parametrize("args", [[], ["--port", "70000", "--add", "x"], ["--add", "x", "--"],
                                  ["--add", "x", "--bogus"]])
def test_bad_command_lines(varnick, args):
    result = session(varnick, *args)
    assert result.returncode == USAGE_ERROR
    assert b"Usage: varnick-session" in result.stderr
    assert varnick.log_bytes() == b""


def test_a_bare_command_is_answered_with_the_usage_and_where_the_help_is(varnick):
    asked, bare = session(varnick, "--help"), session(varnick, trust=False)
    assert (asked.returncode, bare.returncode) == (0, USAGE_ERROR)
    usage = asked.stdout.split(b"\r\n\r\n")[0] + b"\r\n"
    assert bare.stderr == usage + b"Run varnick-session --help for every option and the exit codes.\r\n"
    assert len(bare.stderr.splitlines()) <= 6 and bare.stdout == b""
    assert b"\r\n  --status " in asked.stdout and b"\r\n  125  " in asked.stdout


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


def session_files(varnick):
    return sorted(p.name for p in varnick.hosts_dir.glob("hosts.varnick-session-*"))


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


NOT_OEM = "cannot be written exactly in the OEM code page (437); to send it as UTF-8, add --utf8"


def shown(entry):
    """An entry as the session's messages name it."""
    escapes = {"\r": "\\r", "\n": "\\n", "\0": "\\0"}
    return re.sub(r"[\x00-\x08\x0a-\x1f\x7f]",
                  lambda m: escapes.get(m.group(), f"\\x{ord(m.group()):02X}"), entry)


@pytest.mark.parametrize("flag, entry, why", [
    ([], "10.0.0.1 a.test\n10.0.0.2 b.test", "holds a line break"),
    ([], "10.0.0.1 a.test\rx", "holds a line break"),
    ([], "x" * 255, "is 255 bytes long"),
    # 128 characters are 128 bytes in the OEM code page but 256 in UTF-8.
    (["--utf8"], "\u00e9" * 128, "is 256 bytes long"),
    # Readers of the hosts file disagree on control characters other than tab.
    ([], "10.0.0.1 a.test\x0b", "holds the control character 0x0B"),
    (["--utf8"], "10.0.0.1 a\x7f.test", "holds the control character 0x7F"),
    # Not in code page 437; a best-fit conversion would make the full-width
    # letter a plain e, and so another name.
    ([], "127.0.0.1 \u043f\u0440\u0438\u043c\u0435\u0440.test", NOT_OEM),
    ([], "10.0.0.1 \uff45xample.test", NOT_OEM),
])
def test_entries_that_are_not_one_exact_line_are_refused_before_anything_starts(varnick, flag,
                                                                                 entry, why):
    result = session(varnick, *flag, "--add", "10.0.0.1 fine.test", "--add", entry,
                     "--", "cmd", "/c", "echo COMMAND RAN")
    assert result.returncode == USAGE_ERROR, result
    assert f"the entry '{shown(entry)}' {why}".encode() in result.stderr
    assert b"COMMAND RAN" not in result.stdout
    assert varnick.log_bytes() == b""
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


def session_varnick(port):
    """The ids of the Varnick that a session on `port` started: its command
    line is `varnick.exe session <port>`."""
    pids = processes_naming(f"session {port}")
    assert pids, "varnick.exe is not running"
    return pids


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


@contextlib.contextmanager
def held_session(varnick, tmp_path, *args):
    """A session without a command, with --json, once its entries are in:
    yields a function that ends it (closing its input) and returns its exit
    code and events."""
    out = tmp_path / f"events-{time.monotonic_ns()}.out"
    with open(out, "wb") as events:
        process = subprocess.Popen([*SESSION, "--json", *map(str, args)],
                                   cwd=varnick.work_dir, env=varnick.env(), stdin=subprocess.PIPE,
                                   stdout=events, stderr=subprocess.DEVNULL)

    def read():
        return [json.loads(line) for line in out.read_bytes().splitlines()]

    def end():
        process.stdin.close()
        return process.wait(timeout=timeout(60)), read()
    try:
        wait_until(lambda: any(e["event"] in ("ready", "ended") for e in read()))
        yield end
    finally:
        if process.poll() is None:
            process.kill()


@pytest.mark.parametrize("entries, order", [
    ((b"10.0.0.1 first.test", b"10.0.0.2 second.test"), "first-ends-first"),
    ((b"10.0.0.1 first.test", b"10.0.0.2 second.test"), "second-ends-first"),
    # The same entry in both: each takes out one copy.
    ((b"10.0.0.1 both.test", b"10.0.0.1 both.test"), "first-ends-first"),
])
def test_sessions_run_side_by_side_and_each_takes_out_its_own(varnick, tmp_path, entries, order):
    first, second = entries
    with held_session(varnick, tmp_path, "--add", first.decode()) as end_first, \
            held_session(varnick, tmp_path, "--add", second.decode()) as end_second:
        assert varnick.hosts == varnick.DEFAULT_HOSTS + first + b"\r\n" + second + b"\r\n"
        ends = [(end_first, second + b"\r\n"), (end_second, b"")]
        if order == "second-ends-first":
            ends = [(end_second, first + b"\r\n"), (end_first, b"")]
        for end, left in ends:
            code, events = end()
            assert (code, events[-1]) == (0, {"event": "ended", "exit_code": 0})
            assert varnick.hosts == varnick.DEFAULT_HOSTS + left
    assert WAITS_FOR_SERVER not in varnick.records()


def varnick_added(varnick):
    result = varnick.run("add", "10.8.8.8 added.test")
    assert result.returncode == 0, (result, varnick.log_bytes())


def varnick_deleted(varnick):
    result = varnick.run("del", "10.9.9.9 old.test")
    assert result.returncode == 0, (result, varnick.log_bytes())


def edited_by_hand(varnick):
    varnick.hosts_path.write_bytes(varnick.hosts.replace(b"old.test", b"edited.test"))


def appended_by_echo(varnick):
    assert run_captured(["wine", "cmd", "/c", f"echo 10.7.7.7 vpn.corp.test>> "
                                              f"{win_path(varnick.hosts_path)}"],
                        30, env=varnick.env()).returncode == 0


@pytest.mark.parametrize("change, after", [
    (appended_by_echo, b"10.9.9.9 old.test\r\n10.7.7.7 vpn.corp.test\r\n"),
    (edited_by_hand, b"10.9.9.9 edited.test\r\n"),
    (varnick_deleted, b"\r\n"),
    (varnick_added, b"10.9.9.9 old.test\r\n\r\n10.8.8.8 added.test"),
], ids=["echo", "hand", "del", "add"])
def test_what_others_change_during_a_session_outlives_its_end(varnick, tmp_path, change, after):
    varnick.hosts_path.write_bytes(varnick.DEFAULT_HOSTS + b"10.9.9.9 old.test\r\n")
    with held_session(varnick, tmp_path, "--add", "10.0.0.1 ours.test") as end:
        change(varnick)
        code, _ = end()
    assert code == 0
    assert varnick.hosts == varnick.DEFAULT_HOSTS + after


def test_connection_from_a_process_the_system_cannot_name_is_refused(varnick, unused_port):
    # The stand-in for varnick.exe never connects; this test's own process,
    # outside Wine, is one the TCP table does not name.
    fake = BUILD_DIR / "send_ctrl_c.exe"
    tool = subprocess.Popen(
        [*SESSION, "--varnick", win_path(fake), "--port", str(unused_port),
         "--timeout", "7", "--add", "10.0.0.1 secret.test", "--", "cmd", "/c", "echo COMMAND RAN"],
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
    errors = (varnick.work_dir / "tool.err").read_bytes()
    assert b"refused a connection whose process the system's TCP table does not name" in errors
    assert b"waiting for varnick.exe to connect; another Varnick server may still be running" \
        in errors
    assert b"COMMAND RAN" not in (varnick.work_dir / "tool.out").read_bytes()


def test_changes_others_made_meanwhile_are_named_before_a_backup_undoes_them(varnick, tmp_path):
    theirs = varnick.work_dir / "theirs.txt"
    theirs.write_bytes(b"\r\n10.0.0.9 theirs.test\r\n")
    result = session(varnick, "--backup", win_path(tmp_path / "saved.hosts"),
                     "--add", "10.0.0.1 ours.test", "--", "cmd", "/c",
                     f"type {win_path(theirs)}>>{win_path(varnick.hosts_path)}")
    assert result.returncode == 0, result
    assert b"another program changed the hosts file during the session" in result.stderr
    # Only the other program's line: the session's own is no news.
    assert b"removes: 10.0.0.9 theirs.test\r\n" in result.stderr
    assert b"ours.test" not in result.stderr
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


def test_entries_from_a_hosts_file_beside_the_code(varnick, tmp_path):
    project = tmp_path / "dev.hosts"
    project.write_bytes(b"\xef\xbb\xbf# entries this project needs\r\n\r\n"
                        b"  10.0.0.1 api.dev.test  \r\n10.0.0.2 caf\xc3\xa9.dev.test\n")
    result = session(varnick, "--hosts-file", win_path(project), "--add", "10.0.0.3 extra.test",
                     *type_hosts(varnick))
    assert result.returncode == 0, result
    # In the file's order, then the --add; converted to the OEM code page.
    assert result.stdout.endswith(varnick.DEFAULT_HOSTS + b"10.0.0.1 api.dev.test\r\n"
                                  b"10.0.0.2 caf\x82.dev.test\r\n10.0.0.3 extra.test\r\n")
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("content, message", [
    (b"# ok\n10.0.0.1 a.test\n10.0.0.2 " + b"x" * 300 + b"\n", b"dev.hosts:3: the entry '10.0.0.2 x"),
    (b"10.0.0.1 \xff.test\n", b"dev.hosts:1: the line is not UTF-8 text"),
    (None, b"could not read "),
    (b"10.0.0.1 a.test\n10.0.0.2 b\x0b.test\n",
     b"dev.hosts:2: the entry '10.0.0.2 b\\x0B.test' holds the control character 0x0B"),
    (b"10.0.0.1 a\x0c.test\r\n", b"dev.hosts:1: the entry '10.0.0.1 a\\x0C.test' holds the control"),
    (b"# the end\r\n10.0.0.1 a.test\x1a", b"dev.hosts:2: the entry '10.0.0.1 a.test\\x1A' holds the"),
    (b"10.0.0.1 \xd0\xbf.test\n", b"dev.hosts:1: the entry '10.0.0.1 \xd0\xbf.test' " + NOT_OEM.encode()),
], ids=["too-long-line", "not-utf8", "missing", "vertical-tab", "form-feed", "ctrl-z", "not-oem"])
def test_a_hosts_file_that_cannot_be_used_is_refused_before_anything_starts(varnick, tmp_path,
                                                                            content, message):
    project = tmp_path / "dev.hosts"
    if content is not None:
        project.write_bytes(content)
    result = session(varnick, "--hosts-file", win_path(project), "--", "cmd", "/c", "echo COMMAND RAN")
    assert result.returncode == USAGE_ERROR, result
    assert message in result.stderr
    assert b"COMMAND RAN" not in result.stdout
    assert varnick.log_bytes() == b""


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


def notes(result):
    """The session's messages, without their "varnick-session: "."""
    return [line.removeprefix("varnick-session: ")
            for line in without_trust_notice(result.stderr).decode().splitlines()]


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


class HeldSession:
    """A session that holds its entry until Enter."""

    def __init__(self, varnick, entry):
        self.entry = entry
        self.line = entry + b"\r\n"
        self.varnick = varnick
        self.process = subprocess.Popen([*SESSION, "--add", entry.decode()],
                                        cwd=varnick.work_dir, env=varnick.env(),
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def serving(self):
        pass  # its Varnick connects and adds on its own

    def waits(self):
        return WAITS_FOR_SERVER in self.varnick.records()

    def end(self):
        self.process.stdin.write(b"\n")
        self.process.stdin.close()
        return self.process.wait(timeout=timeout(60))

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()


class BareServer:
    """`varnick server` with a backup of its own, driven by a scripted controller."""

    def __init__(self, varnick, entry):
        self.entry = entry
        self.line = b"\r\n" + entry
        self.controller = Controller()
        self.run = ServerRun(varnick, self.controller, varnick.work_dir / "backup")
        self.log = varnick.work_dir / "varnick.log"

    def serving(self):
        self.controller.accept()
        assert self.controller.request(add(self.entry)) == 0

    def waits(self):
        return self.log.exists() and WAITS_FOR_SERVER in parse_records(self.log.read_text())

    def end(self):
        assert self.controller.request(SHUTDOWN) == 0
        return self.run.wait()

    def kill(self):
        self.run.kill()
        self.controller.close()


@pytest.mark.parametrize("first, second", [(HeldSession, BareServer), (BareServer, HeldSession)],
                         ids=["session-first", "server-first"])
def test_a_session_and_a_bare_server_take_turns(varnick, first, second):
    # The serving lock keeps the second Varnick from backing up, and later
    # restoring, the first one's entry, or from having its own restored away.
    started = []
    try:
        started.append(first(varnick, b"10.0.0.1 first.test"))
        started[0].serving()
        wait_until(lambda: varnick.hosts.endswith(started[0].line))
        started.append(second(varnick, b"10.0.0.2 second.test"))
        wait_until(started[1].waits)
        assert started[0].end() == 0
        started[1].serving()
        wait_until(lambda: varnick.hosts == varnick.DEFAULT_HOSTS + started[1].line)
        assert started[1].end() == 0
    finally:
        for run in started:
            run.kill()
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("how", ["hold", "deny"])
def test_the_name_of_the_old_replacement_mutex_stands_in_nobodys_way(varnick, how):
    with varnick.hold_mutex(r"Global\VarnickHostsFileReplace", how):
        assert varnick.run("add", "10.0.0.1 a.test").returncode == 0
        assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 a.test"
        assert varnick.run("del", "10.0.0.1 a.test").returncode == 0
        before = varnick.hosts
        assert b"a.test" not in before
        result = session(varnick, "--add", "10.0.0.2 b.test", *type_hosts(varnick))
    assert result.returncode == 0, result
    assert result.stdout.endswith(before + b"10.0.0.2 b.test\r\n")
    assert varnick.hosts == before


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

