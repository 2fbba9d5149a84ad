"""Server mode when the controller goes away at any byte of a session.

One scripted session of several requests is cut at every byte offset, from
before its first byte to after its shutdown request. At each cut the
controller stops sending and closes, either its sending side only (it still
reads every reply) or the whole socket at once (varnick's replies then meet a
closed connection, and a reply that cannot be sent is logged). Every run must
carry out exactly the requests that arrived whole, end with exit code 0 and
put the hosts file back byte for byte. The runs go several at a time, each with its own varnick, controller
port and directories.
"""

import concurrent.futures
import re
import socket

import pytest

from controller import SHUTDOWN, add, frame, server_session
from wine_harness import Varnick

ORIGINAL_HOSTS = b"127.0.0.1 localhost\r\n10.0.0.9 last.test"

# (request, reply, the records it leaves after "Reading from console")
SCRIPT = [
    (add(b"10.0.0.1 a.test"), 0, ["Written to hosts file '10.0.0.1 a.test'"]),
    (frame(b"\x02"), 1, ["Client requested remove operation (This is currently unsupported)"]),
    (frame(b"\x80"), 1, ["Invalid operation -128 requested"]),
    (add(b"10.0.0.2 b.test"), 0, ["Written to hosts file '10.0.0.2 b.test'"]),
    (add(b"c\x00d"), 0, ["Written to hosts file 'c'"]),
    (SHUTDOWN, 0, ["Shutting down varnick"]),
]
SESSION = b"".join(request for request, _, _ in SCRIPT)
CUTS = range(len(SESSION) + 1)
PARALLEL_RUNS = 4
# The controller closes the connection in order: no call fails, and the
# code reads as 0. Closed whole with replies still unread, it resets the
# connection instead: 10054 (WSAECONNRESET), which Wine too reports at times.
INPUT_FAILED = re.compile(r"Console input failed with error 0$")
INPUT_RESET = re.compile(r"Console input failed with error (0|10054)$")
# A reply that meets a connection closed by the other end cannot be sent.
SEND_FAILED = re.compile(r"Failed to send the reply \d+$")


def expected_at(cut):
    """The replies and the Server records of a session cut after `cut` bytes."""
    replies, records, end = b"", [], 0
    for request, reply, request_records in SCRIPT:
        records.append("Reading from console")
        end += len(request)
        if end > cut:
            records.append(INPUT_FAILED.pattern)
            break
        replies += bytes([reply])
        records += request_records
        if request == SHUTDOWN:
            break
    return replies, records + ["Shutting down"]


def server_messages(varnick):
    return [message for _, category, message in varnick.records() if category == "Server"]


def matches(messages, expected, ended):
    return len(messages) == len(expected) and all(
        message == want or (want == INPUT_FAILED.pattern and ended.match(message))
        for message, want in zip(messages, expected))


def run_cut(base, cut, half_close):
    """One session cut after `cut` bytes; returns what went wrong, if anything."""
    base.mkdir()
    varnick = Varnick(base)
    varnick.hosts_path.write_bytes(ORIGINAL_HOSTS)
    replies, records = expected_at(cut)
    with server_session(varnick, base / "backup") as (controller, run):
        controller.conn.sendall(SESSION[:cut])
        if half_close:
            controller.conn.shutdown(socket.SHUT_WR)
            got = controller.rest()
        else:
            # Nothing can be read any more: the records tell what was served.
            controller.conn.close()
            got = None
        code = run.wait()
    problems = []
    if code != 0:
        problems.append(f"exit code {code}")
    if got is not None and got != replies:
        problems.append(f"replies {got!r}, expected {replies!r}")
    if varnick.hosts != ORIGINAL_HOSTS:
        problems.append(f"hosts file {varnick.hosts!r}")
    messages = server_messages(varnick)
    if not half_close:
        messages = [m for m in messages if not SEND_FAILED.match(m)]
    if not matches(messages, records, INPUT_FAILED if half_close else INPUT_RESET):
        problems.append(f"records {messages}, expected {records}")
    return problems


@pytest.mark.parametrize("half_close", [True, False], ids=["sending-side", "whole-socket"])
def test_a_session_cut_at_any_byte_serves_the_whole_requests_and_restores(wine, tmp_path, half_close):
    with concurrent.futures.ThreadPoolExecutor(PARALLEL_RUNS) as pool:
        runs = {cut: pool.submit(run_cut, tmp_path / f"run{cut}", cut, half_close) for cut in CUTS}
        failures = {cut: problems for cut, future in runs.items() if (problems := future.result())}
    assert failures == {}
