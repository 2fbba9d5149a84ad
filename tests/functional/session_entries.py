"""What a session is asked to add, checked before anything starts: command
lines, entries that are not one exact line of the hosts file, entries from a
hosts file beside the code and such a file that cannot be used; and an entry
that Varnick refuses, after which the command does not run."""

import contextlib
import re

import pytest

from session_harness import (ENTRY_REFUSED, USAGE_ERROR, session, session_started, type_hosts,
                             wait_until)
from session_harness import varnick  # noqa: F401 (a fixture)
from wine_harness import timeout, win_path


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
