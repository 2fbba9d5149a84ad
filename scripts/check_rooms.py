#!/usr/bin/env python3
"""Checks the code against the map in docs/architecture.md.

Reads the table under "## Rooms" (each row: a room in backticks, the rooms
it may use in backticks, then what it holds) and the exceptions listed
under it ("`src/link/packet_buffer.*` may use `log`"), then checks every file
under src/:
- an #include "room/..." names the file's own room, a room it may use, or
  one its exception allows;
- Win32 headers are included only by files named *_win32.*, or inside an
  #ifdef _WIN32 block.
Prints each break and exits 1 when there is any.
"""

import fnmatch
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MAP = ROOT / "docs" / "architecture.md"
ROW = re.compile(r"^\|\s*`src/(\w+)`\s*\|([^|]*)\|")
EXCEPTION = re.compile(r"`(src/[\w/.*]+)` may use `(\w+)`")
INCLUDE = re.compile(r'^\s*#\s*include\s+"(\w+)/')
WIN32_HEADER = re.compile(r"^\s*#\s*include\s+<(windows|winsock2|ws2tcpip|sddl|ntsecapi|aclapi|io)\.h>",
                          re.IGNORECASE)


def read_map(text):
    section = text.split("## Rooms", 1)[1].split("\n## ", 1)[0]
    rooms = {}
    for line in section.splitlines():
        if match := ROW.match(line):
            rooms[match.group(1)] = set(re.findall(r"`(\w+)`", match.group(2)))
    exceptions = [(pattern, room) for pattern, room in EXCEPTION.findall(section)]
    return rooms, exceptions


def in_win32_block(lines, index):
    """Whether line `index` lies inside an #ifdef _WIN32 (or #if defined(_WIN32))."""
    depth_win32 = []
    for line in lines[:index]:
        stripped = line.strip()
        if re.match(r"#\s*if", stripped):
            depth_win32.append("_WIN32" in stripped and "!" not in stripped)
        elif re.match(r"#\s*else", stripped) and depth_win32:
            depth_win32[-1] = False
        elif re.match(r"#\s*endif", stripped) and depth_win32:
            depth_win32.pop()
    return any(depth_win32)


def check(rooms, exceptions):
    breaks = []
    for path in sorted((ROOT / "src").rglob("*")):
        if path.suffix not in (".h", ".cc"):
            continue
        relative = path.relative_to(ROOT).as_posix()
        room = path.relative_to(ROOT / "src").parts[0]
        if room not in rooms:
            breaks.append(f"{relative}: room src/{room} is not in the map")
            continue
        allowed = rooms[room] | {room} | {r for pattern, r in exceptions
                                          if fnmatch.fnmatch(relative, pattern)}
        lines = path.read_text(encoding="utf-8").splitlines()
        for number, line in enumerate(lines, 1):
            if (match := INCLUDE.match(line)) and match.group(1) not in allowed:
                breaks.append(f"{relative}:{number}: src/{room} may not use src/{match.group(1)}")
            if (WIN32_HEADER.match(line) and "_win32" not in path.name
                    and not in_win32_block(lines, number - 1)):
                breaks.append(f"{relative}:{number}: Win32 header in a portable file")
    return breaks


def main():
    rooms, exceptions = read_map(MAP.read_text(encoding="utf-8"))
    if not rooms:
        print(f"rooms: no table under '## Rooms' in {MAP}")
        return 1
    breaks = check(rooms, exceptions)
    for line in breaks:
        print(line)
    print(f"rooms: {len(breaks)} breaks of the map in docs/architecture.md")
    return 1 if breaks else 0


if __name__ == "__main__":
    sys.exit(main())
