"""Server mode under a long run: 20,000 adds over one connection while the
log passes its size limit and is rotated. Nothing may be lost: every add is
answered and written, its record lands in varnick.log or a copy, the copies
stay at ten, and the hosts file comes back byte for byte."""

import re

from controller import SHUTDOWN, add, server_session

LIMIT = 20480000
REQUESTS = 20000
# The log starts this far below the limit, sparse: it passes the limit part
# of the way through the run (each add logs two records, about 110 bytes).
HEADROOM = 1000000
CHECK_EVERY = 1000
COPY_NAME = re.compile(r"varnick\.log\.(\d+)$")


def entry(number):
    return f"10.{number >> 16 & 255}.{number >> 8 & 255}.{number & 255} soak{number}.test".encode()


def copy_numbers(varnick):
    return sorted(int(m.group(1)) for p in varnick.work_dir.iterdir()
                  if (m := COPY_NAME.match(p.name)))


def written_entries(data):
    return re.findall(rb"^\d\d:\d\d:\d\d INFO  Server - Written to hosts file '(.*)'\r?$", data,
                      re.MULTILINE)


def read_from(path, offset):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read()


def test_many_adds_across_a_rotation_lose_nothing(varnick, tmp_path):
    varnick.hosts_path.write_bytes(b"127.0.0.1 localhost\r\n10.0.0.9 last-line")
    original = varnick.hosts
    start_size = LIMIT - HEADROOM
    with open(varnick.log_path, "wb") as f:
        f.truncate(start_size)
    # A full set of older copies: the rotation must drop the oldest, not add
    # an eleventh.
    for number in range(1, 11):
        varnick.log_path.with_name(f"varnick.log.{number}").write_bytes(b"copy %d\n" % number)

    entries = [entry(n) for n in range(REQUESTS)]
    # Standard output goes to a file: a pipe read only at the end would fill
    # and block varnick, and the file shows that the echo got every record.
    stdout_path = tmp_path / "stdout"
    with open(stdout_path, "wb") as stdout, \
            server_session(varnick, tmp_path / "backup", stdout=stdout) as (controller, run):
        for number, text in enumerate(entries):
            assert controller.request(add(text)) == 0, f"request {number}"
            if number % CHECK_EVERY == 0:
                assert copy_numbers(varnick) == list(range(1, 11)), f"after request {number}"
        assert varnick.hosts == original + b"".join(b"\r\n" + text for text in entries)
        assert controller.request(SHUTDOWN) == 0
        assert run.wait(seconds=120) == 0
    assert varnick.hosts == original

    # One rotation: the started log became copy 1 and each copy moved up.
    assert copy_numbers(varnick) == list(range(1, 11))
    for number in range(2, 11):
        assert varnick.log_path.with_name(f"varnick.log.{number}").read_bytes() == (
            b"copy %d\n" % (number - 1))
    rotated = varnick.log_path.with_name("varnick.log.1")
    assert rotated.stat().st_size > LIMIT
    before = read_from(rotated, start_size)
    after = varnick.log_bytes()
    assert after and len(after) < LIMIT
    # Each record in one place, in the order of the requests.
    assert written_entries(before + after) == entries
    assert written_entries(before) and written_entries(after)
    # The console echo has every record too.
    assert written_entries(stdout_path.read_bytes()) == entries
