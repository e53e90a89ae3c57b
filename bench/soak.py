#!/usr/bin/env python3
"""Soak: a million calls of each function family, watching memory and reference counts.

usage: soak.py [--calls N] [--family NAME ...]

Each family repeats one kind of call N times (10**6 by default) on the same shared objects:

  compile        compile() of a small rule list
  tokenize       tokenize() of a short text
  scan           scan_start() and scan_next() until it returns None
  stream         stream_start(), stream_feed() of two chunks, stream_finish()
  parse_grammar  parse_grammar() of a small .lex text
  layout         layout() of a short token list
  errors         calls that raise, in turn: a bad pattern, an unlexable text (LexError), a
                 bad grammar (GrammarError), a feed after finish, a layout error, a bad
                 argument type

For each family it prints the resident memory before and after (after a warm-up of 1% of the
calls, so that allocator pools are filled first), the growth, the time, and the reference
counts of the shared objects (the handle, the text, the rule list, the grammar text, the
token list given to layout, the exception classes) before and after.  A leak shows as RSS
growing with N, or a reference count that climbs.  Not part of CI: it takes minutes.
"""

import argparse
import sys
import time

import _tessel
import tessel

RULES = [
    (1, r"[A-Za-z_]\w*", False),
    (2, r"\d+", False),
    (3, r"\s+", True),
    (4, r'"', False, [], ("push", "str")),
    (5, r'[^"]+', False, ["str"]),
    (6, r'"', False, ["str"], ("pop",)),
    (7, r"[()=+]", False),
]
TEXT = 'x = f("caf\u00e9" + 12)\n  y = (a + b)\n'
GRAMMAR = 'name\t[a-z]+\nnum\t[0-9]+\nsp\t[ ]+\tskip\nopen\t"\tpush=str\nbody\t[^"]+\tin=str\nclose\t"\tin=str pop\n'
LAYOUT_TOKENS = [(1, "if", 0, 1, 1), (1, "x", 3, 1, 4), (1, "y", 6, 2, 5), (1, "z", 8, 3, 1)]
BAD_LAYOUT = [(1, "a", 0, 1, 1), (1, "b", 2, 2, 5), (1, "c", 4, 3, 3)]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def families(handle):
    eof_handle = handle

    def compile_():
        _tessel.compile(RULES)

    def tokenize_():
        _tessel.tokenize(handle, TEXT, True)

    def scan():
        cursor = _tessel.scan_start(handle, TEXT, True)
        while _tessel.scan_next(cursor) is not None:
            pass

    def stream():
        s = _tessel.stream_start(handle)
        _tessel.stream_feed(s, TEXT[:9])
        _tessel.stream_feed(s, TEXT[9:])
        _tessel.stream_finish(s)

    def parse_grammar():
        _tessel.parse_grammar(GRAMMAR, "soak.lex")

    def layout():
        _tessel.layout(LAYOUT_TOKENS)

    finished = _tessel.stream_start(eof_handle)
    _tessel.stream_finish(finished)
    raising = [
        (lambda: _tessel.compile([(1, "a(", False)]), _tessel.error),
        (lambda: _tessel.tokenize(handle, "x @ y"), tessel.LexError),
        (lambda: _tessel.parse_grammar("name\ta(\n"), tessel.GrammarError),
        (lambda: _tessel.stream_feed(finished, "x"), _tessel.error),
        (lambda: _tessel.layout(BAD_LAYOUT), tessel.LayoutError),
        (lambda: _tessel.tokenize(handle, 42), TypeError),
    ]
    turn = [0]

    def errors():
        call, expected = raising[turn[0] % len(raising)]
        turn[0] += 1
        try:
            call()
        except expected:
            return
        raise AssertionError("no %s raised" % expected.__name__)

    return {
        "compile": compile_,
        "tokenize": tokenize_,
        "scan": scan,
        "stream": stream,
        "parse_grammar": parse_grammar,
        "layout": layout,
        "errors": errors,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=10**6)
    ap.add_argument("--family", action="append", help="run only these families")
    args = ap.parse_args()

    handle = _tessel.compile(RULES)
    shared = {
        "handle": handle,
        "text": TEXT,
        "rules": RULES,
        "grammar": GRAMMAR,
        "layout tokens": LAYOUT_TOKENS,
        "LexError": tessel.LexError,
        "GrammarError": tessel.GrammarError,
        "error": _tessel.error,
    }
    table = families(handle)
    chosen = args.family or list(table)
    print("soak: %d calls per family, python %s" % (args.calls, sys.version.split()[0]))
    print("%-14s %9s %9s %9s %8s  %s" % ("family", "RSS0 MB", "RSS1 MB", "growth", "s", "refcounts start -> end"))
    for name in chosen:
        call = table[name]
        for _ in range(max(1, args.calls // 100)):
            call()
        counts0 = {k: sys.getrefcount(v) for k, v in shared.items()}
        rss0 = resident_bytes()
        t = time.perf_counter()
        for _ in range(args.calls):
            call()
        seconds = time.perf_counter() - t
        rss1 = resident_bytes()
        counts1 = {k: sys.getrefcount(v) for k, v in shared.items()}
        moved = ["%s %d->%d" % (k, counts0[k], counts1[k]) for k in shared if counts0[k] != counts1[k]]
        print("%-14s %9.1f %9.1f %+9.2f %8.1f  %s" % (
            name, rss0 / 2**20, rss1 / 2**20, (rss1 - rss0) / 2**20, seconds,
            ", ".join(moved) if moved else "all unchanged (%s)" % ", ".join(
                "%s %d" % (k, counts1[k]) for k in shared)))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
