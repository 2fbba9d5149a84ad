#!/usr/bin/env python3
"""Holds docs/architecture.md true to the code.

The page is read in units: a table row, a list item, a paragraph or a
heading. A token is a code span (`...`) of a unit. The rules:

1. Paths. A token is a path when it has no space, does not start with "."
   and contains "/", ends in one of EXTENSIONS, or ends in ".*" (a file of
   that stem, any extension). "*" matches within one name. Not paths:
   tokens that start with "*" (name patterns such as `*_win32.*`), tokens
   in angle brackets (system headers such as `<io.h>`), absolute paths
   (the system's, such as `/etc/hosts`) and paths under `build/` (what a
   build makes). Where to look: a path with "/" from the
   repository's root, then from the folders its unit names; a bare name
   from the folders its unit names (those that paths with "/" name, and
   the folders of the files they name), or, when none holds it, from the
   one folder of the repository that holds a file of that name (two or
   more is a break: the reader could not tell which). It must then name
   something that exists. So a bare name stays true while its file is
   unique, even in another folder; a full path breaks when the file moves.
2. Symbols. An identifier token (`Name` or `Name::member`) is tied to a
   path when the unit writes
       `S` in `F`        (or `S1`, `S2` and `S3` in `F`)
       `S` (`F`          (the symbol, then a parenthesis opening with a path)
       (`S`, `F`         (a parenthesis opening with the symbol, then a path)
   and then S (its last part) must be declared in a file that F names: as
   a class, struct, union, enum, namespace or alias, a #define, an
   enumerator, or a name written after a type (or Python's def) and
   followed by ( = { ; or [. A test file (*_test.cc) needs only to use S.
   Any other identifier is left unchecked, and counted as such.
3. Locks. Each row of the table under "## The locks" names its lock file
   (`hosts.varnick-<name>-lock`, which src/hosts/hosts_lock_win32.cc must
   name too) and, in its last column, the functions that take it, each
   group followed by its file: `f`, `g` and `h` (`file.cc`). In src/, a
   function takes lock <name> when it makes a HostsLock of
   HostsLock::Kind::k<Name>, or, outside hosts_lock_win32.cc, calls
   LockFileEx on a file whose name (.varnick-<name>-lock) it spells out
   (one that spells out none takes "unnamed", which no row has). A
   constructor counts under its class's name; unit tests (*_test.cc) aside. The row's (function, file)
   pairs and the code's must be the same.
4. Modes and loggers. A list of modes is the parenthesis after the words
   "modes" or "per mode"; its modes are the lower-case words in backticks
   in it. Each list must hold exactly the modes that `dispatch` in
   src/app/main_win32.cc compares argv[1] with. The loggers are the
   capitalised words in backticks right before " (" in the list item that
   begins "**Logging.**"; they must be exactly the names given to
   getLogger("...") in src/, unit tests (*_test.cc) aside.

5. Numbers. Every number outside code spans (digits, with a decimal part or
   not, that are not part of a word, a version or an address) is a
   quantity of the code, and names its constant the one way: the number,
   at most three words, then a parenthesis that opens with the constant in
   backticks, as in "30 s (`kWriteLockWaitMs`)" or "4 threads
   (`PipeLimits::threads`)". The constant (its last part; with `Type::`
   only in a file that declares Type) must be given a value in src/, unit
   tests aside, by "name = value;" or "name{value};", the value an integer
   expression of literals and other such constants; and the number must be
   that value: a constant whose name ends in "Ms" holds milliseconds and
   the page says "ms", "s"/"seconds" or "min"/"minutes" after the number;
   one ending in "Seconds" holds seconds; any other is a count, compared as
   it is. The few numbers that are no quantity of the code (a version of a
   system) are listed, with their words, in EXEMPT_NUMBERS below.
6. Platforms. A sentence (in a table, a cell's sentence) names Windows when
   one of its code spans is a file or pattern with "_win32" in its name or
   a Win32 name listed in WINDOWS_NAMES, and names Linux when one has
   "_posix" in its name, is a path under /etc, /proc, /run or /var, or is
   a POSIX name listed in LINUX_NAMES. Such a sentence must say its
   platform in words: "Windows" (or "Linux") outside code spans, in the
   sentence itself or in the heading it stands under.
7. Rooms. Every file under src/ lies in a folder src/<room>/ whose room has
   a row in the table under "## Rooms" (the rows that scripts/check_rooms.py
   reads); a file at src/'s top level, or in a folder with no row, is a
   break, reported at that heading.

Prints each break as docs/architecture.md:<line>: what is wrong, then the
counts, and exits 1 when there is any break.
"""

import fnmatch
import os
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MAP = "docs/architecture.md"
EXTENSIONS = ("cc", "h", "md", "py", "sh", "js", "mjs", "cmake", "json")
SOURCES = (".h", ".cc")
SKIPPED_FOLDERS = {".git", "build", "node_modules"}

TOKEN = re.compile(r"`([^`\n]+)`")
IDENTIFIER = re.compile(r"[A-Za-z_]\w*(?:::\w+)*")
SYM = r"`([A-Za-z_]\w*(?:::\w+)*)`"
# `a`, `b` and `c` in `F`
TIED_BY_IN = re.compile(rf"((?:{SYM}(?:,\s+|\s+and\s+|\s+or\s+))*{SYM})\s+in\s+`([^`]+)`")
# `S` (`F`
TIED_BY_PARENTHESIS = re.compile(rf"{SYM}\s+\(`([^`]+)`")
# (`S`, `F`
TIED_INSIDE_PARENTHESIS = re.compile(rf"\({SYM},\s+`([^`]+)`")


@dataclass
class Unit:
    line: int  # the line the unit starts on
    text: str

    def line_of(self, offset):
        return self.line + self.text.count("\n", 0, offset)


@dataclass
class Findings:
    breaks: list = field(default_factory=list)
    counts: dict = field(default_factory=dict)

    def add(self, line, message):
        self.breaks.append(f"{MAP}:{line}: {message}")

    def count(self, what, by=1):
        self.counts[what] = self.counts.get(what, 0) + by


# --- the page ---------------------------------------------------------------

def units(text):
    """The page's units, outside fenced code."""
    found, current, fenced = [], None, False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            fenced, current = not fenced, None
            continue
        stripped = line.strip()
        if fenced or not stripped:
            current = None
            continue
        starts = (stripped.startswith(("|", "#", "- ")) or re.match(r"\d+\. ", stripped)
                  or current is None or current.text.startswith(("|", "#")))
        if starts:
            current = Unit(number, line)
            found.append(current)
        else:
            current.text += "\n" + line
    return found


def section(all_units, heading):
    """The units under a "## heading", up to the next heading of that level."""
    inside, picked = False, []
    for unit in all_units:
        if unit.text.startswith("## "):
            inside = unit.text.startswith(f"## {heading}")
        elif inside:
            picked.append(unit)
    return picked


# --- the repository -----------------------------------------------------------

class Repository:
    def __init__(self, root):
        self.root = Path(root)
        self._files = None

    def files(self):
        if self._files is None:
            self._files = []
            for folder, subfolders, names in os.walk(self.root):
                subfolders[:] = [d for d in subfolders if d not in SKIPPED_FOLDERS]
                self._files += [Path(folder) / name for name in names]
        return self._files

    def matches(self, folder, pattern):
        """What `pattern` names inside `folder` (relative to the root)."""
        base = self.root / folder
        if "*" not in pattern:
            target = base / pattern
            return [target] if target.exists() else []
        return sorted(base.glob(pattern))

    def sources(self):
        return sorted(p for p in (self.root / "src").rglob("*") if p.suffix in SOURCES)

    def read(self, path):
        return Path(path).read_text(encoding="utf-8")


def is_path(token):
    if " " in token or token.startswith(("*", "<", ".", "/")):
        return False
    return ("/" in token or token.endswith(".*")
            or re.search(r"\.(%s)\*?$" % "|".join(EXTENSIONS), token) is not None)


def unit_folders(repo, unit):
    """The folders a unit names: folders, and the folders of files, named
    by paths with "/"."""
    folders = []
    for token in TOKEN.findall(unit.text):
        if is_path(token) and "/" in token:
            folder = token.rstrip("/")
            if not (repo.root / folder).is_dir():
                folder = folder.rsplit("/", 1)[0]
            if "*" not in folder and folder not in folders:
                folders.append(folder)
    return folders


def resolve(repo, token, folders):
    """The files or folders a path token names; [] when none."""
    if token.startswith("build/"):
        return None
    for folder in ["."] * ("/" in token) + folders:
        if found := repo.matches(folder, token.rstrip("/")):
            return found
    if "/" in token:
        return []
    found = [p for p in repo.files() if fnmatch.fnmatch(p.name, token)]
    return found if len({p.parent for p in found}) == 1 else []


def check_paths(repo, all_units, findings):
    resolved = {}
    for unit in all_units:
        folders = unit_folders(repo, unit)
        for match in TOKEN.finditer(unit.text):
            token = match.group(1)
            if not is_path(token):
                continue
            found = resolve(repo, token, folders)
            if found is None:
                continue
            findings.count("paths")
            if found:
                resolved[(id(unit), token)] = found
            else:
                where = f" (looked in the root and {', '.join(folders) or 'no folder of its unit'}"
                where += ")" if "/" in token else ", then for the one folder that holds it)"
                findings.add(unit.line_of(match.start()), f"`{token}` names no file{where}")
    return resolved


# --- symbols ----------------------------------------------------------------

KEYWORDS = r"(?:return|else|case|throw|delete|new|co_return|goto|if|while|for|switch)\b"


def declares(text, name):
    n = re.escape(name)
    patterns = (
        rf"\b(?:class|struct|union|enum(?:\s+class)?|namespace)\s+(?:\[\[\w+\]\]\s*)?{n}\b",
        rf"\busing\s+{n}\s*=",
        rf"#\s*define\s+{n}\b",
        rf"^\s*{n}\s*(?:=[^=;][^;]*)?,?\s*(?://.*)?$",
        # a type, then the name: "DWORD take(", "constexpr int kX =", "Foo bar_;"
        rf"^\s*(?:\[\[\w+\]\]\s*)?(?!{KEYWORDS})[\w:<>,*&\s]*?[\w>*&]\s+"
        rf"[*&]?(?:\w+::)*~?{n}\s*[(={{;\[]",
    )
    return any(re.search(p, text, re.M) for p in patterns)


def ties(unit):
    """(symbol, path token, offset) for every symbol the unit ties to a path."""
    found = []
    for match in TIED_BY_IN.finditer(unit.text):
        for symbol in re.finditer(SYM, match.group(1)):
            found.append((symbol.group(1), match.group(match.lastindex), match.start()))
    for pattern in (TIED_BY_PARENTHESIS, TIED_INSIDE_PARENTHESIS):
        for match in pattern.finditer(unit.text):
            found.append((match.group(1), match.group(2), match.start()))
    return found


def check_symbols(repo, all_units, resolved, findings):
    for unit in all_units:
        tied = set()
        for symbol, token, offset in ties(unit):
            if not is_path(token) or (symbol, token) in tied:
                continue
            files = [p for p in resolved.get((id(unit), token), []) if p.is_file()]
            if not files:
                continue  # a path that names nothing is a break of its own
            tied.add((symbol, token))
            findings.count("symbols tied")
            name = symbol.split("::")[-1]
            if not any(re.search(rf"\b{re.escape(name)}\b", repo.read(p))
                       if p.name.endswith("_test.cc") else declares(repo.read(p), name)
                       for p in files):
                findings.add(unit.line_of(offset),
                             f"`{symbol}` is not declared in `{token}` "
                             f"({', '.join(p.relative_to(repo.root).as_posix() for p in files)})")
        loose = {t for t in TOKEN.findall(unit.text)
                 if IDENTIFIER.fullmatch(t) and not is_path(t)} - {s for s, _ in tied}
        findings.count("identifiers left unchecked", len(loose))


# --- C++ functions ----------------------------------------------------------

def masked(text):
    """The text with comments, strings, characters and preprocessor lines
    blanked out, offsets kept."""
    pattern = re.compile(r"//[^\n]*|/\*.*?\*/"             # comments
                         r'|"(?:\\.|[^"\\\n])*"'            # strings
                         r"|'(?:\\.|[^'\\\n])*'"            # characters
                         r"|^\s*#[^\n]*", re.S | re.M)  # preprocessor lines
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def functions(text):
    """(name, start, end) of every function body, its head included: the
    text from the end of the statement before it to its closing brace."""
    code = masked(text)
    found, stack, head_start = [], [], 0
    for i, char in enumerate(code):
        if char == ";":
            head_start = i + 1
        elif char == "{":
            head = code[head_start:i]
            enclosing = stack[-1][0] if stack else "namespace"
            kind, name = "block", None
            if re.search(r"\b(?:namespace|extern)\b", head):
                kind = "namespace"
            elif re.search(r"\b(?:class|struct|union|enum)\b[^()]*$", head):
                kind = "class"
            elif enclosing in ("namespace", "class") and "(" in head:
                before = head.split("(", 1)[0]
                if "=" not in before and (m := re.search(r"(~?\w+)\s*$", before)):
                    kind, name = "function", m.group(1)
            stack.append((kind, name, head_start))
            head_start = i + 1
        elif char == "}":
            if stack:
                kind, name, start = stack.pop()
                if kind == "function":
                    found.append((name, start, i + 1))
            head_start = i + 1
    return found


def enclosing_function(spans, offset):
    """The innermost (name, start, end) of `spans` around `offset`, or None."""
    inside = [span for span in spans if span[1] <= offset < span[2]]
    return min(inside, key=lambda span: span[2] - span[1]) if inside else None


# --- locks -------------------------------------------------------------------

LOCK_FILE = re.compile(r"`hosts\.varnick-(\w+)-lock`")
LOCK_KIND = re.compile(r"HostsLock::Kind::k(\w+)")
LOCK_HOME = "src/hosts/hosts_lock_win32.cc"


def lock_takers(repo):
    """{lock name: {(function, file name)}} as the code takes them."""
    takers = {}
    for path in repo.sources():
        relative = path.relative_to(repo.root).as_posix()
        if relative.startswith("src/hosts/hosts_lock_win32.") or path.name.endswith("_test.cc"):
            continue
        text = repo.read(path)
        code = masked(text)
        spans = functions(text)
        taken = [(m.start(), m.group(1).lower()) for m in LOCK_KIND.finditer(code)]
        for call in re.finditer(r"\bLockFileEx\s*\(", code):
            function = enclosing_function(spans, call.start())
            body = text[function[1]:function[2]] if function else ""
            names = set(re.findall(r"\.varnick-(\w+)-lock", body))
            taken.append((call.start(), names.pop() if len(names) == 1 else "unnamed"))
        for offset, lock in taken:
            function = enclosing_function(spans, offset)
            name = function[0] if function else "(outside any function)"
            takers.setdefault(lock, set()).add((name, path.name))
    return takers


def row_takers(row):
    """(function, file name) pairs of a row's last column: `f`, `g` (`file`)."""
    cell = row.text.strip().strip("|").rsplit("|", 1)[-1]
    pairs, start = set(), 0
    for group in re.finditer(r"\(`([^`]+)`[^)]*\)", cell):
        if not is_path(group.group(1)):
            continue
        for name in re.findall(SYM, cell[start:group.start()]):
            pairs.add((name, Path(group.group(1)).name))
        start = group.end()
    return pairs


def check_locks(repo, all_units, findings):
    rows = [u for u in section(all_units, "The locks") if LOCK_FILE.search(u.text)]
    if not rows:
        findings.add(1, "no lock table under '## The locks'")
        return
    code = lock_takers(repo)
    home = repo.read(repo.root / LOCK_HOME)
    named = set()
    for row in rows:
        lock = LOCK_FILE.search(row.text).group(1)
        named.add(lock)
        if f".varnick-{lock}-lock" not in home:
            findings.add(row.line, f"{LOCK_HOME} names no lock file .varnick-{lock}-lock")
        doc = row_takers(row)
        takers = code.get(lock, set())
        findings.count("lock holders", len(doc))
        for function, file in sorted(doc - takers):
            findings.add(row.line, f"the {lock} lock's row names `{function}` (`{file}`), "
                                   f"which does not take it")
        for function, file in sorted(takers - doc):
            findings.add(row.line, f"`{function}` (`{file}`) takes the {lock} lock; "
                                   f"its row does not name it")
    for lock in sorted(set(code) - named):
        where = ", ".join(f"{f} ({p})" for f, p in sorted(code[lock]))
        findings.add(rows[0].line, f"no row for the {lock} lock, which {where} take")


# --- modes and loggers ---------------------------------------------------------

def parenthesis_after(text, start):
    """The text inside the parenthesis that opens at `start`."""
    depth = 0
    for i in range(start, len(text)):
        depth += {"(": 1, ")": -1}.get(text[i], 0)
        if depth == 0:
            return text[start + 1:i]
    return text[start + 1:]


def code_modes(repo):
    path = repo.root / "src/app/main_win32.cc"
    text = repo.read(path)
    for name, start, end in functions(text):
        if name == "dispatch":
            return set(re.findall(r'wcscmp\(\s*mode\s*,\s*L"(\w+)"\s*\)', text[start:end]))
    return set()


def code_loggers(repo):
    names = set()
    for path in repo.sources():
        if not path.name.endswith("_test.cc"):
            names |= set(re.findall(r'getLogger\(\s*"([^"]+)"\s*\)', repo.read(path)))
    return names


def compare(findings, line, what, doc, code, where):
    for name in sorted(doc - code):
        findings.add(line, f"{what} `{name}` is not one that {where} has")
    for name in sorted(code - doc):
        findings.add(line, f"{what} `{name}` of {where} is missing here")


def check_modes_and_loggers(repo, all_units, findings):
    modes = code_modes(repo)
    if not modes:
        findings.add(1, "no modes found in `dispatch` of src/app/main_win32.cc")
    lists = 0
    for unit in all_units:
        for match in re.finditer(r"\b(?:modes|per\s+mode)\s+\(", unit.text):
            inside = parenthesis_after(unit.text, match.end() - 1)
            doc = {t for t in TOKEN.findall(inside) if re.fullmatch(r"[a-z]+", t)}
            lists += 1
            compare(findings, unit.line_of(match.start()), "mode", doc, modes, "`dispatch`")
    if not lists:
        findings.add(1, "no list of modes (a parenthesis after 'modes' or 'per mode')")
    findings.count("lists of modes", lists)

    logging = [u for u in all_units if re.match(r"\s*- \*\*Logging\.\*\*", u.text)]
    if not logging:
        findings.add(1, "no list item that begins '**Logging.**'")
        return
    doc = set(re.findall(r"`([A-Z]\w*)`\s+\(", logging[0].text))
    findings.count("loggers", len(doc))
    compare(findings, logging[0].line, "logger", doc, code_loggers(repo), "getLogger in src/")


# --- numbers -----------------------------------------------------------------

# Numbers that are no quantity of the code, each with the words it stands in.
EXEMPT_NUMBERS = {
    "Wine 8": "the version of Wine the tests run under",
}
NUMBER = re.compile(r"(?<![\w.\-/])\d+(?:\.\d+)?(?![\w.\-]*\w)")
# the number, at most three words, then (`constant`
NAMED = re.compile(r"\s*((?:[A-Za-z][\w-]*\s+){0,3})\(`([A-Za-z_]\w*(?:::\w+)*)`")
TIME_UNITS_MS = {"ms": 1, "s": 1000, "second": 1000, "seconds": 1000,
                 "min": 60000, "minute": 60000, "minutes": 60000}
TIME_UNITS_S = {"s": 1, "second": 1, "seconds": 1, "min": 60, "minute": 60, "minutes": 60}


def without_code(text):
    """The text with its code spans blanked out, offsets kept."""
    return TOKEN.sub(lambda m: " " * len(m.group(0)), text)


class Constants:
    """The values that src/ gives its named constants."""

    def __init__(self, repo):
        self.repo = repo
        self.texts = {p: masked(repo.read(p)) for p in repo.sources()
                      if not p.name.endswith("_test.cc")}

    def definitions(self, name, owner=None):
        pattern = re.compile(rf"\b{re.escape(name)}\s*(?:=\s*([^;{{}}]+?)|\{{([^;{{}}]+)\}})\s*;")
        found = []
        for path, text in self.texts.items():
            start = 0
            if owner:
                declared = re.search(rf"\b(?:struct|class)\s+{re.escape(owner)}\b", text)
                if not declared:
                    continue
                start = declared.start()
            found += [(m.group(1) or m.group(2)).strip() for m in pattern.finditer(text, start)]
        return found

    def value(self, symbol, depth=0):
        """The value of `symbol`, or a string that says why there is none."""
        parts = symbol.split("::")
        found = self.definitions(parts[-1], parts[-2] if len(parts) > 1 else None)
        if not found:
            return f"no value is given to `{symbol}` in src/"
        values = {self.evaluate(expression, depth) for expression in found}
        if len(values) > 1:
            return f"`{symbol}` is given more than one value in src/ ({', '.join(found)})"
        return values.pop()

    def evaluate(self, expression, depth):
        if depth > 5:
            return f"`{expression}` is too deep to read"
        text = re.sub(r"(?<=\d)'(?=\d)", "", expression)
        text = re.sub(r"\bstd::\w+\s*\{([^{}]*)\}", r"(\1)", text)
        text = re.sub(r"\b(0[xX][0-9a-fA-F]+|\d+)(?:[uU]?[lL]{0,2}|[lL]{1,2}[uU]?)\b", r"\1", text)
        for name in set(re.findall(r"\b[A-Za-z_]\w*\b", text)) - {"x", "X"}:
            inner = self.value(name, depth + 1)
            if isinstance(inner, str):
                return f"`{expression}` is not an integer expression"
            text = re.sub(rf"\b{name}\b", str(inner), text)
        if not re.fullmatch(r"[0-9a-fA-FxX+\-*/()<>\s]+", text):
            return f"`{expression}` is not an integer expression"
        try:
            return int(eval(text.replace("/", "//"), {"__builtins__": {}}))  # digits and operators only
        except (SyntaxError, ZeroDivisionError, ValueError, TypeError):
            return f"`{expression}` is not an integer expression"


def in_page_units(number, words, symbol, value):
    """What `value` of `symbol` is in the page's units, or why it cannot be."""
    unit = words.split()[0].lower() if words.split() else ""
    last = symbol.split("::")[-1]
    for suffix, units in (("Ms", TIME_UNITS_MS), ("Seconds", TIME_UNITS_S)):
        if last.endswith(suffix) or last.endswith(suffix.lower()):
            if unit not in units:
                return None, f"{number} names `{symbol}`, a time, without its unit"
            return value / units[unit], None
    return value, None


def check_numbers(repo, all_units, findings):
    constants = Constants(repo)
    for unit in all_units:
        text = without_code(unit.text)
        for phrase in EXEMPT_NUMBERS:
            text = text.replace(phrase, " " * len(phrase))
        if re.match(r"\s*\d+\. ", text):
            text = re.sub(r"\d+\.", lambda m: " " * len(m.group(0)), text, count=1)
        for match in NUMBER.finditer(text):
            number = match.group(0)
            line = unit.line_of(match.start())
            findings.count("numbers")
            named = NAMED.match(unit.text, match.end())
            if not named:
                findings.add(line, f"{number} names no constant: write it as "
                                   f"\"{number} <unit> (`kConstant`)\", or list it in EXEMPT_NUMBERS")
                continue
            words, symbol = named.group(1), named.group(2)
            value = constants.value(symbol)
            if isinstance(value, str):
                findings.add(line, value)
                continue
            expected, why = in_page_units(number, words, symbol, value)
            if why:
                findings.add(line, why)
            elif abs(float(number) - expected) > 1e-9:
                shown = f"{expected:g}" if isinstance(expected, float) else str(expected)
                findings.add(line, f"{number} {words.strip()} is not `{symbol}`, which is "
                                   f"{value} in src/ ({shown} in the page's units)")


# --- platforms ------------------------------------------------------------------

# Names that only Windows has, as the page may write them in code spans.
WINDOWS_NAMES = {
    "LockFileEx", "CreateProcessW", "CopyFileW", "CREATE_NEW", "WaitNamedPipeW",
    "GetFileInformationByHandle", "GetFinalPathNameByHandleW", "SetKernelObjectSecurity",
    "SetFileInformationByHandle", "GetNamedPipeServerProcessId", "GetNamedPipeClientProcessId",
    "FILE_FLAG_OPEN_REPARSE_POINT", "FILE_FLAG_FIRST_PIPE_INSTANCE", "PIPE_REJECT_REMOTE_CLIENTS",
    "AccessCheck", "CreateRestrictedToken", "LocalFree", "CloseServiceHandle", "DataBasePath",
    "PATHEXT", "wmain",
}
# Names that only Linux (or POSIX) has.
LINUX_NAMES = {
    "flock", "socketpair", "posix_spawnp", "O_NOFOLLOW", "O_EXCL", "SO_PEERCRED", "SO_PASSCRED",
    "EBUSY", "SUDO_UID", "sudo",
}
SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=[A-Z(`*])")


def platforms_named(sentence):
    """{platform: offset of the first code span that names it}."""
    named = {}
    for match in TOKEN.finditer(sentence):
        token = match.group(1)
        if "_win32" in token or token in WINDOWS_NAMES:
            named.setdefault("Windows", match.start())
        if ("_posix" in token or token in LINUX_NAMES
                or re.match(r"/(?:etc|proc|run|var)\b", token)):
            named.setdefault("Linux", match.start())
    return named


def sentences(unit):
    """(offset, sentence) of each sentence of a unit; a table row's cells
    are split first."""
    text = unit.text
    plain = without_code(text)
    pieces, start = [], 0
    cells = [m.start() for m in re.finditer(r"\|", plain)] if text.lstrip().startswith("|") else []
    bounds = sorted(set(cells + [m.start() for m in SENTENCE_END.finditer(plain)] + [len(text)]))
    for end in bounds:
        if text[start:end].strip(" |\n"):
            pieces.append((start, text[start:end]))
        start = end
    return pieces


def check_platforms(all_units, findings):
    heading = ""
    for unit in all_units:
        if unit.text.startswith("#"):
            heading = unit.text
            continue
        for offset, sentence in sentences(unit):
            said = set(re.findall(r"\b(Windows|Linux)\b", without_code(sentence) + " " + heading))
            for platform, at in sorted(platforms_named(sentence).items()):
                findings.count("platform sentences")
                if platform not in said:
                    findings.add(unit.line_of(offset + at),
                                 f"a sentence names a {platform} file or call but does not say "
                                 f"{platform}: {' '.join(sentence.split())[:70]}")


# --- rooms ----------------------------------------------------------------------

def check_room_coverage(repo, all_units, findings):
    from check_rooms import ROW  # the one reading of the rooms table
    rooms_heading = next((u for u in all_units if u.text.startswith("## Rooms")), None)
    if rooms_heading is None:
        findings.add(1, "no '## Rooms' heading")
        return
    rooms = {m.group(1) for u in section(all_units, "Rooms") if (m := ROW.match(u.text.strip()))}
    source = repo.root / "src"
    for path in sorted(p for p in source.rglob("*") if p.is_file()):
        parts = path.relative_to(source).parts
        findings.count("files in rooms")
        if len(parts) == 1 or parts[0] not in rooms:
            where = "src/'s top level" if len(parts) == 1 else f"src/{parts[0]}, which has no row"
            findings.add(rooms_heading.line,
                         f"{path.relative_to(repo.root).as_posix()} lies in no room ({where})")


# --- all of it -------------------------------------------------------------------

def check(text, root=ROOT):
    """The breaks and the counts of the map `text` against the code at `root`."""
    repo, findings = Repository(root), Findings()
    all_units = units(text)
    resolved = check_paths(repo, all_units, findings)
    check_symbols(repo, all_units, resolved, findings)
    check_locks(repo, all_units, findings)
    check_modes_and_loggers(repo, all_units, findings)
    check_numbers(repo, all_units, findings)
    check_platforms(all_units, findings)
    check_room_coverage(repo, all_units, findings)
    return findings


def main():
    findings = check((ROOT / MAP).read_text(encoding="utf-8"))
    for line in findings.breaks:
        print(line)
    counts = ", ".join(f"{number} {what}" for what, number in findings.counts.items())
    print(f"map: {counts}; {len(findings.breaks)} breaks of {MAP}")
    return 1 if findings.breaks else 0


if __name__ == "__main__":
    sys.exit(main())
