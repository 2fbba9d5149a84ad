"""varnick-session on Linux, run for real as root and as a user through sudo.

Each case runs in a private mount namespace of its own, never against this
machine's /etc: a copy of /etc is bound over /etc (and, for the container
case, a file over /etc/hosts inside it), /run and /opt are tmpfs, and
/var/log is a folder of the test's. The program is copied to
/opt/varnick/varnick-session (root's, as an installed program is), a user
`vtest` is written into the copy's passwd, shadow and group, and
/etc/sudoers.d gives them the rule that lets them run the program's half.
Every command enters the namespace with nsenter; the files are read from
the copies, outside it.
"""

import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import termios
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PROGRAM = Path(os.environ.get("VARNICK_LINUX_SESSION", ROOT / "build" / "linux" / "varnick-session"))
INSTALLED = "/opt/varnick/varnick-session"
USER_COPY = "/opt/user/varnick-session"  # a copy its user may change
USER, UID = "vtest", 4242
STRANGER, STRANGER_UID = "vnorule", 4243  # a user without a sudoers rule
MARK = b"# varnick-session test namespace\n"

pytestmark = [
    pytest.mark.skipif(not os.sys.platform.startswith("linux"), reason="Linux only"),
    pytest.mark.skipif(os.geteuid() != 0, reason="needs root for its mount namespaces"),
    pytest.mark.skipif(any(shutil.which(t) is None for t in ("unshare", "nsenter", "runuser", "sudo")),
                       reason="needs unshare, nsenter, runuser and sudo"),
]



@pytest.fixture(autouse=True)
def built_program():
    # The test command builds it before these tests; a missing one is a fault, not a skip.
    assert PROGRAM.is_file(), f"no {PROGRAM}: build the linux preset"


def users_lines():
    passwd = "".join(f"{name}:x:{uid}:{uid}::/nonexistent:/bin/sh\n"
                     for name, uid in ((USER, UID), (STRANGER, STRANGER_UID)))
    shadow = "".join(f"{name}:*:19000:0:99999:7:::\n" for name in (USER, STRANGER))
    group = "".join(f"{name}:x:{uid}:\n" for name, uid in ((USER, UID), (STRANGER, STRANGER_UID)))
    return passwd, shadow, group


class Namespace:
    """A private mount namespace, kept by a process that sleeps in it."""

    def __init__(self, tmp: Path, container: bool):
        self.tmp = tmp
        self.etc = tmp / "etc"
        self.log = tmp / "log"
        self.log.mkdir()
        subprocess.run(["cp", "-a", "/etc", str(self.etc)], check=True)
        passwd, shadow, group = users_lines()
        for name, lines in (("passwd", passwd), ("shadow", shadow), ("group", group)):
            with open(self.etc / name, "a") as f:
                f.write(lines)
        rule = self.etc / "sudoers.d" / "varnick-test"
        rule.write_text(f"{USER} ALL=(root) NOPASSWD: {INSTALLED} --privileged-half, "
                        f"{USER_COPY} --privileged-half\n")
        rule.chmod(0o440)
        # The hosts file: the machine's lines (sudo resolves the host's name)
        # and a mark that shows the namespace's copy is the one in use.
        self.hosts_path = tmp / "hosts" if container else self.etc / "hosts"
        self.hosts_path.write_bytes(Path("/etc/hosts").read_bytes() + MARK)
        if container:
            (self.etc / "hosts").write_bytes(b"# covered by the bind mount\n")
        mounts = [f"mount --bind {self.etc} /etc"]
        if container:
            mounts.append(f"mount --bind {self.hosts_path} /etc/hosts")
        mounts += [
            "mount -t tmpfs -o mode=0755 tmpfs /run",
            f"mount --bind {self.log} /var/log",
            "mount -t tmpfs -o mode=0755 tmpfs /opt",
            "mkdir -m 0755 /opt/varnick /opt/user",
            f"cp {PROGRAM} {INSTALLED}",
            f"cp {PROGRAM} {USER_COPY}",
            f"chown -R {UID}:{UID} /opt/user",
        ]
        script = "set -e\n" + "\n".join(mounts) + "\necho ready\nexec sleep infinity\n"
        self.keeper = subprocess.Popen(["unshare", "--mount", "--propagation", "private",
                                        "sh", "-c", script], stdout=subprocess.PIPE)
        assert self.keeper.stdout.readline() == b"ready\n", "the namespace was not set up"
        # Never against this machine's hosts file: the namespace sees the copy.
        seen = self.run("cat", "/etc/hosts").stdout
        assert seen.endswith(MARK) and seen == self.hosts, "the namespace's /etc/hosts is not the copy"
        self.original = self.hosts

    def prefix(self, user=None):
        enter = ["nsenter", f"--target={self.keeper.pid}", "--mount", "--"]
        return enter + (["runuser", "-u", user, "--"] if user else [])

    def run(self, *argv, user=None, input=None, timeout=60):
        return subprocess.run(self.prefix(user) + list(argv), input=input, capture_output=True,
                              timeout=timeout)

    def popen(self, *argv, user=None):
        return subprocess.Popen(self.prefix(user) + list(argv), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def terminal(self, *argv, user=None):
        """Runs `argv` on a terminal of its own, as from a shell: its group holds
        the terminal's foreground."""
        return Terminal(self.prefix(user) + list(argv))

    def session(self, *args, user=None, program=INSTALLED, input=b"", timeout=60):
        return self.run(program, *args, user=user, input=input, timeout=timeout)

    @property
    def hosts(self):
        return self.hosts_path.read_bytes()

    def journals(self):
        return sorted(p.name for p in self.etc.glob("hosts.varnick-session-*.journal"))

    def close(self):
        """Ends every process left in the namespace, then the namespace."""
        mine = os.readlink(f"/proc/{self.keeper.pid}/ns/mnt")
        for entry in Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and os.readlink(entry / "ns" / "mnt") == mine:
                    os.kill(int(entry.name), signal.SIGKILL)
            except OSError:
                continue
        self.keeper.wait()


class Terminal:
    """A process on a new pseudo-terminal that is its controlling terminal."""

    def __init__(self, argv):
        self.master, slave = os.openpty()
        self.process = subprocess.Popen(
            argv, stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self.output = b""

    def read_until(self, text, seconds=20):
        deadline = time.monotonic() + seconds
        while text not in self.output:
            assert time.monotonic() < deadline, f"no {text!r} in {self.output!r}"
            if select.select([self.master], [], [], 0.1)[0]:
                try:
                    self.output += os.read(self.master, 4096)
                except OSError:  # the terminal has closed
                    break
        assert text in self.output, self.output

    def type(self, keys):
        os.write(self.master, keys)

    def wait(self, seconds=60):
        code = self.process.wait(timeout=seconds)
        while select.select([self.master], [], [], 0)[0]:
            try:
                piece = os.read(self.master, 4096)
            except OSError:
                break
            if not piece:
                break
            self.output += piece
        os.close(self.master)
        return code


@pytest.fixture
def ns(tmp_path):
    namespace = Namespace(tmp_path, container=False)
    yield namespace
    namespace.close()


@pytest.fixture
def container(tmp_path):
    namespace = Namespace(tmp_path, container=True)
    yield namespace
    namespace.close()


def events(stdout):
    return [json.loads(line) for line in stdout.decode().splitlines() if line.startswith("{")]


def half_missing(namespace):
    """Why a case that needs the privileged half cannot run, or None."""
    probe = namespace.run(INSTALLED, "--privileged-half", input=b"")
    if b"no privileged half yet" in probe.stderr:
        return ("this build has no privileged half yet (runPrivilegedHalf, from the Linux "
                "half's branch, has not landed on main)")
    return None


def need_half(namespace):
    reason = half_missing(namespace)
    if reason:
        pytest.skip(reason)


def processes(*words):
    """The processes whose command line begins with `words`."""
    wanted = [w.encode() for w in words]
    found = []
    for entry in Path("/proc").iterdir():
        try:
            cmdline = (entry / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if entry.name.isdigit() and cmdline[:len(wanted)] == wanted:
            found.append(int(entry.name))
    return found


def state_of(pid):
    """A process's state letter, as /proc/<pid>/stat gives it."""
    return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]


def halves():
    return processes(INSTALLED, "--privileged-half")


def wait_for(predicate, seconds=20, what="a condition"):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


# --- what needs no half: refusals before anything starts -------------------


def test_sudo_without_a_rule_fails_at_once_with_the_rule_to_add(ns):
    started = time.monotonic()
    result = ns.session("--json", "--add", "127.0.0.9 a.test", "--", "true", user=STRANGER)
    assert result.returncode == 121, result
    assert time.monotonic() - started < 10
    stderr = result.stderr.decode()
    assert "sudo needs a password or a rule for vnorule to run " in stderr, stderr
    assert f"add a sudoers rule: vnorule ALL=(root) NOPASSWD: {INSTALLED} --privileged-half" in stderr
    error, ended = events(result.stdout)
    assert error["event"] == "error" and error["reason"] == "sudo-refused"
    assert any("visudo" in line for line in error["remedies"]), error
    assert ended == {"event": "ended", "exit_code": 121}
    assert ns.hosts == ns.original


def test_a_program_its_user_may_change_is_refused_before_sudo(ns):
    # The rule would let sudo run this copy: only the check stands between.
    result = ns.session("--json", "--add", "127.0.0.9 a.test", "--", "true",
                        user=USER, program=USER_COPY)
    assert result.returncode == 121, result
    stderr = result.stderr.decode()
    assert f"the user {USER}, its owner, may change {USER_COPY}" in stderr, stderr
    error = events(result.stdout)[0]
    assert error["reason"] == "varnick-untrusted-folder"
    assert error["remedies"][-1] == "or, accepting that risk, add --trust-varnick-folder"
    assert ns.hosts == ns.original
    assert ns.journals() == []


@pytest.mark.parametrize("args, says", [
    (["--add", "127.0.0.9 a.test", "--backup", "/tmp/b"], "--backup is for Windows"),
    (["--add", "127.0.0.9 a.test", "--varnick", "/v"], "--varnick is for Windows"),
    (["--add", "127.0.0.9 a.test", "--", "no-such-command-anywhere"], "was not found along PATH"),
])
def test_what_linux_cannot_do_is_refused_before_anything_starts(ns, args, says):
    result = ns.session(*args, user=USER)
    assert result.returncode == (127 if "--" in args else 120), result
    assert says in result.stderr.decode()
    assert ns.hosts == ns.original


# --- sessions: these need the privileged half --------------------------------

ENTRY = "127.0.0.9 a.test"
SEES_ENTRY = f"grep -qx '{ENTRY}' /etc/hosts && exit 7 || exit 3"
# One process that says when it is ready and exits 42 on SIGINT.
TRAPS_CTRL_C = ("import signal, sys, time\n"
                "signal.signal(signal.SIGINT, lambda *_: sys.exit(42))\n"
                "print('ask', flush=True)\n"
                "time.sleep(60)\n")


@pytest.mark.parametrize("user", [None, USER], ids=["root", "sudo"])
@pytest.mark.parametrize("layout", ["ns", "container"])
def test_a_command_sees_its_entries_which_go_when_it_ends_with_its_code(request, layout, user):
    namespace = request.getfixturevalue(layout)
    need_half(namespace)
    result = namespace.session("--json", "--add", ENTRY, "--", "sh", "-c", SEES_ENTRY, user=user)
    assert result.returncode == 7, result
    ready, ended = [e for e in events(result.stdout) if e["event"] in ("ready", "ended")]
    assert ready == {"event": "ready", "entries": [ENTRY], "hosts_file": "/etc/hosts",
                     "via": "sudo" if user else "root"}
    assert ended == {"event": "ended", "exit_code": 7}
    assert namespace.hosts == namespace.original
    assert namespace.journals() == []


@pytest.mark.parametrize("sent, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_ends_the_command_then_takes_the_entries_out(ns, sent, code):
    need_half(ns)
    # The command says who started it, and marks that it got the signal
    # that the session passed on to its group.
    command = ("trap 'echo got > /opt/user/got-signal; exit 0' INT TERM; echo $PPID; "
               "while :; do sleep 0.1; done")
    session = ns.popen(INSTALLED, "--json", "--add", ENTRY, "--", "sh", "-c", command, user=USER)
    lines = [session.stdout.readline(), session.stdout.readline()]
    assert json.loads(lines[0])["event"] == "ready"
    os.kill(int(lines[1]), sent)
    out, err = session.communicate(timeout=60)
    assert session.returncode == code, err
    assert ns.run("cat", "/opt/user/got-signal").stdout == b"got\n"
    error = [e for e in events(out) if e["event"] == "error"][0]
    assert error["reason"] == "interrupted" and error["exit_code"] == code
    assert ns.hosts == ns.original


def test_on_a_terminal_the_command_reads_it_and_ctrl_c_reaches_the_command(ns):
    need_half(ns)
    # From the background, the command's read would stop it (SIGTTIN).
    reader = ns.terminal(INSTALLED, "--add", ENTRY, "--", "sh", "-c",
                         "echo ask; read line; echo \"read:$line\"; exit 5", user=USER)
    reader.read_until(b"ask")
    reader.type(b"hello\n")
    assert reader.wait() == 5, reader.output
    assert b"read:hello" in reader.output
    # Ctrl+Z stops the command, and the session with it, the terminal back in
    # the session's group, as a shell's job; continued, the command has the
    # terminal again, and Ctrl+C reaches its group, whose trap says so.
    trapper = ns.terminal(INSTALLED, "--add", ENTRY, "--", "python3", "-c", TRAPS_CTRL_C,
                          user=USER)
    trapper.read_until(b"ask")
    assert ENTRY.encode() in ns.hosts
    [session] = processes(INSTALLED, "--add", ENTRY)
    trapper.type(b"\x1a")
    wait_for(lambda: state_of(session) == "T", what="the session to stop")
    assert os.tcgetpgrp(trapper.master) == os.getpgid(session)
    os.killpg(os.getpgid(session), signal.SIGCONT)  # as a shell's fg continues the job
    wait_for(lambda: os.tcgetpgrp(trapper.master) != os.getpgid(session), what="the command's turn")
    trapper.type(b"\x03")
    assert trapper.wait() == 42, trapper.output
    assert ns.hosts == ns.original
    # Without a command, Ctrl+C reaches the session (and sudo beside it).
    holder = ns.terminal(INSTALLED, "--add", ENTRY, user=USER)
    holder.read_until(b"press Enter or Ctrl+C")
    holder.type(b"\x03")
    assert holder.wait() == 130, holder.output
    assert ns.hosts == ns.original


def test_sessions_side_by_side_take_out_their_own_lines_and_leave_others(ns):
    need_half(ns)
    holder = ns.popen(INSTALLED, "--json", "--add", "127.0.0.8 held.test", user=USER)
    assert json.loads(holder.stdout.readline())["event"] == "ready"
    # Another program's line, appended while the sessions run, stays.
    ns.run("sh", "-c", "echo '10.7.7.7 vpn.corp.test' >> /etc/hosts")
    result = ns.session("--add", ENTRY, "--", "sh", "-c", SEES_ENTRY)
    assert result.returncode == 7, result
    assert b"127.0.0.8 held.test\n" in ns.hosts and ENTRY.encode() not in ns.hosts
    holder.stdin.close()
    holder.wait(timeout=60)
    assert holder.returncode == 0
    assert ns.hosts == ns.original + b"10.7.7.7 vpn.corp.test\n"
    assert ns.journals() == []


def test_a_killed_session_leaves_its_half_to_take_the_entries_out(ns):
    need_half(ns)
    session = ns.popen(INSTALLED, "--json", "--add", ENTRY, user=USER)
    assert json.loads(session.stdout.readline())["event"] == "ready"
    for pid in processes(INSTALLED, "--json", "--add", ENTRY):
        os.kill(pid, signal.SIGKILL)
    session.wait()
    # Its connection ends with it: the half takes the lines out and ends.
    wait_for(lambda: not halves(), what="the half to end")
    assert ns.hosts == ns.original and ns.journals() == []


def test_a_killed_session_and_half_are_recovered_by_the_next_session_and_by_recover(ns):
    need_half(ns)
    for recover_with in (["--add", "127.0.0.7 next.test", "--", "true"], ["--recover"]):
        session = ns.popen(INSTALLED, "--json", "--add", ENTRY, user=USER)
        assert json.loads(session.stdout.readline())["event"] == "ready"
        # The session and its half both die: only the journal is left.
        for pid in processes(INSTALLED, "--json", "--add", ENTRY) + halves():
            os.kill(pid, signal.SIGKILL)
        session.wait()
        wait_for(lambda: not halves(), what="the half to die")
        assert ENTRY.encode() in ns.hosts and len(ns.journals()) == 1
        status = ns.run(INSTALLED, "--status").stdout.decode()
        assert "interrupted session: started" in status and f"  entry: {ENTRY}" in status
        result = ns.session("--json", *recover_with, user=USER)
        assert result.returncode == 0, result
        recovered = [e for e in events(result.stdout) if e["event"] == "recovered"]
        assert [e["line"] for e in recovered] == [ENTRY]
        assert ns.hosts == ns.original and ns.journals() == []


def test_clean_recovers_then_removes_the_locks_and_log_no_running_half_holds(ns):
    need_half(ns)
    # A running session, whose half holds the serving lock.
    holder = ns.popen(INSTALLED, "--add", "127.0.0.8 held.test", user=USER)
    wait_for(lambda: b"held.test" in ns.hosts, what="the holder's entry")
    holders = set(halves())
    # Another session and its half both killed: a journal left.
    session = ns.popen(INSTALLED, "--json", "--add", ENTRY, user=USER)
    assert json.loads(session.stdout.readline())["event"] == "ready"
    killed = set(halves()) - holders
    for pid in processes(INSTALLED, "--json", "--add", ENTRY) + list(killed):
        os.kill(pid, signal.SIGKILL)
    session.wait()
    wait_for(lambda: set(halves()) == holders, what="the half to die")
    assert len(ns.journals()) == 2
    (ns.log / "varnick.log.1").write_text("rotated\n")
    (ns.log / "varnick.log.old").write_text("not rotation's\n")
    locks = "/run/varnick/hosts.varnick-write-lock", "/run/varnick/hosts.varnick-serving-lock"
    write_lock, serving_lock = locks

    def clean():
        result = ns.session("--json", "--clean")
        return result, result.stderr.decode()

    # While a session runs, the serving lock and the log stay.
    result, said = clean()
    assert result.returncode == 0, said
    assert [e["line"] for e in events(result.stdout) if e["event"] == "recovered"] == [ENTRY]
    assert f"removed the lock file {write_lock}" in said, said
    assert f"left the lock file {serving_lock}: a running Varnick holds it" in said, said
    assert "left the log /var/log/varnick.log: a running session's privileged half" in said, said
    assert (ns.log / "varnick.log").exists() and len(ns.journals()) == 1
    holder.stdin.close()
    assert holder.wait(timeout=60) == 0
    assert ns.hosts == ns.original and ns.journals() == []

    # With none running: every lock file, the folder, the log and its copies go.
    result, said = clean()
    assert result.returncode == 0, said
    for lock in locks:
        assert f"removed the lock file {lock}" in said, said
    for log in ("/var/log/varnick.log", "/var/log/varnick.log.1"):
        assert f"removed the log {log}\n" in said, said
    assert ns.run("test", "-e", "/run/varnick").returncode == 1
    assert sorted(p.name for p in ns.log.iterdir()) == ["varnick.log.old"]
    assert events(result.stdout)[-1] == {"event": "ended", "exit_code": 0}


def test_status_tells_a_running_session_to_root_and_only_names_it_to_a_user(container):
    need_half(container)
    holder = container.popen(INSTALLED, "--add", ENTRY, user=USER)
    wait_for(lambda: ENTRY.encode() in container.hosts, what="the entry")
    as_root = json.loads(container.run(INSTALLED, "--status", "--json").stdout)
    assert as_root["hosts_file_mounted"] is True
    assert [s["running"] for s in as_root["sessions"]] == [True]
    assert as_root["sessions"][0]["entries"] == [ENTRY]
    assert as_root["server"] == "serving"
    as_user = container.run(INSTALLED, "--status", user=USER).stdout.decode()
    assert "sessions: 1 journal beside the hosts file; only root may open them" in as_user
    assert "a mount point of its own" in as_user
    holder.stdin.close()
    assert holder.wait(timeout=60) == 0
    assert container.hosts == container.original
