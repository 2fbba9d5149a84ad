"""Who may do what to the objects that Varnick makes for its service: the
service's pipe, the service itself, the lock files and a session's journal
beside the hosts file, and the service's folder. One table, one row per
(object, caller, access): tests/helpers/access_check.exe asks AccessCheck
for an administrator (the tests' own, elevated token) and a standard user
(the same token with Administrators for denying only, as UAC gives it).

The pipe's descriptor is read back from the pipe that the installed service
serves, and its rows check the access that a handle opened as the client
opens it really holds. The other objects' rows check their constants in
src/base/object_rules_win32.h, which the code hands to the system when it makes
them: Wine 8 keeps no descriptor for a file or folder (it makes one up from
the Unix mode: the lock file reads back as SYSTEM and the Unix user with
full access) and none for a service (SetServiceObjectSecurity does nothing;
QueryServiceObjectSecurity gives an empty list)."""

import pytest

from service import service  # noqa: F401 (a fixture: the service installed, and removed after)
from wine_harness import BUILD_DIR, run_captured, wine_env

ACCESS_CHECK = BUILD_DIR / "access_check.exe"
PIPE = r"\\.\pipe\Varnick"

# Rights as winnt.h and winsvc.h name them.
GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE = 0x80000000, 0x40000000, 0x20000000
DELETE = 0x00010000
FILE_READ_DATA = 0x1
FILE_WRITE_DATA = FILE_ADD_FILE = 0x2
FILE_APPEND_DATA = 0x4
SERVICE_QUERY_STATUS, SERVICE_START, SERVICE_STOP = 0x4, 0x10, 0x20

# (object: the pipe, or a constant's name; caller; access asked; verdict)
ROWS = [
    # varnick-session's open: kPipeClientAccess, and what CreateFileW adds.
    (PIPE, "user", "client", "granted"),
    # Its open before, GENERIC_READ | GENERIC_WRITE (0x12019F), also asks to
    # make instances and to write attributes: a standard user was refused.
    (PIPE, "user", GENERIC_READ | GENERIC_WRITE, "denied"),
    # varnick-session asks whether the service runs (runningServicePid).
    ("kServiceRules", "user", SERVICE_QUERY_STATUS, "granted"),
    ("kServiceRules", "user", SERVICE_STOP, "denied"),
    # service install and uninstall.
    ("kServiceRules", "admin", SERVICE_START | SERVICE_STOP, "granted"),
    # A handle that can read or write a lock file can take or deny its lock.
    ("kLockFileRules", "user", FILE_READ_DATA, "denied"),
    ("kLockFileRules", "user", FILE_WRITE_DATA, "denied"),
    ("kLockFileRules", "admin", GENERIC_READ, "granted"),
    # varnick-session --status reads journals unelevated.
    ("kJournalRules", "user", GENERIC_READ, "granted"),
    # A line written into a journal is one that a recovery takes out.
    ("kJournalRules", "user", FILE_WRITE_DATA, "denied"),
    ("kJournalRules", "user", FILE_APPEND_DATA, "denied"),
    # A recovery's open of a journal.
    ("kJournalRules", "admin", GENERIC_READ | GENERIC_WRITE | DELETE, "granted"),
    ("kServiceFolderRules", "user", GENERIC_READ | GENERIC_EXECUTE, "granted"),
    # A file put beside the service's varnick.exe would run as SYSTEM.
    ("kServiceFolderRules", "user", FILE_ADD_FILE, "denied"),
    # install copies varnick.exe in.
    ("kServiceFolderRules", "admin", FILE_ADD_FILE, "granted"),
]


def checked(obj, rows):
    """access_check's lines for `rows` of one object, and its standard error."""
    kind = "pipe" if obj == PIPE else "rules"
    asks = [f"{caller}:{access if isinstance(access, str) else format(access, 'x')}"
            for _, caller, access, _ in rows]
    result = run_captured(["wine", str(ACCESS_CHECK), kind, obj, *asks], 60, env=wine_env())
    lines = result.stdout.decode().splitlines()
    assert result.returncode == 0 and len(lines) == len(rows), (result, rows)
    return lines, result.stderr.decode()


@pytest.mark.usefixtures("service")
def test_each_caller_gets_the_verdict_its_row_expects():
    lines, descriptors, asked = [], [], []
    for obj in dict.fromkeys(obj for obj, *_ in ROWS):
        rows = [row for row in ROWS if row[0] == obj]
        got, descriptor = checked(obj, rows)
        lines += got
        descriptors.append(descriptor)
        asked += rows
    print("\n".join(lines))
    verdicts = [line.split(" | ")[3].split()[0] for line in lines]
    assert verdicts == [verdict for *_, verdict in asked], "\n".join(lines + descriptors)
