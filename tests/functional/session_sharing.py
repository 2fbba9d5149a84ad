"""varnick-session beside the other writers of the hosts file: sessions side by
side, each taking out its own lines; what others change during a session
outliving its end, and named before a --backup undoes it; a session and a bare
`varnick server` taking turns; and the name of the old replacement mutex,
which stands in nobody's way."""

import pytest

from controller import SHUTDOWN, Controller, ServerRun, add
from session_harness import (WAITS_FOR_SERVER, HeldSession, held_session, session, type_hosts,
                             wait_until)
from session_harness import varnick  # noqa: F401 (a fixture)
from wine_harness import parse_records, run_captured, win_path


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
