"""`add <entry>`: appending one line to the hosts file."""

import pytest

ERROR_FILE_NOT_FOUND = 2
ERROR_SHARING_VIOLATION = 32


def add_records(varnick):
    return [r for r in varnick.records() if r[1] == "AddEntry"]


@pytest.mark.parametrize("entry, written, shown", [
    ("10.0.0.1 example.test", b"10.0.0.1 example.test", "10.0.0.1 example.test"),
    ("", b"", ""),
    ("x" * 254, b"x" * 254, "x" * 254),
    # OEM code page 437: e-acute is 0x82; a character it lacks becomes '?'.
    ("10.0.0.1 caf\u00e9.test", b"10.0.0.1 caf\x82.test", "10.0.0.1 caf\u00e9.test"),
    ("10.0.0.1 \u65e5.test", b"10.0.0.1 ?.test", "10.0.0.1 \u65e5.test"),
])
def test_entry_is_appended_after_a_line_break(varnick, entry, written, shown):
    result = varnick.run("add", entry)
    assert result.returncode == 0
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n" + written
    assert add_records(varnick) == [("INFO", "AddEntry", f"Written to hosts file '{shown}'")]


@pytest.mark.parametrize("entry", ["x" * 255, "x" * 400, "\u00e9" * 255])
def test_entry_longer_than_254_bytes_is_refused(varnick, entry):
    result = varnick.run("add", entry)
    assert result.returncode == 1
    assert result.stdout.endswith(f"Unable to convert {entry} to multibyte\r\r\n".encode())
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    assert add_records(varnick) == []


def test_two_adds_in_a_row_on_a_file_without_final_line_break(varnick):
    varnick.hosts_path.write_bytes(b"127.0.0.1 localhost")
    assert varnick.run("add", "A").returncode == 0
    assert varnick.run("add", "B").returncode == 0
    assert varnick.hosts == b"127.0.0.1 localhost\r\nA\r\nB"


def test_adding_an_existing_entry_appends_it_again(varnick):
    varnick.hosts_path.write_bytes(b"10.0.0.1 dup.test")
    assert varnick.run("add", "10.0.0.1 dup.test").returncode == 0
    assert varnick.hosts == b"10.0.0.1 dup.test\r\n10.0.0.1 dup.test"


def test_missing_hosts_file_is_not_created(varnick):
    varnick.hosts_path.unlink()
    result = varnick.run("add", "10.0.0.1 example.test")
    assert result.returncode == 1
    assert add_records(varnick) == [("INFO", "AddEntry", f"Failed to open hosts file {ERROR_FILE_NOT_FOUND}")]
    assert not varnick.hosts_path.exists()


@pytest.mark.parametrize("access, share, refused", [
    ("rw", 0, True),   # held exclusively
    ("w", 1, True),    # another writer: our share mode admits readers only
    ("r", 0, True),    # a reader that shares nothing
    ("r", 3, False),   # a reader that lets others read and write
])
def test_hosts_file_held_by_another_process(varnick, access, share, refused):
    with varnick.hold(varnick.hosts_path, access, share):
        result = varnick.run("add", "10.0.0.1 held.test")
    if refused:
        assert result.returncode == 1
        assert add_records(varnick) == [
            ("INFO", "AddEntry", f"Failed to open hosts file {ERROR_SHARING_VIOLATION}")]
        assert varnick.hosts == varnick.DEFAULT_HOSTS
    else:
        assert result.returncode == 0
        assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 held.test"
