#!/usr/bin/env python3
"""What the Pythonic layer costs: Lexer methods against the bare extension functions.

usage: bench_api.py [--runs N] [--limit-mb M]

The corpus is the .py files of the running interpreter's standard library (those that decode
as UTF-8), lexed file by file with the bundled Python grammar, codepoint columns. Each run
times the whole corpus once per variant, the variants interleaved and their order alternated
between runs, so that drifts of the machine fall on all of them alike. The report gives each
variant's median over the runs and its overhead against its bare counterpart:

  tokenize   lexer.tokenize(text)            vs  _tessel.tokenize(handle, text)
  iterate    list(lexer.iter_tokens(text))   vs  a scan_start/scan_next loop
  layout     lexer.layout(tokens, source=)   vs  _tessel.layout(tuples, modes, source, tabs)

and, since the layer's cost is a constant per call, that constant itself: tokenize of an empty
text through each, set against the mean time a file of the corpus takes.
"""

import argparse
import os
import statistics
import sysconfig
import time

import _tessel
import tessel


def corpus(limit):
    root = sysconfig.get_paths()["stdlib"]
    texts, size = [], 0
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "test", "tests"))
        for name in sorted(files):
            if name.endswith(".py"):
                try:
                    with open(os.path.join(folder, name), encoding="utf-8") as f:
                        text = f.read()
                    _tessel.tokenize(HANDLE, text)
                except (UnicodeDecodeError, tessel.LexError):
                    continue
                texts.append(text)
                size += len(text.encode("utf-8"))
                if size >= limit:
                    return texts, size
    return texts, size


LEXER = tessel.Lexer.bundled("python", columns="codepoints")
HANDLE = LEXER.handle


def bare_tokenize(texts):
    tok = _tessel.tokenize
    for t in texts:
        tok(HANDLE, t)


def api_tokenize(texts):
    tok = LEXER.tokenize
    for t in texts:
        tok(t)


def bare_iterate(texts):
    start, step = _tessel.scan_start, _tessel.scan_next
    for t in texts:
        cursor = start(HANDLE, t)
        out = []
        tok = step(cursor)
        while tok is not None:
            out.append(tok)
            tok = step(cursor)


def api_iterate(texts):
    it = LEXER.iter_tokens
    for t in texts:
        list(it(t))


def prepared(texts):
    return [(t, _tessel.tokenize(HANDLE, t, True)) for t in texts]


def bare_layout(pairs):
    lay = _tessel.layout
    for text, tokens in pairs:
        lay([(k.kind, k.lexeme, k.offset, k.line, k.column, k.mode) for k in tokens],
            ("bracket", "continued"), text, "python")


def api_layout(pairs):
    lay = LEXER.layout
    for text, tokens in pairs:
        lay(tokens, source=text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--limit-mb", type=float, default=8.0)
    args = ap.parse_args()
    texts, size = corpus(int(args.limit_mb * 1e6))
    pairs = prepared(texts)
    variants = [("tokenize", bare_tokenize, api_tokenize, texts),
                ("iterate", bare_iterate, api_iterate, texts),
                ("layout", bare_layout, api_layout, pairs)]
    times = {(name, side): [] for name, *_ in variants for side in ("bare", "api")}
    for run in range(args.runs):
        for name, bare, api, data in variants:
            order = [("bare", bare), ("api", api)]
            if run % 2:
                order.reverse()
            for side, fn in order:
                t0 = time.perf_counter()
                fn(data)
                times[(name, side)].append(time.perf_counter() - t0)
    # The layer's cost is a constant per call: measure it on an empty text, where nothing
    # else is timed, and set it against the mean time a file takes.
    import timeit
    per_call = {}
    for side, stmt in (("bare", "tok(HANDLE, '')"), ("api", "lex('')")):
        per_call[side] = statistics.median(timeit.repeat(
            stmt, globals={"tok": _tessel.tokenize, "lex": LEXER.tokenize, "HANDLE": HANDLE},
            number=100000, repeat=args.runs)) / 100000
    print("corpus: %d files, %.1f MB; %d interleaved runs, medians; kestrel %s"
          % (len(texts), size / 1e6, args.runs, tessel.kestrel_version()))
    print("%-9s %10s %10s %9s" % ("", "bare s", "Lexer s", "overhead"))
    for name, *_ in variants:
        b = statistics.median(times[(name, "bare")])
        a = statistics.median(times[(name, "api")])
        print("%-9s %10.3f %10.3f %+8.1f%%" % (name, b, a, 100 * (a - b) / b))
    extra = per_call["api"] - per_call["bare"]
    mean_file = statistics.median(times[("tokenize", "bare")]) / len(texts)
    print("per call on an empty text: bare %.0f ns, Lexer.tokenize %.0f ns: %+.0f ns a call, "
          "%.3f%% of the mean file's %.2f ms" % (per_call["bare"] * 1e9, per_call["api"] * 1e9,
                                              extra * 1e9, 100 * extra / mean_file,
                                              mean_file * 1e3))


if __name__ == "__main__":
    main()
