"""Which varnick.exe a session starts, and whose connection it takes: a
missing varnick.exe, one that exits before it connects, one that users other
than administrators may change, a relative --varnick that starts the file
checked and never a stand-in, and a connection from a process that the
system's TCP table does not name."""

import contextlib
import shutil
import socket
import subprocess

import pytest

from session_harness import (LOG_SHOWN, NO_CONNECTION, NO_VARNICK, SESSION, SESSION_EXE, TRUST,
                             VARNICK_FOLDER, listening, notes, session, type_hosts, wait_until)
from session_harness import unused_port, varnick  # noqa: F401 (fixtures)
from wine_harness import BUILD_DIR, Varnick, run_captured, timeout, win_path


# Runs a program with the token of an administrator's unelevated prompt:
# under Wine every process is elevated otherwise, and a session would never
# start Varnick through consent.
RUN_LIMITED = BUILD_DIR / "run_limited.exe"


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
