"""varnick-session as a developer's tools meet it: commands found along PATH
with PATHEXT (batch files through cmd.exe, their arguments quoted or
refused), mistyped command lines answered, entries checked as hosts lines,
and --json events for programs that wrap a session."""

import json
import re
import subprocess
import time
from pathlib import Path

import pytest

from session_harness import (ENTRY_REFUSED, INTERRUPTED, LOG_SHOWN, SESSION, USAGE_ERROR,  # noqa: F401
                             session, varnick, wait_until)
from wine_harness import BUILD_DIR, ROOT, SEND_CTRL_C, run_on_console, win_path

PRINT_ARGS = BUILD_DIR / "print_args.exe"
NOT_FOUND = 127
# What a batch file that starts a dev server does: passes %* on to a program.
SHIM = "@echo off\r\ntype \"{hosts}\"\r\n\"{program}\" {name} %*\r\nexit /b {code}\r\n"


@pytest.fixture
def tools(varnick, tmp_path):
    """A folder on PATH with npm.cmd and vite.cmd, as Node puts them there;
    each prints the hosts file, then its arguments as the program it starts
    received them, and exits with 3 (npm) or 4 (vite)."""
    folder = tmp_path / "node bin"
    folder.mkdir()
    for name, code in [("npm", 3), ("vite", 4)]:
        (folder / f"{name}.cmd").write_text(SHIM.format(
            hosts=win_path(varnick.hosts_path), program=win_path(PRINT_ARGS), name=name, code=code))
    (varnick.work_dir / "dev.hosts").write_bytes(b"127.0.0.1 api.myapp.test\r\n")
    return {"WINEPATH": win_path(folder)}


def run(varnick, tools, *args, stdin=b""):
    return session(varnick, *args, stdin=stdin, env=tools)


def printed_args(stdout):
    return re.findall(rb"<(.*?)>\r?\r?\n", stdout)


@pytest.mark.parametrize("command, code, arguments", [
    (["npm", "run", "dev"], 3, ["npm", "run", "dev"]),
    (["vite", "--port", "5173"], 4, ["vite", "--port", "5173"]),
    (["npm.cmd", "test"], 3, ["npm", "test"]),
    # What cmd.exe would read as its own reaches the program as it was given.
    (["npm", "a&echo PWNED>pwned.txt", "x|y", "<z>", "c^d", 'say "hi"&', "tail\\", "(p)!x!,;=",
      ""], 3,
     ["npm", "a&echo PWNED>pwned.txt", "x|y", "<z>", "c^d", 'say "hi"&', "tail\\", "(p)!x!,;=",
      ""]),
])
def test_batch_files_on_path_run_with_their_arguments_and_exit_code(varnick, tools, command, code,
                                                                   arguments):
    result = run(varnick, tools, "--add", "127.0.0.1 api.myapp.test", "--", *command)
    assert result.returncode == code, result
    assert b"127.0.0.1 api.myapp.test" in result.stdout
    assert printed_args(result.stdout) == [a.encode() for a in arguments]
    assert not (varnick.work_dir / "pwned.txt").exists()
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("command, code, says", [
    # cmd.exe expands %NAME% even inside quotes (Wine's drops a lone %), and
    # a line break would end its command line: refused before anything runs.
    (["npm", "run", "%PATH%"], USAGE_ERROR, b"the argument '%PATH%' cannot be passed to "),
    (["npm", "100%"], USAGE_ERROR, b"cmd.exe would expand % in it"),
    (["npm", "a\nb"], USAGE_ERROR, b"the argument 'a\\nb' cannot be passed to "),
    (["no-such-tool", "x"], NOT_FOUND, b"could not find the command no-such-tool"),
])
def test_commands_that_cannot_run_safely_start_nothing(varnick, tools, command, code, says):
    result = run(varnick, tools, "--add", "127.0.0.1 api.myapp.test", "--", *command)
    assert result.returncode == code, result
    assert says in result.stderr
    assert b"nothing was started" in result.stderr
    assert printed_args(result.stdout) == []
    assert varnick.log_bytes() == b""


@pytest.mark.parametrize("args, says", [
    (["--add", "127.0.0.1 a.test", "npm", "run", "dev"],
     b"put -- before the command: varnick-session --add ... -- npm run dev"),
    (["--add", "127.0.0.1 a.test", "/x"], b"unknown option /x"),
])
def test_a_mistyped_command_line_is_answered(varnick, args, says):
    result = session(varnick, *args)
    assert result.returncode == USAGE_ERROR
    assert says in result.stderr
    assert varnick.log_bytes() == b""


@pytest.mark.parametrize("flag", ["-h", "/?"])
def test_short_help_flags_print_the_help(varnick, flag):
    asked, long = session(varnick, flag), session(varnick, "--help")
    assert asked.returncode == 0 and asked.stdout == long.stdout


@pytest.mark.parametrize("entry, says", [
    ("127.0.0.1api.test", b"'127.0.0.1api.test' is not an IPv4 or IPv6 address"),
    ("api.test 127.0.0.1", b"'api.test' is not an IPv4 or IPv6 address; the address comes first"),
    ("127.0.0.1 api test!", b"'test!' is not a host name: '!' may not stand in a name"),
    ("999.1.1.1 bad.test", b"'999.1.1.1' is not an IPv4 or IPv6 address"),
    ("", b"is empty: a hosts line needs an address and a host name"),
    ("# a comment", b"is a comment, not an entry"),
    ("127.0.0.1 " + " ".join(f"n{i}.test" for i in range(10)),
     b"has 10 host names; Windows reads at most 9 on a line"),
])
def test_entries_that_cannot_be_hosts_lines_are_refused(varnick, entry, says):
    result = session(varnick, "--add", entry, "--", "cmd", "/c", "echo RAN")
    assert result.returncode == USAGE_ERROR, result
    assert says in result.stderr and b"(--raw sends entries as they are)" in result.stderr
    assert b"RAN" not in result.stdout
    assert varnick.log_bytes() == b""


@pytest.mark.parametrize("args, line, warns", [
    (["--add", "::1 v6.test  # a comment"], b"::1 v6.test  # a comment", False),
    (["--add", "10.0.0.1\t" + " ".join(f"n{i}.test" for i in range(9))],
     b"10.0.0.1\t" + b" ".join(b"n%d.test" % i for i in range(9)), False),
    # --raw takes an entry as it is, still one line.
    (["--raw", "--add", "api.test 127.0.0.1"], b"api.test 127.0.0.1", False),
    # A line the hosts file has is added all the same, with a warning.
    (["--add", "127.0.0.1 localhost"], b"127.0.0.1 localhost", True),
])
def test_accepted_entries_go_in(varnick, args, line, warns):
    result = session(varnick, *args, "--", "cmd", "/c", "type", win_path(varnick.hosts_path))
    assert result.returncode == 0, result
    assert result.stdout.endswith(b"\n" + line + b"\r\n")
    assert (b"the hosts file already holds the line '127.0.0.1 localhost'; it is added again"
            in result.stderr) == warns
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def read_events(path):
    return [json.loads(line) for line in path.read_bytes().splitlines() if line.strip()]


def test_json_events_tell_a_program_when_the_entries_are_in_and_when_the_session_ended(
        varnick, tmp_path):
    out = tmp_path / "events.out"
    with open(out, "wb") as events:
        process = subprocess.Popen([*SESSION, "--json", "--add", "10.0.0.1 j.test"],
                                   cwd=varnick.work_dir, env=varnick.env(), stdin=subprocess.PIPE,
                                   stdout=events, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: b"\n" in out.read_bytes())
        [ready] = read_events(out)
        assert ready == {"event": "ready", "entries": ["10.0.0.1 j.test"],
                         "hosts_file": win_path(varnick.hosts_path), "via": "consent"}
        assert varnick.hosts == varnick.DEFAULT_HOSTS + b"10.0.0.1 j.test\r\n"
        process.stdin.close()
        assert process.wait(timeout=60) == 0
    finally:
        process.kill()
    assert read_events(out) == [ready, {"event": "ended", "exit_code": 0}]
    assert b"\r" not in out.read_bytes()
    assert varnick.hosts == varnick.DEFAULT_HOSTS


@pytest.mark.parametrize("args, code, reason, says", [
    (["--add", "999.1.1.1 bad.test"], USAGE_ERROR, "usage",
     "'999.1.1.1' is not an IPv4 or IPv6 address"),
    (["--add", "x", "npm"], USAGE_ERROR, "usage", "put -- before the command"),
    (["--no-consent", "--add", "127.0.0.1 a.test"], 121, "service-not-running",
     "--no-consent never asks for consent"),
])
def test_json_failures_come_as_an_error_then_ended(varnick, args, code, reason, says):
    result = session(varnick, "--json", *args)
    assert result.returncode == code
    error, ended = [json.loads(line) for line in result.stdout.splitlines()]
    assert error["event"] == "error" and error["exit_code"] == code and says in error["message"]
    assert error["reason"] == reason
    assert ended == {"event": "ended", "exit_code": code}


def status_in_one_json_line(varnick, result):
    assert result.stdout.endswith(b"\n") and result.stdout.count(b"\n") == 1, result
    assert b"\r" not in result.stdout and result.stderr == b""
    status = json.loads(result.stdout)
    assert status["hosts_file"] == {"path": win_path(varnick.hosts_path),
                                    "size": len(varnick.DEFAULT_HOSTS)}
    assert (status["sessions"], status["service"]["running"]) == ([], False)
    assert status["log"]["path"] == LOG_SHOWN.decode()


def port_refused_without_raw(varnick, result):
    assert result.stderr == (b"varnick-session: the entry '127.0.0.1:3000 api.test' has a port "
                             b"(:3000): a hosts line maps names to an address alone; give the "
                             b"port to the program instead\r\n")
    assert b"RAN" not in result.stdout and varnick.log_bytes() == b""


@pytest.mark.parametrize("args, code, check", [
    (["--status", "--json"], 0, status_in_one_json_line),
    (["--json", "--status"], 0, status_in_one_json_line),
    (["--add", "127.0.0.1:3000 api.test", "--", "cmd", "/c", "echo RAN"], USAGE_ERROR,
     port_refused_without_raw),
], ids=["status-json", "json-status", "port"])
def test_answers_that_start_no_session(varnick, args, code, check):
    result = session(varnick, *args)
    assert result.returncode == code, result
    check(varnick, result)


# The pages whose indented examples a reader copies as they stand.
DOC_PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def test_the_readme_and_help_examples_run_as_written(varnick, tools):
    """Each example command in README.md, docs/*.md and --help, run with Enter
    on its standard input (which ends a session without a command sooner).
    A synopsis line ([ or |) is no example; one that needs what this run
    lacks (the Varnick service) stands in a fenced block instead."""
    help_text = session(varnick, "--help").stdout.decode()
    examples = [example for page in DOC_PAGES
                for example in re.findall(r"^ {4}(varnick-session [^\[\n|]*)$",
                                          page.read_text(), re.M)]
    examples += re.findall(r"^ {2}(varnick-session .*?)\r?$", help_text, re.M)
    assert len(examples) >= 8, examples
    for example in dict.fromkeys(examples):
        args = [a.strip('"') for a in re.findall(r'"[^"]*"|\S+', example)][1:]
        result = run(varnick, tools, *args, stdin=b"\n")
        assert result.returncode in (0, 3), (example, result)
        assert varnick.hosts == varnick.DEFAULT_HOSTS, example


def table_rows(text, first_cell):
    """The cells of each Markdown table row whose first cell matches."""
    return [[cell.strip() for cell in line.strip().strip("|").split("|")]
            for line in text.splitlines()
            if re.match(rf"\|\s*{first_cell}\s*\|", line)]


def test_the_exit_code_table_in_the_docs_is_the_one_help_prints(varnick):
    """docs/session.md holds the one table of exit codes: the same codes as
    --help, each with --help's meaning word for word."""
    help_text = session(varnick, "--help").stdout.decode()
    printed = dict(re.findall(r"^  (1\d\d)  (.+?)\r?$", help_text, re.M))
    assert len(printed) >= 9, help_text
    section = (ROOT / "docs" / "session.md").read_text().split("\n## Exit codes\n")[1]
    section = section.split("\n## ")[0]
    documented = {row[0]: row[1] for row in table_rows(section, r"\d+")}
    assert documented == printed
