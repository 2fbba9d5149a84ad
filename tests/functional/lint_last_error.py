"""scripts/check_last_error.py catches a last error or errno read where
another call may run first: each snippet below, in a file of its own, gives
exactly the findings named (the read's line and why). scripts/lint.sh runs
it over src/."""

import sys

import pytest

from wine_harness import ROOT

# The checker is a script, not a package: imported from its folder.
sys.path.insert(0, str(ROOT / "scripts"))
import check_last_error  # noqa: E402

# (what, code, the findings expected: line and the words of why)
SNIPPETS = [
    ("GetLastError as an argument",
     "void f() {\n  if (!g()) log(static_cast<int>(GetLastError()));\n}\n",
     [(2, "GetLastError() read as an argument of a call")]),
    ("GetLastError into a local", "void f() {\n  const DWORD e = GetLastError();\n}\n", []),
    ("errno as an argument",
     "void f() {\n  if (g() != 0)\n    logMessage(kError, log, \"failed %d\", errno);\n}\n",
     [(3, "errno read as an argument of a call")]),
    ("errno as a braced element",
     "void f() {\n  if (unlink(p) != 0)\n    report.add({kFailed, p, static_cast<Errno>(errno)});\n}\n",
     [(3, "errno read as an element of a braced initializer")]),
    ("errno in the condition of a ternary argument",
     "int f() {\n  if (open(p) < 0) return unexpected(errno == ELOOP ? 1 : 2);\n  return 0;\n}\n",
     [(2, "errno read as an argument of a call")]),
    ("errno after a call that ran in between",
     "int f() {\n  if (write(fd, b, n) < 0) {\n    close(fd);\n    return errno;\n  }\n  return 0;\n}\n",
     [(4, "errno read after close() ran")]),
    ("errno after a call cast to void",
     "int f() {\n  if (write(fd, b, n) < 0) {\n    (void)::unlink(p);\n    return errno;\n  }\n"
     "  return 0;\n}\n",
     [(4, "errno read after ::unlink() ran")]),
    ("errno after a member call that ran in between",
     "int f() {\n  const ssize_t got = ::read(fd, b, n);\n  file_.reset();\n"
     "  const int error = errno;\n  return error;\n}\n",
     [(4, "errno read after file_.reset() ran")]),
    ("errno kept, then restored, around a close",
     "void f(int fd) {\n  const int saved = errno;\n  ::close(fd);\n  errno = saved;\n}\n", []),
    ("errno in a loop's conditions",
     "int f() {\n  for (;;) {\n    const ssize_t got = ::read(fd, b, n);\n"
     "    if (got < 0 && errno == EINTR) continue;\n"
     "    if (got < 0) return errno == ECONNRESET ? -1 : errno;\n    return 0;\n  }\n}\n", []),
    ("errno after an else's other branch",
     "void f() {\n  if (::unlink(p) == 0) {\n    report.add(p);\n  } else if (errno != ENOENT) {\n"
     "    all = false;\n  }\n}\n", []),
    ("errno after a branch that returned",
     "bool f(int fd) {\n  if (::flock(fd, LOCK_NB) == 0) {\n    ::flock(fd, LOCK_UN);\n"
     "    return false;\n  }\n  return errno == EWOULDBLOCK;\n}\n", []),
    ("errno after a loop whose condition made the call",
     "int f() {\n  errno = 0;\n  while (const dirent* e = ::readdir(d)) {\n    names.push_back(e);\n  }\n"
     "  return errno;\n}\n", []),
    ("errno after a call whose result is tested in a do-while",
     "void f() {\n  do {\n    reaped = ::waitpid(pid, &s, 0);\n  } while (reaped < 0 && errno == EINTR);\n}\n",
     []),
    ("names in comments and strings are no reads",
     "void f() {\n  close(fd);  // errno, GetLastError()\n  log(\"errno %d\");\n}\n", []),
]


@pytest.mark.parametrize("what, code, expected", SNIPPETS, ids=[s[0] for s in SNIPPETS])
def test_each_read_where_another_call_may_run_first_is_named_at_its_line(tmp_path, what, code,
                                                                          expected):
    path = tmp_path / "snippet.cc"
    path.write_text(code)
    found = check_last_error.check(path)
    assert len(found) == len(expected), found
    for line, why in expected:
        assert any(f.startswith(f"{path}:{line}: {why}") for f in found), found

