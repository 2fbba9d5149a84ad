#!/usr/bin/env python3
"""Refuses a GetLastError(), WSAGetLastError() or errno read inside an
argument list or a braced initializer, and an errno read after a call whose
result was thrown away, in every C++ file under src/.

The thread's last error, and errno, belong to the call that just failed only
until the next call: among the arguments of a call, or the elements of a
braced list, another call may run first (the order of evaluation of
arguments is unspecified), and a wrong code is then reported as the cause.
Each read goes into a local in the statement right after the failing call:

    const DWORD error = GetLastError();
    const int error = errno;

A read in a condition (`if (!f() && GetLastError() != ERROR_X)`,
`errno == EINTR`), on the right of an assignment, or after return stays
allowed. Grouping parentheses, casts and subscripts are looked through:
`log(static_cast<int>(GetLastError()))` is still an argument. A write
(`errno = 0;`) is no read.

errno is also read too late when a call stands between it and the call that
failed: any library call may set it, even one that succeeds. The check
takes the nearest call before the read as the one that failed, skipping
blocks that never run on into the read (a branch that an else follows, or
one that ends in return, continue, break or throw) and taking a loop's
header as run after its body; when that call is a
statement of its own, its result unlooked at (`close(fd);`, `(void)f();`),
it cannot be the one whose failure errno tells, and the read is refused.

Usage: scripts/check_last_error.py [file ...]   (default: every file under src/)
Prints file:line for each read refused and exits 1 when there is any.
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = (".h", ".hpp", ".cc", ".cpp")
READ = re.compile(r"\b(?:WSA)?GetLastError\s*\(\s*\)|\berrno\b(?!\s*=[^=])")
# What may stand before the parenthesis of a condition or a grouping, rather
# than a call.
STATEMENT_KEYWORDS = {"if", "while", "switch", "for", "return", "co_return", "throw", "case"}
CAST = re.compile(r"\b(?:static|reinterpret|const|dynamic)_cast\s*<[^;{}()]*>\s*$")
# Code words (and a closing bracket) that make the next "(" a call.
CALLEE_END = re.compile(r"(?:[A-Za-z_]\w*|[)\]>])\s*$")
# Words that a "(" may follow without making a call.
NOT_CALLEES = STATEMENT_KEYWORDS | {
    "sizeof", "alignof", "decltype", "noexcept", "static_assert", "catch", "defined",
    "else", "do"}


def is_digit_separator(text, quote):
    """Whether the quote at `quote` separates digits (1'000, 0xFF'FF) rather
    than opens a character literal (L'x', u8'x')."""
    token = re.search(r"[\w.]*$", text[:quote]).group(0)
    return token[:1].isdigit()


def blank_comments_and_literals(text):
    """The text with comments and string and character literals turned into
    spaces, newlines kept, so that offsets and line numbers stay true."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum()):
            match = re.match(r'R"([^(\s]*)\(', text[i:])
            if not match:
                out.append(c)
                i += 1
                continue
            close = text.find(")" + match.group(1) + '"', i)
            end = n if close < 0 else close + len(match.group(1)) + 2
        elif c == '"' or (c == "'" and not is_digit_separator(text, i)):
            end = i + 1
            while end < n and text[end] != c and text[end] != "\n":
                end += 2 if text[end] == "\\" else 1
            end = min(end + 1, n)
        else:
            out.append(c)
            i += 1
            continue
        out.append(re.sub(r"[^\n]", " ", text[i:end]))
        i = end
    return "".join(out)


def matching_close(code, opening):
    """The offset of the bracket that closes the one at `opening`."""
    depth = 0
    for i in range(opening, len(code)):
        if code[i] in "([{":
            depth += 1
        elif code[i] in ")]}":
            depth -= 1
            if depth == 0:
                return i
    return len(code)


def is_block(code, opening):
    """Whether the brace at `opening` opens a block (its top level holds a
    statement's semicolon) rather than a braced list."""
    depth = 0
    for i in range(opening + 1, matching_close(code, opening)):
        if code[i] in "([{":
            depth += 1
        elif code[i] in ")]}":
            depth -= 1
        elif code[i] == ";" and depth == 0:
            return True
    return False


def refusal(code, offset):
    """Why the read at `offset` is refused, or None when it is allowed."""
    # The brackets open at the read, innermost last.
    stack = []
    for i in range(offset):
        if code[i] in "([{":
            stack.append(i)
        elif code[i] in ")]}" and stack:
            stack.pop()
    for opening in reversed(stack):
        bracket = code[opening]
        if bracket == "{":
            return None if is_block(code, opening) else "an element of a braced initializer"
        if bracket == "[":
            continue
        before = code[:opening].rstrip()
        word = re.search(r"([A-Za-z_]\w*)$", before)
        if word and word.group(1) in STATEMENT_KEYWORDS:
            return None
        if CAST.search(before) or not CALLEE_END.search(before):
            continue  # a cast or a grouping: what encloses it decides
        return "an argument of a call"
    return None


def matching_open(code, closing):
    """The offset of the bracket that opens the one at `closing`."""
    depth = 0
    for i in range(closing, -1, -1):
        if code[i] in ")]}":
            depth += 1
        elif code[i] in "([{":
            depth -= 1
            if depth == 0:
                return i
    return 0


JUMP_LAST = re.compile(r"(?:^|[;{}])\s*(?:return|co_return|continue|break|throw|goto)\b[^;{}]*;\s*$")


def left_before(code, closing):
    """Whether the block that the brace at `closing` ends never runs on
    into what follows it: a branch of an if that an else follows, or one
    whose last statement jumps away."""
    if re.match(r"\s*else\b", code[closing + 1:]):
        return True
    return JUMP_LAST.search(code[matching_open(code, closing) + 1:closing]) is not None


def loop_condition_end(code, closing):
    """The offset of the ")" that ends the header of the while or for loop
    whose body the brace at `closing` ends: the header runs after the body,
    last. None when the block is no loop's body."""
    before = code[:matching_open(code, closing)].rstrip()
    if not before.endswith(")"):
        return None
    word = re.search(r"([A-Za-z_]\w*)\s*$", code[:matching_open(code, len(before) - 1)])
    return len(before) - 1 if word and word.group(1) in {"while", "for"} else None


def nearest_call(code, offset):
    """The offset of the "(" of the nearest call before `offset`, blocks
    that never run on into it skipped; None when there is none."""
    i = offset - 1
    while i >= 0:
        c = code[i]
        if c == "}" and loop_condition_end(code, i) is not None:
            i = loop_condition_end(code, i) - 1
            continue
        if c == "}" and left_before(code, i):
            i = matching_open(code, i) - 1
            continue
        if c == "(":
            before = code[:i].rstrip()
            word = re.search(r"([A-Za-z_]\w*)$", before)
            if CALLEE_END.search(before) and not CAST.search(before) and not (
                    word and word.group(1) in NOT_CALLEES):
                return i
        i -= 1
    return None


def callee_start(code, opening):
    """Where the expression called at `opening` starts: `a.b->c::f` of
    `a.b->c::f(`, brackets before it included."""
    i = opening
    member = False  # after "." or "->", which a bracketed expression may stand before
    while True:
        j = len(code[:i].rstrip())
        if member and j > 0 and code[j - 1] in ")]":
            i = matching_open(code, j - 1)
            continue
        word = re.search(r"[A-Za-z_]\w*$", code[:j])
        if word:
            i = word.start()
            link = re.search(r"(?:\.|->|::)\s*$", code[:i])
            if link:
                i = link.start()
                member = link.group(0).strip() != "::"
                continue
            return i
        return j


def starts_statement(code, start):
    """Whether an expression starting at `start` starts a statement: after
    `;`, a brace, `else`, a `(void)` cast or the parenthesis that closes an
    if, while or for."""
    before = code[:start].rstrip()
    if not before or before[-1] in ";{}" or re.search(r"\belse$", before):
        return True
    if before[-1] != ")":
        return False
    opening = matching_open(code, len(before) - 1)
    if code[opening + 1:len(before) - 1].strip() == "void":
        return True
    word = re.search(r"([A-Za-z_]\w*)\s*$", code[:opening])
    return bool(word) and word.group(1) in {"if", "while", "for"}


def thrown_away_call_before(code, offset):
    """The name of a call whose result nobody looked at, when it is the
    nearest before the read at `offset`; None otherwise."""
    opening = nearest_call(code, offset)
    if opening is None:
        return None
    start = callee_start(code, opening)
    after = code[matching_close(code, opening) + 1:].lstrip()
    if not after.startswith(";") or not starts_statement(code, start):
        return None
    return re.sub(r"\s+", "", code[start:opening])


def check(path):
    text = path.read_text(encoding="utf-8", errors="replace")
    code = blank_comments_and_literals(text)
    found = []
    for match in READ.finditer(code):
        line = code.count("\n", 0, match.start()) + 1
        name = match.group(0).split("(")[0].strip()
        errno = name == "errno"
        read = name if errno else f"{name}()"
        local = "const int error = errno;" if errno else f"const DWORD error = {name}();"
        why = refusal(code, match.start())
        why = why and f"as {why}"
        if not why and errno:
            call = thrown_away_call_before(code, match.start())
            why = call and f"after {call}() ran, whose result nobody looked at"
        if why:
            found.append(f"{path}:{line}: {read} read {why}; read it into a local "
                         f"({local}) right after the call that failed")
    return found


def main(arguments):
    paths = [Path(a) for a in arguments] or sorted(
        p for p in (ROOT / "src").rglob("*") if p.suffix in SOURCES)
    found = [line for path in paths for line in check(path)]
    for line in found:
        print(line, file=sys.stderr)
    if found:
        print(f"last error: {len(found)} reads in an argument list or a braced initializer, "
              "or after another call", file=sys.stderr)
        return 1
    print(f"last error: {len(paths)} files clean")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
