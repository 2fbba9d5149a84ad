"""The Linux half of varnick-session against a real /etc/hosts, as root, in
a private mount namespace: a folder of the test's is bound over /etc (and,
for a container's hosts file, a file of the test's over /etc/hosts) and a
tmpfs over /run, so the half works on its default paths while the
machine's own /etc/hosts is never touched; a guard in each namespace checks
that /etc is the test's before the half starts. build/native/half_driver
runs the half in a child over a socketpair and prints its reports, replies
and exit code as JSON lines."""

import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from wine_harness import ROOT

DRIVER = ROOT / "build" / "native" / "half_driver"

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or os.geteuid() != 0 or shutil.which("unshare") is None,
    reason="needs Linux, root and unshare")


@pytest.fixture(autouse=True)
def built_driver():
    # The test command builds it before these tests; a missing one is a fault, not a skip.
    assert DRIVER.exists(), f"{DRIVER} is not built: run scripts/build.sh native"

# ReportKind (src/link/session_report.h)
REMOVED, RECOVERED, RECOVERY_FAILED, TOOK_OUT = 1, 3, 4, 8

BEFORE = b"127.0.0.1 localhost\n::1 ip6-localhost"  # no line end at its end


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.fixture(autouse=True)
def machine_hosts_file_untouched():
    before = digest(Path("/etc/hosts"))
    yield
    assert digest(Path("/etc/hosts")) == before


class Etc:
    """The test's /etc: a folder with a hosts file, and with `container`, a
    hosts file of its own bound over the folder's, as Docker binds one."""

    def __init__(self, tmp_path, content=BEFORE, container=False):
        self.folder = tmp_path / "etc"
        self.folder.mkdir()
        (self.folder / "hosts").write_bytes(b"" if container else content)
        self.bound = tmp_path / "container-hosts" if container else None
        if self.bound:
            self.bound.write_bytes(content)
        self.log = tmp_path / "varnick.log"

    @property
    def hosts(self):
        return self.bound or self.folder / "hosts"

    def leftovers(self):
        return sorted(p.name for p in self.folder.iterdir() if p.name != "hosts")

    def run(self, *steps, env=None, peer_uid=None):
        """Runs the half with `steps` in a namespace of its own: the events."""
        guard = (f'[ "$(stat -c %d:%i /etc)" = "$(stat -c %d:%i {shlex.quote(str(self.folder))})" ]'
                 " || exit 99")
        mounts = [f"mount --bind {shlex.quote(str(self.folder))} /etc", guard]
        if self.bound:
            mounts.append(f"mount --bind {shlex.quote(str(self.bound))} /etc/hosts")
        mounts.append("mount -t tmpfs tmpfs /run")
        driver = [str(DRIVER), "/etc/hosts", "/etc", "/run/varnick", str(self.log)]
        if peer_uid is not None:
            driver += ["--peer-uid", str(peer_uid)]
        script = " && ".join(mounts + [shlex.join(driver + list(steps))])
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
                              capture_output=True, timeout=120, env=env)
        assert done.returncode == 0, done.stderr.decode(errors="replace")
        return [json.loads(line) for line in done.stdout.decode().splitlines()]


def report(events, phase):
    found = [e["items"] for e in events if e.get("report") == phase]
    return [(item["kind"], item["line"]) for item in found[0]] if found else None


def exit_code(events):
    return events[-1]["exit"]


@pytest.mark.parametrize("other", [None, "10.9.9.9 other.example"])
def test_a_session_leaves_the_hosts_file_as_it_found_it_with_its_owner_mode_and_attributes(
        tmp_path, other):
    etc = Etc(tmp_path)
    os.chown(etc.hosts, 1, 2)
    os.chmod(etc.hosts, 0o640)
    os.setxattr(etc.hosts, "user.origin", b"kept across the take-out")
    inode = etc.hosts.stat().st_ino
    steps = ["add:10.0.0.1 a.test"]
    if other:  # another program appends while the session runs
        steps.append(f"sh:echo {shlex.quote(other)} >> /etc/hosts")
    events = etc.run(*steps, "add:10.0.0.2 b.test", "shutdown")
    assert [e["reply"] for e in events if "request" in e] == [0, 0, 0]
    assert report(events, "end") == [(TOOK_OUT, "10.0.0.1 a.test"), (TOOK_OUT, "10.0.0.2 b.test")]
    assert exit_code(events) == 0
    expected = BEFORE + (b"\n" + other.encode() + b"\n" if other else b"")
    assert etc.hosts.read_bytes() == expected
    status = etc.hosts.stat()
    assert status.st_ino != inode, "a new file renamed over the hosts file"
    assert (status.st_uid, status.st_gid, status.st_mode & 0o7777) == (1, 2, 0o640)
    assert os.getxattr(etc.hosts, "user.origin") == b"kept across the take-out"
    assert etc.leftovers() == []


def test_a_hosts_file_bound_over_etc_hosts_is_rewritten_in_place(tmp_path):
    etc = Etc(tmp_path, container=True)
    inode = etc.hosts.stat().st_ino
    # What makes the half write in place: no rename replaces a mount point.
    probe = ("sh:python3 -c \"import errno, os; open('/etc/p', 'w').close()\n"
             "try: os.rename('/etc/p', '/etc/hosts')\n"
             "except OSError as e: raise SystemExit(e.errno != errno.EBUSY)\n"
             "raise SystemExit(2)\"; s=$?; rm -f /etc/p; exit $s")
    events = etc.run("add:10.0.0.1 a.test", probe, "shutdown")
    assert [e["sh"] for e in events if "sh" in e] == [0], "rename over /etc/hosts gave EBUSY"
    assert report(events, "end") == [(TOOK_OUT, "10.0.0.1 a.test")]
    assert exit_code(events) == 0
    assert etc.hosts.read_bytes() == BEFORE
    assert etc.hosts.stat().st_ino == inode
    assert "rewritten in place" in etc.log.read_text()
    assert etc.leftovers() == []


JOURNAL = "hosts.varnick-session-" + "0f" * 16 + ".journal"


def cut_rewrite_journal(etc, copy=None):
    """What a half leaves when it is cut off in the middle of an in-place
    rewrite: its journal up to the R record, the copy from before, and a
    hosts file whose first bytes are new and the rest old. A `copy` outside
    /etc is named by a path through the folder above it."""
    ours = b"10.0.0.1 a.test"
    before = BEFORE + b"\n" + ours + b"\n# kept\n"
    after = BEFORE + b"\n# kept\n"
    copy = copy or etc.folder / ".hosts.varnick-Ab12Cd"
    copy.write_bytes(before)
    name = copy.name if copy.parent == etc.folder else "../" + str(copy).lstrip("/")
    cut = len(BEFORE) + 5  # past the first byte that the rewrite changes
    assert after[:cut] != before[:cut]
    etc.hosts.write_bytes(after[:cut] + before[cut:])
    journal = (b"varnick session journal 2\r\nstarted 2026-01-02 03:04:05\r\n"
               b"S " + ours.hex().encode() + b"\r\nT 1-2\r\nR " + name.encode() + b"\r\n")
    (etc.folder / JOURNAL).write_bytes(journal)
    return after


@pytest.mark.parametrize("cut", ["killed half", "cut rewrite in a container"])
def test_the_next_half_recovers_what_an_interrupted_one_left(tmp_path, cut):
    etc = Etc(tmp_path, container=cut != "killed half")
    if cut == "killed half":
        events = etc.run("add:10.0.0.1 a.test", "add:10.0.0.2 b.test", "kill")
        assert events[-1]["signal"] == 9
        assert etc.hosts.read_bytes() != BEFORE
        assert len(etc.leftovers()) == 1, "the killed half's journal stays"
        expected = BEFORE
        removed = ["10.0.0.1 a.test", "10.0.0.2 b.test"]
    else:
        expected = cut_rewrite_journal(etc)
        removed = ["10.0.0.1 a.test"]
    events = etc.run("shutdown")
    start = report(events, "start")
    assert [line for kind, line in start if kind == REMOVED] == removed
    assert start[-1][0] == RECOVERED
    assert report(events, "end") == []
    assert etc.hosts.read_bytes() == expected
    assert etc.leftovers() == []


def test_a_running_halfs_journal_is_left_to_it_by_the_next_halfs_recovery(tmp_path):
    etc = Etc(tmp_path)
    beside = tmp_path / "beside.jsonl"
    second = shlex.join([str(DRIVER), "/etc/hosts", "/etc", "/run/varnick", str(etc.log),
                         "add:10.0.0.2 b.test", "shutdown"])
    events = etc.run("add:10.0.0.1 a.test", f"sh:{second} > {shlex.quote(str(beside))}", "shutdown")
    inner = [json.loads(line) for line in beside.read_text().splitlines()]
    assert report(inner, "start") == [], "the first half's journal is held: nothing to recover"
    assert report(inner, "end") == [(TOOK_OUT, "10.0.0.2 b.test")]
    assert report(events, "end") == [(TOOK_OUT, "10.0.0.1 a.test")]
    assert etc.hosts.read_bytes() == BEFORE
    assert etc.leftovers() == []


def test_a_linked_hosts_file_is_never_written_through(tmp_path):
    etc = Etc(tmp_path)
    target = tmp_path / "elsewhere"
    target.write_bytes(BEFORE)
    (etc.folder / "hosts").unlink()
    (etc.folder / "hosts").symlink_to(target)
    events = etc.run("add:10.0.0.1 a.test", "shutdown")
    assert [e["reply"] for e in events if "request" in e] == [1, 0]
    assert exit_code(events) == 0
    assert target.read_bytes() == BEFORE
    assert (etc.folder / "hosts").is_symlink()
    assert "Failed to open hosts file" in etc.log.read_text()
    assert etc.leftovers() == []


def test_only_root_or_the_user_who_ran_sudo_is_served(tmp_path):
    etc = Etc(tmp_path)
    env = {k: v for k, v in os.environ.items() if k != "SUDO_UID"}
    refused = etc.run("add:10.0.0.1 a.test", env=env, peer_uid=65534)
    assert report(refused, "start") is None
    assert exit_code(refused) == 8
    served = etc.run("add:10.0.0.1 a.test", "shutdown", env={**env, "SUDO_UID": "65534"},
                     peer_uid=65534)
    assert report(served, "end") == [(TOOK_OUT, "10.0.0.1 a.test")]
    assert etc.hosts.read_bytes() == BEFORE


def entry_file(tmp_path, entry):
    path = tmp_path / "entry"
    path.write_bytes(entry)
    return f"addfile:{path}"


def journal_naming_a_copy_elsewhere(etc, tmp_path):
    victim = tmp_path / "elsewhere" / "victim"
    victim.parent.mkdir()
    cut_rewrite_journal(etc, copy=victim)
    return ["shutdown"]


ESCAPES = b"127.0.0.1 ctl.test\x1b]0;owned\x07\x1b[2J"
GOOD = "add:10.0.0.1 a.test"

# (what a caller sends, its steps, the replies, the record that says why)
ATTACKS = [
    ("an entry one byte too long",
     lambda etc, tmp: [entry_file(tmp, b"127.0.0.1 " + b"a" * 245), GOOD, "shutdown"],
     [1, 0, 0], "is 255 bytes long as sent; at most 254 fit"),
    ("an entry that drives a terminal",
     lambda etc, tmp: [entry_file(tmp, ESCAPES), GOOD, "shutdown"],
     [1, 0, 0], r"Refused: the entry '127.0.0.1 ctl.test\x1B]0;owned\x07\x1B[2J' holds"),
    # Both end the connection before the body is read: no reply.
    ("a 1 MiB entry",
     lambda etc, tmp: [entry_file(tmp, b"127.0.0.1 " + b"a" * (1 << 20)), GOOD, "close"],
     [-1, -1], "Request of 1048591 bytes is longer than the 4096 bytes"),
    ("a 1 GiB frame with 64 MiB of body",
     lambda etc, tmp: [f"frame:{1 << 30}:{64 << 20}"],
     [], "Request of 1073741824 bytes is longer than the 4096 bytes"),
    # Recovery reads and removes the copy that an R record names.
    ("a journal naming a copy outside /etc",
     journal_naming_a_copy_elsewhere,
     [0], "its journal could not be read"),
]


@pytest.mark.parametrize("attack, steps, replies, record", ATTACKS, ids=[a[0] for a in ATTACKS])
def test_what_no_session_sends_is_refused_before_anything_is_written(tmp_path, attack, steps,
                                                                     replies, record):
    etc = Etc(tmp_path)
    sent = steps(etc, tmp_path)
    hosts = etc.hosts.read_bytes()
    files = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    events = etc.run(*sent)
    assert [e["reply"] for e in events if "request" in e] == replies
    assert exit_code(events) == 0
    for frame in (e for e in events if "frame" in e):
        assert frame["sent"] < 1 << 20, "the half read the body of a frame it refused"
    # The connection goes on after a refused entry, and ends at a refused frame.
    good = [reply for step, reply in zip(sent, replies) if step == GOOD]
    took_out = [(TOOK_OUT, "10.0.0.1 a.test")] if good == [0] else []
    assert report(events, "end") == took_out
    assert etc.hosts.read_bytes() == hosts
    # Every file that was there, the journal and the copy it names included,
    # is there as it was.
    assert {p: p.read_bytes() for p in files if p.exists()} == files
    log = etc.log.read_bytes()
    assert record.encode() in log, log.decode(errors="replace")
    assert not re.search(rb"[\x00-\x08\x0b-\x1f\x7f]", log), "a raw control byte in the log"
