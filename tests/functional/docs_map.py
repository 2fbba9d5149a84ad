"""scripts/check_map.py catches the map drifting from the code: each plant
below, made in a copy of docs/architecture.md, gives exactly the breaks
named, each at the line that holds the plant, and the map as it is gives
none; a file planted in a copy of the tree outside every room is caught
too."""

import shutil
import sys

import pytest

from wine_harness import ROOT

# The checker is a script, not a package: imported from its folder.
sys.path.insert(0, str(ROOT / "scripts"))
import check_map  # noqa: E402

DOC = (ROOT / "docs" / "architecture.md").read_text(encoding="utf-8")

# (what drifted, text in the map, what it becomes, the breaks expected)
PLANTS = [
    ("a file that is gone, by full path",
     "`Expected` (`src/base/expected.h`)", "`Expected` (`src/base/expect.h`)",
     ["`src/base/expect.h` names no file"]),
    ("a file that is gone, by bare name",
     "the matcher (`entry_matcher.*`)", "the matcher (`entry_match.*`)",
     ["`entry_match.*` names no file"]),
    ("a symbol in the wrong file",
     "`JournalFile` (`journal_file.*`", "`JournalFile` (`take_out.*`",
     ["`JournalFile` is not declared in `take_out.*`"]),
    ("a function in the wrong header",
     "`runPrivilegedHalf` in `privileged_half_posix.h`", "`runPrivilegedHalf` in `session_help.h`",
     ["`runPrivilegedHalf` is not declared in `session_help.h`"]),
    ("a lock holder that takes no lock",
     "`deleteEntry` (`del_entry_win32.cc`) and",
     "`deleteEntry` (`del_entry_win32.cc`), `runAdd` (`add_mode_win32.cc`) and",
     ["names `runAdd` (`add_mode_win32.cc`), which does not take it"]),
    ("a lock holder left out",
     "`recoverEarlierConnections` and `startJournal` (`service_mode_win32.cc`)",
     "`recoverEarlierConnections` (`service_mode_win32.cc`)",
     ["`startJournal` (`service_mode_win32.cc`) takes the serving lock; its row does not name it"]),
    ("a mode left out",
     "`session`, `service`)", "`session`)",
     ["mode `service` of `dispatch` is missing here"]),
    ("a mode the code lacks",
     "`session`, `service`)", "`session`, `service`, `list`)",
     ["mode `list` is not one that `dispatch` has"]),
    ("a logger left out",
     "`Service` (the service's", "the service's logger (the service's",
     ["logger `Service` of getLogger in src/ is missing here"]),
    ("a logger renamed",
     "`Packet` (the record", "`Packets` (the record",
     ["logger `Packets` is not one that getLogger in src/ has",
      "logger `Packet` of getLogger in src/ is missing here"]),
    ("a wait made longer",
     "30 s (`kWriteLockWaitMs`)", "40 s (`kWriteLockWaitMs`)",
     ["40 s is not `kWriteLockWaitMs`, which is 30000 in src/"]),
    ("a count of rounds changed",
     "5 rounds (`kRebuildRounds`)", "6 rounds (`kRebuildRounds`)",
     ["6 rounds is not `kRebuildRounds`, which is 5 in src/"]),
    ("a pool of threads made larger",
     "4 threads (`PipeLimits::threads`)", "16 threads (`PipeLimits::threads`)",
     ["16 threads is not `PipeLimits::threads`, which is 4 in src/"]),
    ("a time without its unit",
     "30 s (`kWriteLockWaitMs`)", "30 (`kWriteLockWaitMs`)",
     ["30 names `kWriteLockWaitMs`, a time, without its unit"]),
    ("a number that names no constant",
     "A killed holder lets go with its handles.", "A killed holder lets go within 1 s.",
     ["1 names no constant"]),
    ("a Linux sentence that no longer says Linux",
     "on Linux, the half opens with", "the half opens with",
     ["a sentence names a Linux file or call but does not say Linux"]),
    ("a Windows sentence that says another platform",
     "and on Windows the pipe server", "and on Linux the pipe server",
     ["a sentence names a Windows file or call but does not say Windows"]),
]


def test_the_map_as_it_is_holds():
    findings = check_map.check(DOC)
    assert findings.breaks == []
    assert findings.counts["symbols tied"] > 0 and findings.counts["lock holders"] > 0
    assert findings.counts["numbers"] > 0 and findings.counts["platform sentences"] > 0


@pytest.mark.parametrize("old, new, expected", [p[1:] for p in PLANTS], ids=[p[0] for p in PLANTS])
def test_a_planted_drift_is_caught_at_its_line(old, new, expected):
    assert DOC.count(old) == 1, f"the plant's text is no longer in the map once: {old}"
    planted = DOC.replace(old, new)
    at = planted[:planted.index(new)].count("\n") + 1
    unit = max((u for u in check_map.units(planted) if u.line <= at), key=lambda u: u.line)
    breaks = check_map.check(planted).breaks
    assert len(breaks) == len(expected), breaks
    assert all(any(message in line for line in breaks) for message in expected), breaks
    lines = (f"docs/architecture.md:{at}:", f"docs/architecture.md:{unit.line}:")
    assert all(line.startswith(lines) for line in breaks), breaks


def test_a_file_in_no_room_is_caught(tmp_path):
    tree = tmp_path / "tree"
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(".git", "build", "node_modules"))
    (tree / "src" / "newroom").mkdir()
    (tree / "src" / "newroom" / "x.cc").write_text("int x;\n")
    (tree / "src" / "loose.h").write_text("#pragma once\n")
    breaks = check_map.check(DOC, root=tree).breaks
    rooms = next(u.line for u in check_map.units(DOC) if u.text.startswith("## Rooms"))
    assert sorted(breaks) == sorted([
        f"docs/architecture.md:{rooms}: src/loose.h lies in no room (src/'s top level)",
        f"docs/architecture.md:{rooms}: src/newroom/x.cc lies in no room "
        f"(src/newroom, which has no row)",
    ]), breaks
