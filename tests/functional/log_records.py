"""The log: record format in varnick.log and on standard output."""

import re

RECORD_BYTES = rb"\d\d:\d\d:\d\d INFO  (Main|AddEntry) - [^\r\n]*\r\n"


def test_records_in_the_file_end_with_crlf_and_match_stdout(varnick):
    result = varnick.run("add", "10.0.0.1 log.test")
    assert result.returncode == 0
    log = varnick.log_bytes()
    assert re.fullmatch(rb"(" + RECORD_BYTES + rb"){2}", log), log
    # The console echo carries the same records, in the same order, after the
    # printed Winsock report.
    assert result.stdout.endswith(log)
    assert varnick.records() == [
        ("INFO", "Main", f"Using hosts file {varnick.hosts_variable}\\hosts"),
        ("INFO", "AddEntry", "Written to hosts file '10.0.0.1 log.test'"),
    ]


def test_log_file_is_appended_across_runs(varnick):
    varnick.log_path.write_bytes(b"earlier line\r\n")
    varnick.run("add", "first")
    varnick.run("add", "second")
    log = varnick.log_bytes()
    assert log.startswith(b"earlier line\r\n")
    assert re.fullmatch(rb"(" + RECORD_BYTES + rb"){4}", log[len(b"earlier line\r\n"):]), log


def test_wide_values_are_logged_as_utf8(varnick):
    entry = "10.0.0.1 \u00fcber-\U0001F600.test"
    varnick.run("add", entry)
    assert ("INFO", "AddEntry", f"Written to hosts file '{entry}'") in varnick.records()
