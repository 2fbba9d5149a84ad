"""Finding the hosts file: DataBasePath from the registry, expanded; and what
varnick.exe and varnick-session say, with the system's code, when it fails."""

import pytest

from session_harness import NO_VARNICK, session
from wine_harness import HOSTS_VARIABLE, win_path

# Each with the system's code: 2 is ERROR_FILE_NOT_FOUND, 234 ERROR_MORE_DATA.
OPEN_KEY_FAILED = b"Could not open System\\CurrentControlSet\\Services\\Tcpip\\Parameters 2\r\r\n"
OPEN_VALUE_FAILED = b"Could not open DataBasePath 2\r\r\n"
VALUE_TOO_LARGE = b"Could not open DataBasePath 234\r\r\n"


def hex_utf16(text):
    return text.encode("utf-16-le").hex()


@pytest.mark.parametrize("mode", ["add", "bogus"])
def test_missing_key(varnick, registry, mode):
    registry.delete_key()
    result = varnick.run(mode, "x")
    assert result.returncode == 1
    assert result.stdout.endswith(OPEN_KEY_FAILED)
    assert varnick.log_bytes() == b""
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("mode", ["add", "del", "bogus"])
def test_missing_value_ends_any_mode(varnick, registry, mode):
    registry.delete_value("DataBasePath")
    result = varnick.run(mode, "x")
    assert result.returncode == 1
    assert result.stdout.endswith(OPEN_VALUE_FAILED)
    assert varnick.log_bytes() == b""


@pytest.mark.parametrize("kind, data", [
    ("REG_SZ", "C:\\" + "d" * 300),
    # 260 characters and no NUL: the value fills the buffer with no room left.
    ("REG_BINARY", hex_utf16("C:\\" + "d" * 257)),
])
def test_value_too_large_for_the_buffer(varnick, registry, kind, data):
    registry.add("DataBasePath", kind, data)
    result = varnick.run("add", "x")
    assert result.returncode == 1
    assert result.stdout.endswith(VALUE_TOO_LARGE)


def test_value_without_terminator_is_terminated_in_the_buffer(varnick, registry):
    registry.add("DataBasePath", "REG_BINARY", hex_utf16(win_path(varnick.hosts_dir)))
    result = varnick.run("add", "10.0.0.1 raw.test")
    assert result.returncode == 0, result
    assert varnick.hosts.endswith(b"\r\n10.0.0.1 raw.test")


@pytest.mark.parametrize("kind", ["REG_SZ", "REG_EXPAND_SZ"])
def test_plain_path_value_of_either_string_type(varnick, registry, kind):
    registry.add("DataBasePath", kind, win_path(varnick.hosts_dir))
    result = varnick.run("add", "10.0.0.1 plain.test")
    assert result.returncode == 0
    assert varnick.hosts.endswith(b"\r\n10.0.0.1 plain.test")


def test_value_ending_with_backslash_keeps_both_backslashes(varnick, registry):
    registry.add("DataBasePath", "REG_EXPAND_SZ", f"%{HOSTS_VARIABLE}%\\")
    result = varnick.run("add", "10.0.0.1 slash.test")
    assert ("INFO", "Main", f"Using hosts file {varnick.hosts_variable}\\\\hosts") in varnick.records()
    assert result.returncode == 0
    assert varnick.hosts.endswith(b"\r\n10.0.0.1 slash.test")


def test_expansion_longer_than_the_buffer(varnick):
    result = varnick.run("add", "x", **{HOSTS_VARIABLE: "C:\\" + "e" * 300})
    assert result.returncode == 1
    assert result.stdout.endswith(
        f"Could not expand %{HOSTS_VARIABLE}%: the result does not fit in 260 characters\r\r\n".encode())
    assert varnick.log_bytes() == b""


@pytest.mark.parametrize("length, fits", [(253, True), (254, False)])
def test_hosts_path_must_fit_with_its_suffix(varnick, length, fits):
    directory = "C:\\" + "p" * (length - 3)
    result = varnick.run("bogus", "x", **{HOSTS_VARIABLE: directory})
    if fits:
        # 253 + "\hosts" = 259 characters and the NUL: the start-up goes on.
        assert result.stdout.endswith(b"Unknown option bogus\r\r\n")
        assert varnick.records() == [("INFO", "Main", f"Using hosts file {directory}\\hosts")]
    else:
        assert result.returncode == 1
        assert result.stdout.endswith(
            f"The hosts file path {directory}\\hosts does not fit in 260 characters\r\r\n".encode())
        assert varnick.log_bytes() == b""


@pytest.mark.parametrize("args, code, says", [
    (["--add", "10.0.0.1 a.test", "--", "cmd", "/c", "echo RAN"], NO_VARNICK,
     b"could not find the hosts file through the registry value DataBasePath (error 2)\r\n"),
    # Under Wine the session runs elevated, so --status looks for the serving lock.
    (["--status"], 0, b"server: cannot tell whether a Varnick is serving (error 2)\r\n"),
], ids=["session", "status"])
def test_the_session_tool_names_the_systems_code_when_the_hosts_file_is_not_found(
        varnick, registry, args, code, says):
    registry.delete_value("DataBasePath")
    result = session(varnick, *args)
    assert result.returncode == code, result
    assert says in result.stdout + result.stderr
    assert b"RAN" not in result.stdout
