#!/usr/bin/env python3
"""Differential tests of the kestrel engine against Python's re module.

usage: diff_re.py KESTREL_DEV [--seed N] [--cases N] [--verbose]

Three parts, all answered by one kestrel-dev process in batch mode:

  syntax   patterns from the interpreter's own regex test data (test.re_tests, where the
           installed Python ships it), a list of error-prone patterns and random mutations of
           shared-syntax snippets.  Where re and kestrel share the syntax, kestrel must accept
           what re accepts and refuse what re refuses, with the same message.
  match    seeded random patterns and subjects in the shared syntax; kestrel's anchored match
           (group 0 and every capture) at several offsets must equal re.compile(p).match(s, pos).
           kestrel's matchers must also agree with one another, and a pattern's whole match
           must not change when its groups are made non-capturing.
  corpus   the expected values of tests/data/match_corpus.txt, for the cases re can express,
           must be what re gives.

Both engines differ on purpose in a few places, listed below (SYNTAX_DIFFERENCES and
MATCH_DIFFERENCES) with the reasons.  Cases that fall under them are counted, not compared.
Any other disagreement fails the run: the first few are printed with pattern, subject and
offset, and the last line reads "diff_re: N passed, M failed".

The seed is fixed (DEFAULT_SEED); --seed or the environment variable DIFF_RE_SEED replays
another.  Standard library only.
"""

import argparse
import ast
import os
import random
import re
import signal
import subprocess
import sys
import time
import warnings

DEFAULT_SEED = 20250611
DEFAULT_MATCH_CASES = 100_000
# re backtracks, exponentially on some nested loops; a match that takes longer than this is
# abandoned and its pattern counted as not comparable (kestrel is linear and needs no limit).
RE_TIME_LIMIT = 0.25

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, os.pardir, "data", "match_corpus.txt")

# --------------------------------------------------------------------------------------------
# Intended differences in syntax.  Each entry: a name, the reason, and a test on
# (pattern, re outcome, kestrel outcome) where an outcome is None for "compiles" or
# (message, byte position).  A disagreement that one of them explains is not a failure.
# --------------------------------------------------------------------------------------------

def _msg(outcome, *texts):
    """Whether a refusal's message starts with one of texts."""
    return outcome is not None and any(outcome[0].startswith(t) for t in texts)


def _escapes(pattern):
    """(byte position, text) of every escape of the pattern: the backslash and what follows."""
    out = []
    i = 0
    while i < len(pattern):
        if pattern[i] == "\\":
            out.append((len(pattern[:i].encode()), pattern[i:i + 5]))
            i += 2
        else:
            i += 1
    return out


def _has_engine_escape(pattern):
    """Whether the pattern uses an escape that re does not have."""
    return any(re.match(r"\\(?:[pPQEzC]|[xu]\{|N\{U\+)", e) for _, e in _escapes(pattern))


def _quantified_word_edge(pattern, k):
    """Whether kestrel's "nothing to repeat" is a quantifier after \\< or \\>."""
    return _msg(k, "nothing to repeat") and any(
        at + 2 == k[1] and e[1] in "<>" for at, e in _escapes(pattern))


def _same_quoted_name(r, k, prefix):
    """re quotes a group name with repr(), kestrel with plain quotes: the same name?"""
    if not (_msg(r, prefix) and _msg(k, prefix)):
        return False
    r_rest, k_rest = r[0][len(prefix):], k[0][len(prefix):]
    try:
        name = ast.literal_eval(r_rest.split(" as group ")[0])
    except (ValueError, SyntaxError):
        return False
    return k_rest.split(" as group ")[0] == "'" + name + "'"


def _leading_flags_off(pattern):
    """The length of the leading global flag groups when one of them turns a flag off, else 0."""
    m = re.match(r"(?:\(\?[a-zA-Z]*(?:-[a-zA-Z]*)?\))+", pattern)
    return m.end() if m and "-" in m.group(0) else 0


def _brace_after_nothing(pattern, at):
    """Whether the { at byte `at` (or just before it) follows nothing that could repeat."""
    for b in (at, at - 1):
        if 0 <= b < len(pattern) and pattern[b:b + 1] == b"{":
            before = pattern[:b]
            return before == b"" or before.endswith(b"|") or re.search(
                rb"\((?:\?(?:[:=!>]|<[=!]|P?<[^>]*>|[a-zA-Z-]*[:)]))?$", before) is not None
    return False


def _flag_groups(pattern):
    """The letters after every (? of the pattern (flag groups, complete or not)."""
    return re.findall(r"\(\?([a-zA-Z-]*)", pattern)


WORDING = [  # (re's message, kestrel's message): one error, two wordings
    ("unterminated character set", "unterminated character class"),
    ("bad escape (end of pattern)", "dangling backslash"),
    ("octal escape value \\", "octal escape value outside of range 0-0o377"),
    ("octal escape value \\", "octal escape value out of range (\\0 to \\377)"),
    ("bad escape \\U", "invalid Unicode escape: code point out of range"),
    ("bad escape \\u", "invalid Unicode escape: code point out of range"),
]

SYNTAX_DIFFERENCES = [
    ("refused constructs",
     "backreferences (also named ones), conditionals, recursion, subroutine calls and callouts "
     "are recognised and refused: every rule must match in linear time",
     lambda p, r, k: _msg(k, "backreferences are not supported", "named backreferences",
                          "conditional groups", "pattern recursion", "subroutine calls",
                          "callouts")),
    ("possessive and atomic bodies",
     "possessive quantifiers and atomic groups take one character, class or a capture group "
     "around one (atomic groups also a body that cannot backtrack); re takes any body",
     lambda p, r, k: (r is None and _msg(k, "possessive/atomic"))
     or (_msg(k, "possessive/atomic quantifiers inside a lookaround")
         and _msg(r, "look-behind requires fixed-width"))),
    ("lookaround limits",
     "lookarounds do not nest; a lookbehind needs a bounded length, not a fixed one as in re; "
     "bounded lookarounds may match at most 255 bytes",
     lambda p, r, k: _msg(k, "nested lookaround")  # refused where it starts, whatever follows
     or (_msg(k, "unbounded lookbehind", "lookaround sub-pattern too long")
         and (r is None or _msg(r, "look-behind requires fixed-width")))
     or (_msg(r, "look-behind requires fixed-width") and k is None)),
    ("size limits",
     "counts above 1000, nesting deeper than 200, more than 32,766 groups and programs over "
     "262,144 instructions are refused; re's limits are far higher",
     lambda p, r, k: _msg(k, "repetition count too large", "pattern nesting too deep",
                          "too many capture groups", "program too large")
     and (r is None or r[1] > k[1] or _msg(r, "the repetition number is too large"))),
    ("escapes of this engine",
     "\\p{..}/\\P{..} properties, \\Q..\\E, \\z, braced \\x{..} and \\u{..}, \\N{U+..} and the "
     "refused \\C do not exist in re; \\< and \\> are assertions here (so a quantifier after "
     "them is \"nothing to repeat\") and the characters < and > in re",
     lambda p, r, k: _has_engine_escape(p) or _quantified_word_edge(p, k)),
    ("character names",
     "\\N{NAME} is resolved by the Python binding before a pattern reaches the engine; the "
     "engine itself takes \\N{U+hex} only",
     lambda p, r, k: _msg(k, "\\N{...} takes a U+XXXX", "expected '{' after \\N",
                          "expected '+' in \\N")),
    ("message wording",
     "the same error worded differently: \"unterminated character class\" for re's "
     "\"unterminated character set\", \"dangling backslash\" (at the end) for \"bad escape (end "
     "of pattern)\" (at the backslash), octal and \\U range messages without the escape text",
     lambda p, r, k: r is not None and k is not None
     and any(r[0].startswith(a) and k[0] == b for a, b in WORDING)),
    ("unknown escapes",
     "an unknown letter escape is \"unsupported escape sequence \\X\", and \\8, \\9 in a class "
     "get their own explanation, where re says \"bad escape \\X\"",
     lambda p, r, k: _msg(r, "bad escape \\") and
     (k is not None and (k[0] == "unsupported escape sequence " + r[0][len("bad escape "):]
                         or k[0].startswith("invalid escape (\\8 and \\9")))),
    ("first of two errors",
     "where a pattern holds two errors the engines may report different ones: re reads one "
     "token ahead, so a stray backslash at the end is reported before an earlier error; and a "
     "counted repeat right after a quantifier or an assertion is refused here before its "
     "counts are checked",
     lambda p, r, k: k is not None and r is not None and k[1] <= r[1] and (
         (_msg(r, "bad escape (end of pattern)") and k[0] != "dangling backslash")
         or (_msg(k, "multiple repeat", "nothing to repeat")
             and _msg(r, "min repeat greater than max repeat",
                      "the repetition number is too large")))),
    ("range text",
     "a bad range whose end is an escape is quoted whole and reported at its start; re quotes "
     "only the first two characters of the escape and reports a later position",
     lambda p, r, k: _msg(r, "bad character range ") and _msg(k, "bad character range ")
     and k[1] <= r[1]),
    ("group names",
     "(?<name>..) is accepted as well as (?P<name>..) (re 3.11 has only the P form); a name "
     "without a closing > is reported at its first bad character if it has one (re: missing >); "
     "a bare (?P< at the end is an unterminated name (re: missing group name)",
     lambda p, r, k: re.search(r"\(\?<(?![=!])", p) is not None and
     (_msg(r, "unknown extension ?<") or (_msg(r, "unexpected end of pattern") and p.endswith("(?<")))
     or (_msg(r, "missing >, unterminated name") and _msg(k, "bad character in group name"))
     or (_msg(r, "missing group name") and _msg(k, "missing >, unterminated name"))),
    ("quoted group names",
     "a group name in a message is quoted as written, up to the next >; re quotes it with "
     "repr(), which doubles backslashes and may switch the quotes, and reads an escaped > "
     "as part of the name",
     lambda p, r, k: _same_quoted_name(r, k, "bad character in group name ")
     or _same_quoted_name(r, k, "redefinition of group name ")
     or (_msg(r, "bad character in group name") and _msg(k, "bad character in group name")
         and r[1] == k[1] and "\\" in r[0])),
    ("flags",
     "the inline flags are i m s x a U: U (ungreedy) is not in re, re's u (Unicode, always on "
     "here) and L (locale) are not here; leading global flags may also turn flags off, as in "
     "(?-i), which re refuses, and a may be turned off like any other flag; global flags "
     "must come before anything else, comments included (re lets comments precede them)",
     lambda p, r, k: any(set("uUL") & set(g) for g in _flag_groups(p))
     or (_msg(r, "bad inline flags: cannot turn off") and not _msg(k, "bad inline flags"))
     or (_msg(k, "global flags not at the start") and (r is None or r[1] > k[1]) and re.fullmatch(
         r"(?:\(\?#[^)]*\)|\(\?[a-zA-Z-]*\))*", p.encode()[:k[1]].decode("utf-8", "replace")))
     or (_msg(r, "missing :") and re.search(r"\(\?[a-zA-Z]*-[a-zA-Z]*$", p.encode()[:r[1]].decode(
         "utf-8", "replace")) is not None and _msg(k, "global flags not at the start")) or
     (_msg(r, "missing :") and _leading_flags_off(p) > r[1])),
    ("(?P at the end",
     "a pattern that ends in (?P is reported as an unknown extension (re: unexpected end)",
     lambda p, r, k: p.endswith("(?P") and _msg(r, "unexpected end of pattern")
     and _msg(k, "unknown extension ?P")),
    ("counted repeat after nothing",
     "a { that follows nothing to repeat is a literal here (as are { } ] generally); re "
     "refuses {m,n} there with \"nothing to repeat\" (or its range check)",
     lambda p, r, k: _msg(r, "nothing to repeat", "min repeat greater than max repeat")
     and _brace_after_nothing(p.encode(), r[1])),
    ("escapes in comments",
     "a comment (?#...) ends at the first ), a backslash before it included, and a verbose "
     "comment at the end of the line; re reads escapes inside both",
     lambda p, r, k: (_msg(r, "missing ), unterminated comment") and re.search(
         r"\(\?#[^)]*\\\)", p) is not None and (k is None or k[1] > r[1]))
     or (_msg(r, "bad escape (end of pattern)") and k is None
         and any("x" in g for g in _flag_groups(p)) and "#" in p)),
    ("quantified comment",
     "a comment group is an (empty) item, so a quantifier may follow it; re sees through the "
     "comment and finds nothing to repeat, or a second quantifier, there",
     lambda p, r, k: _msg(r, "nothing to repeat", "multiple repeat") and re.search(
         r"\(\?#[^)]*\)$", p.encode()[:r[1]].decode("utf-8", "replace")) is not None),
    ("surrogate escapes",
     "a pattern is UTF-8 text, which cannot hold surrogates, so \\ud800-style escapes are refused; "
     "re's text patterns may hold lone surrogates",
     lambda p, r, k: _msg(k, "invalid Unicode escape: surrogate",
                          "invalid braced hex escape: surrogate")),
]

# --------------------------------------------------------------------------------------------
# Intended differences in matching, for the random generator (which avoids the rest).
# --------------------------------------------------------------------------------------------

MATCH_DIFFERENCES = [
    ("empty loop passes",
     "when a loop's body can match the empty string, re ends the loop on an empty pass (and "
     "reports that pass's captures), while the thread lists drop a pass that meets a state they "
     "already hold at that offset: the captures then keep the last non-empty pass, and where "
     "another alternative of the body can still consume, the whole match may be longer.  For "
     "such patterns only whether a match exists is compared with re (it cannot differ); the "
     "matchers of kestrel are still compared with one another."),
    ("\\B on an empty subject",
     "re's \\B never matches an empty subject; here it holds wherever \\b does not, including "
     "the empty subject."),
    ("captures inside lookarounds",
     "groups inside a lookaround record nothing here (the lookaround runs as a separate "
     "sub-program); re records them.  The generator puts no capture inside lookarounds."),
    ("raw-byte escapes",
     "\\xHH and octal escapes of 0x80 and more outside brackets match one raw byte here and the "
     "character U+00HH in re.  The generator does not write them."),
    ("\\< and \\>",
     "word start and word end here, the characters < and > in re.  Not generated."),
    ("subjects that are not UTF-8",
     "re matches text, kestrel bytes: invalid UTF-8 and offsets inside a character have no "
     "counterpart in re.  They are covered by the matcher corpus instead."),
]


# --------------------------------------------------------------------------------------------
# The batch process.
# --------------------------------------------------------------------------------------------

class Batch:
    """Collects request lines, then runs them all through one kestrel-dev process."""

    def __init__(self, binary):
        self.binary = binary
        self.lines = []

    def add(self, line):
        self.lines.append(line)
        return len(self.lines) - 1

    def run(self):
        data = ("\n".join(self.lines) + "\n").encode()
        proc = subprocess.run([self.binary, "batch"], input=data, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, check=False)
        out = proc.stdout.decode("utf-8", "replace").split("\n")
        if out and out[-1] == "":
            out.pop()
        if proc.returncode != 0 or len(out) != len(self.lines):
            sys.stderr.write(proc.stderr.decode("utf-8", "replace")[-4000:])
            raise SystemExit(f"diff_re: kestrel-dev batch exited with {proc.returncode} after "
                             f"{len(out)} of {len(self.lines)} answers")
        return out


def compile_request(pattern_bytes):
    return "compile\t" + pattern_bytes.hex()


def match_request(matcher, pattern_bytes, subject_bytes, offset):
    return f"{matcher}\t{pattern_bytes.hex()}\t{subject_bytes.hex()}\t{offset}"


def parse_compile_answer(answer):
    if answer == "ok":
        return None
    parts = answer.split("\t", 2)
    if parts[0] != "error" or len(parts) != 3:
        raise SystemExit(f"diff_re: unexpected batch answer {answer!r}")
    return (parts[2], int(parts[1]))


def parse_match_answer(answer):
    """'-' for no match, a tuple of slots, or ('error', text)."""
    if answer == "nomatch" or answer.startswith("nomatch\t"):
        return "-"
    if answer.startswith("match\t"):
        return tuple(int(v) for v in answer.split("\t")[1].split(","))
    return ("error", answer)


# --------------------------------------------------------------------------------------------
# re's side.
# --------------------------------------------------------------------------------------------

def re_compile_outcome(pattern):
    """None when re compiles the text pattern, else (message, byte position)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            re.compile(pattern)
        return None
    except re.error as e:
        pos = e.pos if e.pos is not None else 0
        return (e.msg, len(pattern[:pos].encode()))
    except (OverflowError, RecursionError, ValueError) as e:
        return (str(e), 0)


def byte_offsets(text):
    out = [0]
    for ch in text:
        out.append(out[-1] + len(ch.encode()))
    return out


class ReTooSlow(Exception):
    pass


def _on_alarm(signum, frame):
    raise ReTooSlow()


def timed_match(compiled, subject, char_pos):
    """compiled.match(subject, char_pos) within RE_TIME_LIMIT seconds, else ReTooSlow."""
    if not hasattr(signal, "setitimer"):
        return compiled.match(subject, char_pos)
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    signal.setitimer(signal.ITIMER_REAL, RE_TIME_LIMIT)
    try:
        return compiled.match(subject, char_pos)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def re_match_slots(compiled, subject, char_pos, offsets):
    m = timed_match(compiled, subject, char_pos)
    if m is None:
        return "-"
    slots = []
    for g in range(compiled.groups + 1):
        a, b = m.span(g)
        slots += [offsets[a] if a >= 0 else -1, offsets[b] if b >= 0 else -1]
    return tuple(slots)


def show(b):
    if isinstance(b, str):
        b = b.encode()
    out = []
    for ch in b:
        if ch == 0x5C:
            out.append("\\\\")
        elif 0x20 <= ch < 0x7F:
            out.append(chr(ch))
        else:
            out.append(f"\\x{ch:02x}")
    return "".join(out)


def slots_text(s):
    return s if isinstance(s, str) else ",".join(map(str, s))


# --------------------------------------------------------------------------------------------
# Part 1: syntax.
# --------------------------------------------------------------------------------------------

ERROR_PRONE = [
    "", "a", "*", "a**", "a*?+", "a++", "a{2,1}", "a{1000}", "a{1001}", "a{,}", "a{}", "a{3",
    "a{x}", "^*", "$+", "\\b+", "(", ")", "a)", "(a", "((a)", "(?", "(?:", "(?i", "(?i)", "(?-)",
    "(?-i)", "(?i-", "(?i-m", "(?i-m)", "(?i-m:a)", "(?iz)", "(?z)", "(?P", "(?Px)", "(?P<",
    "(?P<a", "(?P<>a)", "(?P<a>a)(?P<a>b)", "(?P<1a>x)", "(?P<a b>x)", "(?P=a)", "(?P>a)",
    "(?#", "(?#x)", "(?(1)a)", "(?R)", "(?1)", "(?+1)", "(?&a)", "(?C)", "(?=a", "(?<=a",
    "(?<!a)", "(?<x", "(?=(?=a))", "x(?i)", "a|*", "a|)", "[", "[a", "[]", "[]a]", "[^]",
    "[a-]", "[-a]", "[z-a]", "[a-\\d]", "[\\d-z]", "[\\w-\\d]", "[\\", "\\", "a\\", "\\1",
    "\\12", "\\101", "\\400", "[\\400]", "\\0", "\\08", "[\\8]", "\\8", "\\x", "\\x4", "\\x4g",
    "\\u", "\\u12", "\\U0001", "\\ud800", "\\U00110000", "\\q", "\\y", "[\\q]", "\\_", "\\-",
    "\\ ", "(?x)a b", "(?x)[ ]", "(?a)\\w", "(?s).", "(?m)^$", "(?i)\u212a", "\u00e9+",
    "(?<=ab)c", "(?<=a|bc)d", "(?<=a*)b", "(?<=a{2})b", "(?<=a{0,2})b", "(?=a*)b", "a{3}{2}",
    "a*{2}", "(?:)", "()", "(|)", "a||b", "(?i:a)b", "(?x: a )", "(?u)a", "(?L)a", "(?U)a",
    "\\p{L}", "\\Qa\\E", "\\z", "\\Z", "\\A", "\\<", "\\N{U+41}", "\\N{DIGIT ONE}",
    "(?>a)", "(?>a|b)", "(?:a)++", "(a)*+", "a{2}+", "[\\d]", "[\\b]", "[\\A]", "[\\Z]",
    "(?P<\u00e9>x)", "(?P<a\u0300>x)", "(?P<\u0300>x)", "x{2,1001}", "x{1001,}", "[a-a]",
    "[\\x00-\\x7f]", "(?#)", "\\(", "\\[", "\\{", "a{,3}", "a{2,}?", "a{2}?",
]

SNIPPETS = ["a", "b", "ab", "(a)", "(?:a|b)", "[ab]", "[^a]", "\\d", "\\w", "\\s", ".", "a*",
            "a+?", "a{2,3}", "^", "$", "\\b", "(?=a)", "(?!b)", "(?<=a)", "(?P<n>a)", "a|b",
            "\u00e9", "[\u00e0-\u00ff]", "\\\\", "\\.", "\\n", "\\x41", "\\101", "(?i)",
            "(?m)", "(?s:a)"]

MUTATION_BYTES = "()[]{}*+?|^$.\\-,:=!<>#Pxuabdw0123 "


def mutated_patterns(rng, count):
    out = []
    for _ in range(count):
        p = "".join(rng.choice(SNIPPETS) for _ in range(rng.randint(1, 4)))
        for _ in range(rng.randint(1, 3)):
            c = rng.choice(MUTATION_BYTES)
            i = rng.randint(0, len(p))
            op = rng.randint(0, 2)
            if op == 0:
                p = p[:i] + c + p[i:]
            elif op == 1 and p:
                i = min(i, len(p) - 1)
                p = p[:i] + p[i + 1:]
            elif p:
                i = min(i, len(p) - 1)
                p = p[:i] + c + p[i + 1:]
        out.append(p)
    return out


def interpreter_patterns():
    """Patterns of the interpreter's own regex tests, when it ships them."""
    try:
        import test.re_tests as rt  # noqa: PLC0415
    except ImportError:
        return []
    out = []
    for t in rt.tests:
        if isinstance(t[0], str):
            out.append(t[0])
    return out


def syntax_difference(pattern, r, k):
    for name, _, test in SYNTAX_DIFFERENCES:
        try:
            if test(pattern, r, k):
                return name
        except Exception:  # a classifier must never hide a real disagreement by crashing
            continue
    return None


# --------------------------------------------------------------------------------------------
# Part 2: random matches in the shared syntax.
# --------------------------------------------------------------------------------------------

LITERALS = ["a", "b", "c", "a", "b", "\u00e9", "\u4e2d", "K", "_", "1", " ", "\\.", "-"]
CLASSES = ["[ab]", "[^a]", "[a-c]", "[^ab\u00e9]", "[\u00e9\u4e2d]", "[\u00e0-\u00ff]",
           "[^\\n]", "[\\d_]", "[\\w-]", "[^\\W\\d]", "\\w", "\\W", "\\d", "\\D", "\\s", "\\S",
           "[\\s\\S]", "."]
SUBJECT_CHARS = ["a", "a", "b", "b", "c", "A", "K", "\u212a", "\u00e9", "\u00c9", "\u4e2d",
                 "\U0001F600", "_", "1", "\u0663", " ", "\n", "-", "."]
MAX_SAMPLE = 10
ASSERTIONS = ["^", "$", "\\A", "\\Z", "\\b", "\\B", "\\b"]


def atom_sample(text, rng):
    """A character that the literal or class `text` likely matches (any character at times)."""
    if rng.random() < 0.04:
        return rng.choice(SUBJECT_CHARS)
    if text.startswith("\\") and len(text) == 2 and not text[1].isalpha():
        return text[1]
    if len(text) == 1 and text != ".":
        return text
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        compiled = re.compile(text)
    hits = [c for c in SUBJECT_CHARS if compiled.fullmatch(c)]
    return rng.choice(hits) if hits else rng.choice(SUBJECT_CHARS)


class Node:
    """A generated pattern piece: its text; whether it can match empty; whether it holds a
    capture; whether it is one character test (literal, class or .); whether a possessive
    quantifier may follow it here (one character test, or a capture group around one); whether
    it holds a loop whose body can match empty; whether \\B occurs in it; and a sampler that
    produces text the piece is likely to match."""

    __slots__ = ("text", "nullable", "sample", "captures", "single", "possessable",
                 "nullable_loop", "has_B")

    def __init__(self, text, nullable, sample, *, captures=False, single=False,
                 possessable=False, nullable_loop=False, has_B=False):
        self.text = text
        self.nullable = nullable
        self.sample = sample
        self.captures = captures
        self.single = single
        self.possessable = possessable
        self.nullable_loop = nullable_loop
        self.has_B = has_B


def _inherit(parts):
    """The flags a compound piece takes from its parts."""
    return dict(captures=any(p.captures for p in parts),
                nullable_loop=any(p.nullable_loop for p in parts),
                has_B=any(p.has_B for p in parts))


class PatternGenerator:
    """Random patterns in the syntax both engines share: literals, classes, ., alternation,
    greedy, lazy and counted repeats, possessive repeats of single characters, capturing,
    non-capturing and scoped-flag groups, anchors, word boundaries, lookaheads and fixed-width
    lookbehinds, under random global flags.  No capture is put inside a lookaround."""

    def __init__(self, rng):
        self.rng = rng

    def pattern(self):
        rng = self.rng
        flags = ""
        if rng.random() < 0.3:
            letters = sorted(set(rng.choice("imsa") for _ in range(rng.randint(1, 2))))
            flags = "(?" + "".join(letters) + ")"
        node = self.alternation(0, in_look=False)
        return flags + node.text, node

    def alternation(self, depth, in_look):
        rng = self.rng
        n = 1 if rng.random() < 0.7 else rng.randint(2, 3)
        branches = [self.sequence(depth, in_look) for _ in range(n)]
        if n == 1:
            return branches[0]
        return Node("|".join(b.text for b in branches), any(b.nullable for b in branches),
                    lambda r: r.choice(branches).sample(r), **_inherit(branches))

    def sequence(self, depth, in_look):
        rng = self.rng
        items = [self.item(depth, in_look) for _ in range(rng.randint(1, 4 if depth == 0 else 3))]
        if len(items) == 1:
            return items[0]
        return Node("".join(i.text for i in items), all(i.nullable for i in items),
                    lambda r: "".join(i.sample(r) for i in items), **_inherit(items))

    def char_test(self, choices):
        text = self.rng.choice(choices)
        return Node(text, False, lambda r: atom_sample(text, r), single=True, possessable=True)

    def item(self, depth, in_look):
        rng = self.rng
        r = rng.random()
        if r < 0.40:
            return self.quantified(self.char_test(LITERALS), in_look)
        if r < 0.62:
            return self.quantified(self.char_test(CLASSES), in_look)
        if r < 0.80 and depth < 3:
            inner = self.alternation(depth + 1, in_look)
            kind = rng.random()
            if kind < 0.5 and not in_look:
                node = Node("(" + inner.text + ")", inner.nullable, inner.sample,
                            possessable=inner.single, **dict(_inherit([inner]), captures=True))
            elif kind < 0.9:
                node = Node("(?:" + inner.text + ")", inner.nullable, inner.sample,
                            **_inherit([inner]))
            else:
                flag = rng.choice(["i", "s", "a", "-i", "m"])
                node = Node("(?" + flag + ":" + inner.text + ")", inner.nullable, inner.sample,
                            **_inherit([inner]))
            return self.quantified(node, in_look)
        if r < 0.90:
            a = rng.choice(ASSERTIONS)
            if a in ("^", "$"):
                sample = lambda r2: "\n" if r2.random() < 0.3 else ""  # noqa: E731
            else:
                sample = lambda r2: ""  # noqa: E731
            return Node(a, True, sample, has_B=(a == "\\B"))
        if not in_look and depth < 3:
            return self.lookaround(depth)
        return self.char_test(LITERALS)

    def lookaround(self, depth):
        rng = self.rng
        if rng.random() < 0.5:
            body = self.alternation(depth + 1, in_look=True)
            op = rng.choice(["?=", "?!"])
        else:
            # re wants a fixed width behind: one to three character tests.
            parts = []
            for _ in range(rng.randint(1, 3)):
                parts.append(rng.choice(LITERALS + CLASSES))
                if rng.random() < 0.15:
                    parts[-1] += "{2}"
            if rng.random() < 0.15:
                parts.insert(0, rng.choice(["\\b", "^", "\\B"]))
            body = Node("".join(parts), False, lambda r: "", has_B="\\B" in parts)
            op = rng.choice(["?<=", "?<!"])
        return Node("(" + op + body.text + ")", True, lambda r: "",
                    nullable_loop=body.nullable_loop, has_B=body.has_B)

    def quantified(self, node, in_look):
        rng = self.rng
        if rng.random() < 0.45:
            return node
        q, lo, hi = rng.choice([("*", 0, None), ("+", 1, None), ("?", 0, 1), ("{2}", 2, 2),
                                ("{0,2}", 0, 2), ("{1,3}", 1, 3), ("{2,}", 2, None),
                                ("{,2}", 0, 2)])
        suffix = ""
        s = rng.random()
        if s < 0.3:
            suffix = "?"
        elif s < 0.42 and node.possessable and not in_look:
            suffix = "+"  # possessive: over one character test, or a capture group around one
        loops = hi is None or hi > 1
        top = hi if hi is not None else lo + 3

        def sample(r):
            return "".join(node.sample(r) for _ in range(r.randint(lo, top)))

        return Node(node.text + q + suffix, node.nullable or lo == 0, sample,
                    captures=node.captures, has_B=node.has_B,
                    nullable_loop=node.nullable_loop or (loops and node.nullable))


def random_subject(rng, node=None):
    """A subject and the character offsets worth matching at.  Most subjects are built from
    the pattern's own sampler (so that matches, captures and near misses are common), some
    with random text around or a character changed; the rest are random."""
    r = rng.random()
    if node is None or r < 0.2:
        s = "".join(rng.choice(SUBJECT_CHARS) for _ in range(rng.randint(0, 7)))
        return s, sorted({0, len(s), rng.randint(0, len(s))})
    prefix = "".join(rng.choice(SUBJECT_CHARS) for _ in range(rng.randint(0, 2))) if r < 0.5 else ""
    body = node.sample(rng)
    if r > 0.85 and body:
        i = rng.randrange(len(body))
        body = body[:i] + rng.choice(SUBJECT_CHARS) + body[i + 1:]
    suffix = "".join(rng.choice(SUBJECT_CHARS) for _ in range(rng.randint(0, 2)))
    # Short subjects keep re's backtracking (exponential on nested loops) quick.
    s = (prefix + body[:MAX_SAMPLE] + suffix)
    return s, sorted({len(prefix), 0, rng.randint(0, len(s))})


# --------------------------------------------------------------------------------------------
# Part 3: the matcher corpus against re.
# --------------------------------------------------------------------------------------------

def unescape_field(field, lineno):
    out = bytearray()
    i = 0
    while i < len(field):
        c = field[i]
        if c != "\\":
            out += c.encode()
            i += 1
            continue
        n = field[i + 1:i + 2]
        if n in ("\\", "t", "n", "r"):
            out.append({"\\": 92, "t": 9, "n": 10, "r": 13}[n])
            i += 2
        elif n == "x" and re.fullmatch("[0-9a-fA-F]{2}", field[i + 2:i + 4]):
            out.append(int(field[i + 2:i + 4], 16))
            i += 4
        else:
            raise SystemExit(f"diff_re: match_corpus.txt:{lineno}: bad escape")
    return bytes(out)


def corpus_cases():
    """(line, pattern bytes, subject bytes, offset, expected, marked) per case."""
    marked = False
    with open(CORPUS, encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line:
                marked = False
                continue
            if line.startswith("#@ differs from re"):
                marked = True
                continue
            if line.startswith("#"):
                continue
            fields = line.split("\t")
            yield (lineno, unescape_field(fields[0], lineno), unescape_field(fields[1], lineno),
                   int(fields[2]), fields[3], marked)


# --------------------------------------------------------------------------------------------

class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.known = {}
        self.skipped = {}
        self.failures = []
        self.examples = {}

    def ok(self):
        self.passed += 1

    def difference(self, name, example=None):
        self.known[name] = self.known.get(name, 0) + 1
        if example is not None:
            self.examples.setdefault(name, [])
            if len(self.examples[name]) < 3:
                self.examples[name].append(example)

    def skip(self, why):
        self.skipped[why] = self.skipped.get(why, 0) + 1

    def fail(self, text):
        self.failed += 1
        if len(self.failures) < 400:
            self.failures.append(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("kestrel_dev")
    ap.add_argument("--seed", type=int, default=int(os.environ.get("DIFF_RE_SEED", DEFAULT_SEED)))
    ap.add_argument("--cases", type=int, default=DEFAULT_MATCH_CASES)
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()
    started = time.monotonic()
    rng = random.Random(args.seed)
    batch = Batch(args.kestrel_dev)
    tally = {"syntax": Tally(), "match": Tally(), "corpus": Tally()}

    # Part 1: syntax.  Requests first, answers after the one batch run.
    syntax = list(dict.fromkeys(interpreter_patterns() + ERROR_PRONE + mutated_patterns(rng, 3000)))
    syntax_requests = []
    for p in syntax:
        if "\n" in p or "\r" in p:  # a message quoting the pattern would break the answer lines
            tally["syntax"].skip("line break in the pattern")
            continue
        try:
            pb = p.encode()
        except UnicodeEncodeError:  # lone surrogates in the interpreter's data
            tally["syntax"].skip("not encodable as UTF-8")
            continue
        syntax_requests.append((p, batch.add(compile_request(pb))))

    # Part 2: random matches.  Each pattern gets several subjects, each subject several offsets.
    gen = PatternGenerator(rng)
    match_requests = []
    made = 0
    while made < args.cases:
        text, node = gen.pattern()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                compiled = re.compile(text)
        except (re.error, OverflowError, RecursionError):
            tally["match"].skip("pattern refused by re")
            continue
        pb = text.encode()
        twin = re.sub(r"\((?!\?)", "(?:", text).encode() if compiled.groups else None
        cases = []
        for _ in range(5):
            subject, positions = random_subject(rng, node)
            for cpos in positions:
                cases.append((subject, cpos))
        # kestrel-dev compiles a pattern once for a run of lines that name it, so each
        # pattern's lines come together, then its twin's.
        first = len(match_requests)
        for subject, cpos in cases:
            offsets = byte_offsets(subject)
            # The chain is the main subject; every fourth case also runs the thread lists, the
            # streaming match and the one-pass table (where the pattern gets a usable one),
            # which must agree as well.
            matchers = ["auto"] + (["pike", "streaming", "onepass"] if made % 4 == 0 else [])
            ids = [batch.add(match_request(m, pb, subject.encode(), offsets[cpos]))
                   for m in matchers]
            match_requests.append([text, node, compiled, subject, cpos, offsets, matchers, ids,
                                   None])
            made += 1
        if twin is not None:
            for req in match_requests[first:]:
                req[8] = batch.add(match_request("auto", twin, req[3].encode(), req[5][req[4]]))

    # Part 3: corpus expectations against re.
    corpus = list(corpus_cases())

    answers = batch.run()
    batch_seconds = time.monotonic() - started

    t = tally["syntax"]
    for p, idx in syntax_requests:
        k = parse_compile_answer(answers[idx])
        r = re_compile_outcome(p)
        if (r is None) == (k is None) and (r is None or r == k):
            t.ok()
            continue
        text = (f"syntax /{show(p)}/: re {'accepts' if r is None else 'refuses: %s at %d' % r}; "
                f"kestrel {'accepts' if k is None else 'refuses: %s at %d' % k}")
        name = syntax_difference(p, r, k)
        if name is not None:
            t.difference(name, text)
            continue
        t.fail(text)

    t = tally["match"]
    too_slow = set()
    for text, node, compiled, subject, cpos, offsets, matchers, ids, twin_id in match_requests:
        if text in too_slow:
            t.skip("re too slow")
            continue
        try:
            expected = re_match_slots(compiled, subject, cpos, offsets)
        except ReTooSlow:
            too_slow.add(text)
            t.skip("re too slow")
            continue
        # "na": the matcher cannot take this pattern (no usable one-pass table).
        taken = [(m, answers[i]) for m, i in zip(matchers, ids) if answers[i] != "na"]
        matchers = [m for m, _ in taken]
        results = [parse_match_answer(a) for _, a in taken]
        where = f"/{show(text)}/ on \"{show(subject)}\" at {offsets[cpos]}"
        if any(isinstance(res, tuple) and res and res[0] == "error" for res in results):
            bad = next(res for res in results if isinstance(res, tuple) and res[0] == "error")
            t.fail(f"match {where}: kestrel could not run it: {bad[1]}")
            continue
        # The matchers of kestrel agree with one another whatever re says.
        if any(res != results[0] for res in results[1:]):
            t.fail(f"match {where}: the matchers disagree: " +
                   ", ".join(f"{m} {slots_text(res)}" for m, res in zip(matchers, results)))
            continue
        got = results[0]
        # A capture group must not change the whole match: the same pattern with every group
        # made non-capturing gives the same group 0 (where kestrel takes that form at all).
        if twin_id is not None:
            twin = parse_match_answer(answers[twin_id])
            if not (isinstance(twin, tuple) and twin and twin[0] == "error") and \
                    twin[:2] != (got if got == "-" else got[:2]):
                t.fail(f"match {where}: a group changes the whole match: {slots_text(got)}, "
                       f"without groups {slots_text(twin)}")
                continue
        if got == expected:
            t.ok()
        elif node.has_B and subject == "":
            t.difference("\\B on an empty subject")
        elif node.nullable_loop and (got == "-") == (expected == "-"):
            t.difference("empty loop passes")
        else:
            t.fail(f"match {where}: kestrel {slots_text(got)}, re {slots_text(expected)}")

    t = tally["corpus"]
    for lineno, pb, sb, offset, expected, marked in corpus:
        if marked:
            t.difference("marked in the corpus")
            continue
        try:
            p, s = pb.decode(), sb.decode()
        except UnicodeDecodeError:
            t.skip("not UTF-8")
            continue
        if offset > len(sb):
            t.skip("offset past the end")
            continue
        try:
            cpos = len(sb[:offset].decode())
        except UnicodeDecodeError:
            t.skip("offset inside a character")
            continue
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                compiled = re.compile(p)
        except (re.error, OverflowError):
            t.skip("syntax of this engine only")
            continue
        got = slots_text(re_match_slots(compiled, s, cpos, byte_offsets(s)))
        if got == expected:
            t.ok()
        else:
            t.fail(f"corpus line {lineno}: /{show(pb)}/ on \"{show(sb)}\" at {offset}: "
                   f"corpus {expected}, re {got}")

    elapsed = time.monotonic() - started
    passed = sum(x.passed for x in tally.values())
    failed = sum(x.failed for x in tally.values())
    for part, x in tally.items():
        known = ", ".join(f"{k} {v}" for k, v in sorted(x.known.items())) or "none"
        skipped = ", ".join(f"{k} {v}" for k, v in sorted(x.skipped.items())) or "none"
        print(f"diff_re: {part}: {x.passed} agree, {x.failed} disagree; "
              f"intended differences: {known}; not comparable: {skipped}")
        for line in x.failures[: (400 if args.verbose else 8)]:
            print("  " + line)
        if args.verbose:
            for name, examples in sorted(x.examples.items()):
                for line in examples:
                    print(f"  ({name}) {line}")
    print(f"diff_re: seed {args.seed}, {len(batch.lines)} batch lines in {batch_seconds:.1f}s, "
          f"{elapsed:.1f}s in all")
    print(f"diff_re: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
