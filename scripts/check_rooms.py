#!/usr/bin/env python3
"""Checks the code against the map in docs/architecture.md.

Reads the table under "## Rooms" (each row: a room in backticks, the rooms
it may use in backticks, then what it holds) and the exceptions listed
under it (such as "`src/session/session_clean*` may use `log`"), then checks every file
under src/:
- an #include "room/..." names the file's own room, a room it may use, or
  one its exception allows;
- a portable file (one not named *_win32.*) includes no Win32 header and no
  *_win32.h header, except on the Win32 side of a conditional: inside
  #ifdef _WIN32 or #if defined(_WIN32), or after the #else of
  #ifndef _WIN32 or #if !defined(_WIN32). The innermost such conditional
  decides; any other condition leaves the side as its enclosing block has it.
Prints each break and exits 1 when there is any.
"""

import fnmatch
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MAP = ROOT / "docs" / "architecture.md"
SOURCES = (".h", ".hpp", ".cc", ".cpp")
ROW = re.compile(r"^\|\s*`src/(\w+)`\s*\|([^|]*)\|")
EXCEPTION = re.compile(r"`(src/[\w/.*]+)` may use `(\w+)`")
INCLUDE = re.compile(r'^\s*#\s*include\s+"(\w+)/')
ANY_INCLUDE = re.compile(r'^\s*#\s*include\s+[<"]([^>"]+)[>"]')
# The headers of the Windows SDK that a Windows program may include, and
# io.h, the Microsoft C runtime's low-level I/O (_open_osfhandle, _setmode),
# which no POSIX system has. fcntl.h, sys/stat.h and the like are left out:
# POSIX has them, and the native build uses them.
WIN32_HEADERS = {
    "windows", "windef", "winbase", "winnt", "winuser", "winerror", "winreg",
    "winioctl", "winsvc", "wincon", "winver", "wintrust", "wincrypt",
    "winternl", "winhttp", "wininet", "wtsapi32", "winsock", "winsock2",
    "ws2tcpip", "ws2def", "ws2ipdef", "mswsock", "iphlpapi", "iptypes",
    "netioapi", "shellapi", "shlobj", "shlwapi", "knownfolders", "objbase",
    "combaseapi", "aclapi", "accctrl", "sddl", "ntsecapi", "ntstatus",
    "securitybaseapi", "processthreadsapi", "synchapi", "fileapi",
    "handleapi", "libloaderapi", "tlhelp32", "psapi", "userenv", "lmcons",
    "lmaccess", "bcrypt", "ncrypt", "dbghelp", "delayimp", "versionhelpers",
    "io",
}
CONDITIONAL = re.compile(r"^\s*#\s*(ifdef|ifndef|if|elifdef|elifndef|elif|else|endif)\b(.*)")
WIN32_DEFINED = re.compile(r"defined\s*\(\s*_WIN32\s*\)|defined\s+_WIN32|_WIN32")


def read_map(text):
    section = text.split("## Rooms", 1)[1].split("\n## ", 1)[0]
    rooms = {}
    for line in section.splitlines():
        if match := ROW.match(line):
            rooms[match.group(1)] = set(re.findall(r"`(\w+)`", match.group(2)))
    exceptions = [(pattern, room) for pattern, room in EXCEPTION.findall(section)]
    return rooms, exceptions


def is_win32_header(name):
    name = name.lower()
    return name.endswith(".h") and name[:-2] in WIN32_HEADERS


def condition_says(directive, condition):
    """True when the branch holds only where _WIN32 is defined, False when
    only where it is not, None when the condition is about something else."""
    condition = re.sub(r"//.*|/\*.*?\*/", "", condition).strip()
    if directive in ("ifdef", "elifdef", "ifndef", "elifndef"):
        return directive.endswith("ifdef") if condition == "_WIN32" else None
    if WIN32_DEFINED.fullmatch(condition):
        return True
    if condition.startswith("!") and WIN32_DEFINED.fullmatch(condition[1:].strip()):
        return False
    return None


def win32_sides(lines):
    """For each line, whether it lies on the Win32 side of a conditional."""
    stack = []  # per open conditional: [its branch's side, what its conditions so far said]
    sides = []
    for line in lines:
        if match := CONDITIONAL.match(line):
            directive, condition = match.groups()
            if directive in ("if", "ifdef", "ifndef"):
                says = condition_says(directive, condition)
                stack.append([says, {says}])
            elif stack and directive == "endif":
                stack.pop()
            elif stack:
                said = condition_says(directive, condition) if directive != "else" else None
                before = stack[-1][1]
                says = said
                if said is None and (False in before or True in before):
                    # Reached only when the branches before did not hold.
                    says = False in before
                stack[-1] = [says, before | {said}]
        known = [says for says, _ in stack if says is not None]
        sides.append(bool(known) and known[-1])
    return sides


def check(rooms, exceptions):
    breaks = []
    for path in sorted((ROOT / "src").rglob("*")):
        if path.suffix not in SOURCES:
            continue
        relative = path.relative_to(ROOT).as_posix()
        room = path.relative_to(ROOT / "src").parts[0]
        if room not in rooms:
            breaks.append(f"{relative}: room src/{room} is not in the map")
            continue
        allowed = rooms[room] | {room} | {r for pattern, r in exceptions
                                          if fnmatch.fnmatch(relative, pattern)}
        portable = not fnmatch.fnmatch(path.name, "*_win32.*")
        lines = path.read_text(encoding="utf-8").splitlines()
        sides = win32_sides(lines)
        for number, line in enumerate(lines, 1):
            if (match := INCLUDE.match(line)) and match.group(1) not in allowed:
                breaks.append(f"{relative}:{number}: src/{room} may not use src/{match.group(1)}")
            if not portable or sides[number - 1] or not (match := ANY_INCLUDE.match(line)):
                continue
            header = match.group(1)
            if is_win32_header(header):
                breaks.append(f"{relative}:{number}: Win32 header {header} in a portable file")
            elif fnmatch.fnmatch(header, "*_win32.h"):
                breaks.append(f"{relative}:{number}: {header} included by a portable file")
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
