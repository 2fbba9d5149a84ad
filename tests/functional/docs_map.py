"""scripts/check_map.py catches the map drifting from the code: each plant
below, made in a copy of docs/architecture.md, gives exactly the breaks
named, each at the line that holds the plant, and the map as it is gives
none."""

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
     "(`src/hosts/hosts_location_win32.cc`:", "(`src/hosts/hosts_place_win32.cc`:",
     ["`src/hosts/hosts_place_win32.cc` names no file"]),
    ("a file that is gone, by bare name",
     "the matcher (`entry_matcher.cc`)", "the matcher (`entry_match.cc`)",
     ["`entry_match.cc` names no file"]),
    ("a symbol in the wrong header",
     "`EventStream` (`session_output.h`)", "`EventStream` (`session_win32.*`)",
     ["`EventStream` is not declared in `session_win32.*`"]),
    ("a function in the wrong file",
     "`parseIpAddress` in `ip_address.*`", "`parseIpAddress` in `entry_syntax.*`",
     ["`parseIpAddress` is not declared in `entry_syntax.*`"]),
    ("a lock holder that takes no lock",
     "`deleteEntry` (`del_entry_win32.cc`),",
     "`deleteEntry` (`del_entry_win32.cc`), `runAdd` (`add_mode_win32.cc`),",
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
     "`Service` (`service install`", "the service's (`service install`",
     ["logger `Service` of getLogger in src/ is missing here"]),
    ("a logger renamed",
     "`Packet` (the record", "`Packets` (the record",
     ["logger `Packets` is not one that getLogger in src/ has",
      "logger `Packet` of getLogger in src/ is missing here"]),
]


def test_the_map_as_it_is_holds():
    findings = check_map.check(DOC)
    assert findings.breaks == []
    assert findings.counts["symbols tied"] > 0 and findings.counts["lock holders"] > 0


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
