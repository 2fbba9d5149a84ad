"""Start-up and command dispatch: usage, the Winsock report, modes and ports."""

import socket

import pytest

USAGE = (b"Incorrect parameters! Usage: Varnick server <port> <backup_path>\r\r\n"
         b"                             Varnick [add|del] <entry>\r\r\n\r\r\n")

WINSOCK_REPORT = (b"The Winsock dll found!\r\n"
                  b"The status: Running.\r\n"
                  b"The dll supports the Winsock version 2.2!\r\n"
                  b"The highest version this dll can support: 2.2\r\n")


@pytest.mark.parametrize("args", [(), ("add",), ("server",), ("bogus",)])
def test_too_few_arguments_print_usage_and_create_an_empty_log(varnick, args):
    result = varnick.run(*args)
    assert result.returncode == 5
    assert result.stdout == USAGE
    assert varnick.log_path.exists()
    assert varnick.log_bytes() == b""


@pytest.mark.parametrize("mode", ["bogus", "ADD", "Add", "add ", "Server", "del\t", "server "])
def test_unknown_mode_is_printed_whole_after_startup(varnick, mode):
    result = varnick.run(mode, "127.0.0.1 example.test")
    assert result.returncode == 1
    assert result.stdout.startswith(WINSOCK_REPORT)
    assert result.stdout.endswith(f"Unknown option {mode}\r\r\n".encode())
    assert varnick.records() == [("INFO", "Main", f"Using hosts file {varnick.hosts_variable}\\hosts")]
    assert varnick.hosts == varnick.DEFAULT_HOSTS


def test_winsock_report_comes_before_the_first_record(varnick):
    result = varnick.run("add", "x")
    assert result.stdout.startswith(WINSOCK_REPORT)
    rest = result.stdout[len(WINSOCK_REPORT):].decode()
    assert " INFO  Main - Using hosts file " in rest.splitlines()[0]


@pytest.mark.parametrize("port, logged", [("0", 0), ("65536", 65536), ("-1", -1), ("abc", 0),
                                          ("", 0), ("99999999999", 2147483647)])
def test_bad_port_is_logged_and_refused(varnick, port, logged, tmp_path):
    backup = tmp_path / "backup"
    result = varnick.run("server", port, backup)
    assert result.returncode == 6
    assert varnick.records()[-1] == ("ERROR", "Main", f"Incorrect port number {logged}")
    assert not backup.exists()


@pytest.mark.parametrize("port", ["80abc", " 1", "65535"])
def test_port_with_digits_first_is_accepted(varnick, port):
    result = varnick.run("server", port)
    # Accepted ports reach the backup-path check: without one, usage and 5.
    assert result.returncode == 5
    assert result.stdout.endswith(USAGE)
    assert not any("Incorrect port number" in message for _, _, message in varnick.records())


@pytest.mark.parametrize("template", ["{}", "{}abc", " {}", "+{}"])
def test_accepted_port_reaches_the_server(varnick, tmp_path, template):
    # Bound but not listening: the port is ours, and the server's connection
    # to it is refused, which only the server mode reports.
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        port = taken.getsockname()[1]
        result = varnick.run("server", template.format(port), tmp_path / "backup")
    assert result.returncode == 8
    assert varnick.records()[-1] == ("ERROR", "Server", "Failed to connect socket error=10061")


def test_arguments_after_the_entry_are_ignored(varnick):
    result = varnick.run("add", "10.0.0.1 first.test", "10.0.0.2 second.test", "more")
    assert result.returncode == 0
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 first.test"
