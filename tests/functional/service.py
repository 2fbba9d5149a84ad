"""The Varnick service: installed once, it adds the entries its policy
allows for any user's program, with no consent prompt and no elevated
varnick.exe, for exactly as long as that program's connection lasts."""

import concurrent.futures
import contextlib
import json
import os
import re
import signal
import subprocess
from pathlib import Path

import pytest

from session_harness import SESSION, VARNICK_FOLDER, held_session, session, wait_until
from wine_harness import (BUILD_DIR, HOLD_FILE, PREFIX, parse_records, plant_link,
                          processes_naming, run_captured, run_wine, wine_env)

SERVICE_LOG = PREFIX / "drive_c" / "Program Files" / "Varnick" / "varnick.log"
PIPE_STORM = BUILD_DIR / "pipe_storm.exe"
ERROR_IS_LINK = 681
POLICY_KEY = r"HKLM\Software\Varnick"
DEFAULT_POLICY = ("names under .test, .localhost; addresses 127.0.0.0/8, ::1; 32 entries a "
                  "connection, 64 a user, 256 in all")
WIDEN_ADDRESSES = ("have an administrator add the address to the Varnick service's policy: the "
                   rf"REG_MULTI_SZ value Addresses under {POLICY_KEY}, which the service reads "
                   "when it starts")


def service_records():
    return parse_records(SERVICE_LOG.read_text("utf-8")) if SERVICE_LOG.exists() else []


def service_query():
    return run_captured(["wine", "sc", "query", "Varnick"], 30, env=wine_env())


@contextlib.contextmanager
def installed_service(varnick, registry):
    """The service installed against this test's hosts file, and removed
    again whatever the test does: every other test expects none."""
    # The service does not share the tests' environment: it reads the path.
    registry.add("DataBasePath", "REG_SZ", varnick.hosts_variable)
    installed = varnick.run("service", "install")
    try:
        assert installed.returncode == 0, (installed, service_records())
        yield
    finally:
        removed = varnick.run("service", "uninstall")
        assert removed.returncode == 0, (removed, service_records())
        # Nothing is left: no service, no program, no log, no folder.
        assert service_query().returncode != 0
        assert not SERVICE_LOG.parent.exists()


@pytest.fixture
def service(varnick, registry):
    with installed_service(varnick, registry):
        yield


def test_an_administrator_widens_the_policy_with_what_reads_as_names_and_addresses(varnick,
                                                                                 registry):
    key = POLICY_KEY
    run_wine(["reg", "add", key, "/v", "NameSuffixes", "/t", "REG_MULTI_SZ", "/d",
              "corp.example\\0bad name", "/f"])
    try:
        with installed_service(varnick, registry):
            result = session(varnick, "--no-consent", "--add", "127.0.0.1 app.corp.example", "--",
                             "cmd", "/c", "exit 0")
            assert result.returncode == 0, result
            messages = [(level, m) for level, c, m in service_records() if c == "Service"]
            assert ("ERROR", "Left out of the policy: the name suffix 'bad name'") in messages
            assert ("INFO", "Policy: names under .test, .localhost, .corp.example; addresses "
                    "127.0.0.0/8, ::1; 32 entries a connection, 64 a user, 256 in all") in messages
    finally:
        run_wine(["reg", "delete", key, "/f"])


def test_a_session_goes_through_the_service_and_uninstall_leaves_nothing(varnick, service):
    log = VARNICK_FOLDER / "varnick.log"
    before = log.read_bytes() if log.exists() else b""
    result = session(varnick, "--json", "--no-consent", "--add", "127.0.0.1 app.test", "--",
                     "cmd", "/c", "type", varnick.hosts_variable + "\\hosts")
    assert result.returncode == 0, result
    assert b"127.0.0.1 app.test" in result.stdout
    ready = [json.loads(line) for line in result.stdout.splitlines() if line.startswith(b"{")][0]
    assert (ready["event"], ready["via"]) == ("ready", "service")
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    # No elevated Varnick ran: the session's own log folder heard nothing.
    assert (log.read_bytes() if log.exists() else b"") == before
    messages = [m for _, c, m in service_records() if c == "Service"]
    assert any(m.startswith("Added '127.0.0.1 app.test' for ") for m in messages), messages
    status = session(varnick, "--status").stdout.decode().splitlines()
    assert any(line.startswith("Varnick service: running (process ") and line.endswith(
        "; allows " + DEFAULT_POLICY) for line in status), status
    # --json says the same of it, for programs.
    service = json.loads(session(varnick, "--status", "--json").stdout)["service"]
    assert (service["running"], service["policy"], service["error"]) == (True, DEFAULT_POLICY,
                                                                         None), service
    assert f"Varnick service: running (process {service['process']}); " in "\n".join(status)

    # What the policy does not allow: refused with its reason, and with
    # --no-consent never asked for; without it, asked for as before.
    refused = session(varnick, "--json", "--no-consent", "--add", "10.0.0.1 app.test", "--",
                      "cmd", "/c", "exit 0")
    assert refused.returncode == 120, refused
    assert b"'10.0.0.1' is not among the addresses allowed: 127.0.0.0/8, ::1" in refused.stderr
    error = json.loads(refused.stdout.splitlines()[0])
    assert (error["reason"], error["remedies"]) == ("service-refused", [WIDEN_ADDRESSES])
    asked = session(varnick, "--add", "127.0.0.1 app.test", "--add", "127.0.0.1 bank.example",
                    "--", "cmd", "/c", "exit 0")
    assert asked.returncode == 0, asked
    assert b"; asking for consent instead" in asked.stderr
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    # Where consent cannot start varnick.exe either, the way out is a wider
    # policy, never installing the service that runs.
    untrusted = session(varnick, "--json", "--add", "10.0.0.1 app.test", "--", "cmd", "/c",
                        "exit 0", trust=False)
    assert untrusted.returncode == 121, untrusted
    error = json.loads(untrusted.stdout.splitlines()[0])
    assert error["reason"] == "varnick-untrusted-folder", error
    assert error["remedies"][1:] == ["or " + WIDEN_ADDRESSES,
                                     "or, accepting that risk, add --trust-varnick-folder"], error


def test_a_killed_client_leaves_nothing_within_a_second(varnick, service, tmp_path):
    with held_session(varnick, tmp_path, "--no-consent", "--add", "127.0.0.1 held.test"):
        assert varnick.hosts == varnick.DEFAULT_HOSTS + b"127.0.0.1 held.test\r\n"
        # --status names who holds it through the service.
        status = session(varnick, "--status").stdout.decode().splitlines()
        assert any(re.fullmatch(r"  held through it by .+ \(process \d+\): 127\.0\.0\.1 held\.test",
                                line) for line in status), status
        # This test's session alone: other runs may share the machine.
        held = [pid for pid in processes_naming("held.test")
                if b"varnick-session" in Path(f"/proc/{pid}/cmdline").read_bytes()]
        assert held
        for pid in held:
            os.kill(pid, signal.SIGKILL)
        # The lines go first, then the journal that names them.
        wait_until(lambda: varnick.hosts == varnick.DEFAULT_HOSTS and
                   varnick.beside_hosts() == ["hosts"], seconds=1)
    assert varnick.beside_hosts() == ["hosts"]


def test_the_service_puts_right_what_a_power_cut_left_before_it_serves(varnick, service, wine,
                                                                        tmp_path):
    with held_session(varnick, tmp_path, "--no-consent", "--add", "127.0.0.1 cut.test"):
        assert varnick.hosts.endswith(b"127.0.0.1 cut.test\r\n")
        # Every process of the prefix ends at once, the service's too.
        wine.start()
    assert varnick.hosts.endswith(b"127.0.0.1 cut.test\r\n") or varnick.hosts == varnick.DEFAULT_HOSTS
    # The service starts with the prefix and recovers first.
    wait_until(lambda: varnick.hosts == varnick.DEFAULT_HOSTS, seconds=30)
    assert varnick.beside_hosts() == ["hosts"]
    assert any(m.startswith("Removed '127.0.0.1 cut.test' left by the session started ")
               for _, c, m in service_records() if c == "Recovery")


def test_a_pipe_that_another_process_made_is_refused(varnick, registry):
    # Made before the service's: Windows would keep the service from making
    # its own (first instance); Wine does not, and hands the next client the
    # oldest instance, this one: the client's check of the pipe's
    # process is what stands.
    with varnick.holding(HOLD_FILE, r"\\.\pipe\Varnick", "p", 0), \
            installed_service(varnick, registry):
        result = session(varnick, "--no-consent", "--add", "127.0.0.1 app.test", "--", "cmd",
                         "/c", "exit 0")
        assert result.returncode == 121, result
        assert b"not the Varnick service (process " in result.stderr
        assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_a_lock_file_that_could_not_be_opened_is_tried_again(varnick, registry, tmp_path):
    # A link at the write lock's name when the service starts: the lock
    # cannot be had, and the reply and the record name that lock.
    lock = varnick.hosts_dir / "hosts.varnick-write-lock"
    before = plant_link(lock, tmp_path / "victim", "symlink")
    with installed_service(varnick, registry):
        failed = session(varnick, "--no-consent", "--add", "127.0.0.1 app.test", "--", "cmd",
                         "/c", "exit 0")
        assert failed.returncode == 123, failed
        assert (b"the Varnick service could not add '127.0.0.1 app.test': the write lock of the "
                b"hosts file could not be taken") in failed.stderr, failed
        assert any(m.startswith("Failed to add '127.0.0.1 app.test' for ") and
                   m.endswith(f": the write lock of the hosts file could not be taken "
                              f"{ERROR_IS_LINK}")
                   for _, c, m in service_records() if c == "Service"), service_records()
        # Once the link is gone, the next add opens the lock file afresh.
        lock.unlink()
        result = session(varnick, "--no-consent", "--add", "127.0.0.1 app.test", "--", "cmd",
                         "/c", "exit 0")
        assert result.returncode == 0, (result, service_records())
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    assert (tmp_path / "victim").read_bytes() == before


def test_uninstall_takes_out_what_the_service_still_holds(varnick, registry, tmp_path):
    registry.add("DataBasePath", "REG_SZ", varnick.hosts_variable)
    assert varnick.run("service", "install").returncode == 0, service_records()
    with held_session(varnick, tmp_path, "--no-consent", "--add", "127.0.0.1 held.test"):
        assert varnick.hosts.endswith(b"127.0.0.1 held.test\r\n")
        removed = varnick.run("service", "uninstall")
        assert removed.returncode == 0, removed
        assert varnick.hosts == varnick.DEFAULT_HOSTS
    assert varnick.beside_hosts() == ["hosts"]
    assert service_query().returncode != 0


def storm(*args, seconds=120):
    """What pipe_storm counted: {"opened": k, ...}."""
    result = run_captured(["wine", str(PIPE_STORM), r"\\.\pipe\Varnick", *map(str, args)],
                          seconds, env=wine_env())
    assert result.returncode == 0, result
    words = result.stdout.decode().split()
    return {words[i]: int(words[i + 1]) for i in range(0, len(words), 2)}


def test_no_crowd_of_clients_stops_the_service_or_keeps_a_session_out(varnick, service, tmp_path):
    # Hundreds that open and close at once: each is a connection like any
    # other, none ends the accept loop.
    assert storm("close", 320) == {"opened": 320}
    # Sessions that start at the same instant all get in: none is turned
    # to consent (120) or told the service is not there (121).
    with concurrent.futures.ThreadPoolExecutor(12) as pool:
        results = list(pool.map(lambda i: session(
            varnick, "--no-consent", "--add", f"127.0.0.1 s{i}.test", "--", "cmd", "/c", "exit 0"),
            range(12)))
    assert [r.returncode for r in results] == [0] * 12, results
    # Silent connections beyond a user's bound give way to the newest: a
    # session still gets in while a hundred hold the pipe and say nothing.
    with open(tmp_path / "idle.out", "wb") as out:
        idle = subprocess.Popen(["wine", str(PIPE_STORM), r"\\.\pipe\Varnick", "idle", "100",
                                 "60000"], stdout=out, env=wine_env())
    try:
        wait_until(lambda: b"opened 100" in (tmp_path / "idle.out").read_bytes(), seconds=60)
        result = session(varnick, "--no-consent", "--add", "127.0.0.1 late.test", "--", "cmd",
                         "/c", "exit 0")
        assert result.returncode == 0, result
    finally:
        idle.kill()
    assert varnick.hosts == varnick.DEFAULT_HOSTS
    # What a caller sends stays data in the log: a line break in an entry is
    # shown escaped, and no record can be forged with it.
    assert storm("forge") == {"opened": 1, "refused": 1}
    wait_until(lambda: any("\\r\\n00:00:00 INFO  Service - Added" in m
                           for _, _, m in service_records()), seconds=10)
    records = service_records()
    assert not [m for _, _, m in records if m.startswith("Added '10.6.6.6")], records
    assert [m for level, _, m in records if level == "ERROR"] == []


@pytest.mark.parametrize("bound, value", [("MaxInAll", 5), ("MaxPerUser", 3)])
def test_entries_asked_for_together_never_pass_a_bound(varnick, registry, bound, value):
    run_wine(["reg", "add", POLICY_KEY, "/v", bound, "/t", "REG_DWORD", "/d", str(value), "/f"])
    try:
        with installed_service(varnick, registry):
            assert storm("add", 20, 1000) == {"opened": 20, "done": value, "refused": 20 - value}
            wait_until(lambda: varnick.hosts == varnick.DEFAULT_HOSTS, seconds=10)
    finally:
        run_wine(["reg", "delete", POLICY_KEY, "/f"])
