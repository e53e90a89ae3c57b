"""Benchmark and agreement report for the bundled grammars.

    python bench/bench_grammars.py [--runs N] [--limit FILES]

1. Agreement: every .py file of the installed standard library (site-packages excluded) is lexed
   with the python grammar and passed through layout(tabs='python'); the NEWLINE/INDENT/DEDENT
   sequence and the significant tokens (class, text, line, column) are compared with CPython's
   own tokenize module. Files that tokenize itself cannot handle (an exception or an
   ERRORTOKEN) are left out and listed. Differing files are listed with the kind of difference.
2. Grammar load time: parse_grammar and compile for each bundled grammar, median of N runs.
3. Throughput on the same stdlib text: tokenize, layout, and the whole pipeline, against
   CPython's tokenize, median of N runs, in MB/s of UTF-8 text.

Prints a report; writes nothing.
"""

import argparse
import collections
import io
import json
import os
import random
import statistics
import sys
import sysconfig
import time
import tokenize as py_tokenize

import tessel

NEWLINE, INDENT, DEDENT, END = -2147483647, -2147483646, -2147483645, -2147483648
LAYOUT = {NEWLINE: ("NEWLINE",), INDENT: ("INDENT",), DEDENT: ("DEDENT",), END: ("END",)}
CLASS = {"name": "NAME", "number": "NUMBER", "string": "STRING"}
INSIGNIFICANT = ("bracket", "continued")


def as_tuples(tokens):
    return [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in tokens]


def ours(handle, names, text):
    tokens = tessel.tokenize(handle, text, True)
    out = tessel.layout(as_tuples(tokens), INSIGNIFICANT, text, "python")
    return [LAYOUT.get(t.kind) or (CLASS.get(names[t.kind], "OP"), t.lexeme, t.line, t.column - 1)
            for t in out]


class Untokenizable(Exception):
    pass


def cpython(text):
    out = []
    try:
        for t in py_tokenize.generate_tokens(io.StringIO(text).readline):
            kind = py_tokenize.tok_name[t.type]
            if kind == "ERRORTOKEN":
                raise Untokenizable("ERRORTOKEN %r at %d:%d" % ((t.string,) + t.start))
            if kind in ("NEWLINE", "INDENT", "DEDENT"):
                out.append((kind,))
            elif kind == "ENDMARKER":
                out.append(("END",))
            elif kind not in ("NL", "COMMENT"):
                out.append((kind, t.string, t.start[0], t.start[1]))
    except (SyntaxError, py_tokenize.TokenError) as e:
        raise Untokenizable("%s: %s" % (type(e).__name__, e)) from None
    return out


def stdlib_files():
    root = sysconfig.get_paths()["stdlib"]
    files = sorted(os.path.join(d, f) for d, _, fs in os.walk(root) if "site-packages" not in d
                   for f in fs if f.endswith(".py"))
    return root, files


def read_source(path):
    with open(path, "rb") as f:
        raw = f.read()
    try:
        encoding, _ = py_tokenize.detect_encoding(io.BytesIO(raw).readline)
        return raw.decode(encoding)
    except (SyntaxError, UnicodeDecodeError, LookupError) as e:
        raise Untokenizable("undecodable: %s" % e) from None


def classify(got, expected):
    """Name the first difference between two token lists."""
    i = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), None)
    if i is None:
        return "one stream is a prefix of the other (%d vs %d tokens)" % (len(got), len(expected))
    a, b = got[i], expected[i]
    where = "token %d: ours %r, CPython %r" % (i, a, b)
    if len(a) == 1 or len(b) == 1:
        return "logical-line structure (NEWLINE/INDENT/DEDENT) differs; " + where
    if a[1] != b[1]:
        return "token boundary differs; " + where
    if a[0] != b[0]:
        return "token class differs; " + where
    return "token position differs; " + where


def outcome(handle, names, text):
    """What python.lex + layout make of a text that CPython's tokenize refuses."""
    if text is None:
        return "not lexed (the text does not decode)"
    try:
        return "%d tokens" % len(ours(handle, names, text))
    except tessel.error as e:
        return "%s: %s at %d:%d" % (type(e).__name__, e, e.line, e.column)


def agreement(root, files, handle, names):
    same, differing, skipped = 0, [], []
    texts = []
    for path in files:
        rel = os.path.relpath(path, root)
        text = None
        try:
            text = read_source(path)
            expected = cpython(text)
        except Untokenizable as e:
            skipped.append((rel, "%s; tessel: %s" % (e, outcome(handle, names, text))))
            continue
        texts.append(text)
        try:
            got = ours(handle, names, text)
        except tessel.LexError as e:
            differing.append((rel, "lex error", "%s at %d:%d" % (e, e.line, e.column)))
            continue
        except tessel.LayoutError as e:
            differing.append((rel, "layout error", "%s at %d:%d" % (e, e.line, e.column)))
            continue
        if got == expected:
            same += 1
        else:
            reason = classify(got, expected)
            differing.append((rel, reason.split(";")[0], reason))
    return same, differing, skipped, texts


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def grammar_load_times(runs):
    rows = []
    for name in ("json", "python"):
        text = tessel.grammar_text(name)
        rules, _ = tessel.parse_grammar(text, name + ".lex")
        parse = median_time(lambda: tessel.parse_grammar(text, name + ".lex"), runs)
        comp = median_time(lambda: tessel.compile(rules), runs)
        comp_cp = median_time(lambda: tessel.compile(rules, (), None, "codepoints"), runs)
        rows.append((name, len(rules), parse, comp, comp_cp))
    return rows


def throughput(texts, handle, runs):
    mb = sum(len(t.encode()) for t in texts) / 1e6
    token_lists = [tessel.tokenize(handle, t, True) for t in texts]
    tuples = [as_tuples(ts) for ts in token_lists]
    ntokens = sum(len(ts) for ts in token_lists)
    del token_lists

    def run_tokenize():
        for t in texts:
            tessel.tokenize(handle, t, True)

    def run_layout():
        for t, tup in zip(texts, tuples):
            tessel.layout(tup, INSIGNIFICANT, t, "python")

    def run_pipeline():
        for t in texts:
            tessel.layout(as_tuples(tessel.tokenize(handle, t, True)), INSIGNIFICANT, t, "python")

    def run_cpython():
        for t in texts:
            for _ in py_tokenize.generate_tokens(io.StringIO(t).readline):
                pass

    secs = {name: median_time(fn, runs) for name, fn in (
        ("tessel tokenize", run_tokenize), ("tessel layout", run_layout),
        ("tessel tokenize + tuples + layout", run_pipeline), ("CPython tokenize", run_cpython))}
    return mb, ntokens, secs


def json_throughput(runs):
    rng = random.Random(1)

    def value(depth):
        r = rng.random()
        if depth < 4 and r < 0.3:
            return {"k%d \u00e9" % i: value(depth + 1) for i in range(rng.randint(0, 6))}
        if depth < 4 and r < 0.5:
            return [value(depth + 1) for _ in range(rng.randint(0, 6))]
        return rng.choice([rng.randint(-10 ** 9, 10 ** 9), rng.uniform(-1e6, 1e6), "text \u65e5\u672c",
                           True, None])

    doc = json.dumps([value(0) for _ in range(20000)], indent=1)
    rules, _ = tessel.load_grammar("json")
    handle = tessel.compile(rules)
    mb = len(doc.encode()) / 1e6
    tok = median_time(lambda: tessel.tokenize(handle, doc), runs)
    loads = median_time(lambda: json.loads(doc), runs)
    return mb, tok, loads


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=3, help="runs per timing (median); default 3")
    ap.add_argument("--load-runs", type=int, default=51, help="runs per grammar load timing")
    ap.add_argument("--limit", type=int, default=0, help="only the first N stdlib files")
    args = ap.parse_args()

    rules, names = tessel.load_grammar("python")
    handle = tessel.compile(rules, (), None, "codepoints")
    root, files = stdlib_files()
    if args.limit:
        files = files[:args.limit]

    print("tessel bundled grammars: python %d.%d.%d, stdlib %s" % (sys.version_info[:3] + (root,)))
    print()
    print("1. Agreement with CPython's tokenize (python.lex + layout(tabs='python'))")
    t0 = time.perf_counter()
    same, differing, skipped, texts = agreement(root, files, handle, names)
    compared = same + len(differing)
    print("   .py files found: %d; left out (CPython's tokenize fails on them): %d" % (len(files), len(skipped)))
    print("   files compared: %d; identical: %d; agreement: %.3f%%  (%.1f s)" % (
        compared, same, 100.0 * same / max(compared, 1), time.perf_counter() - t0))
    if differing:
        print("   differing files by reason:")
        for reason, count in collections.Counter(r for _, r, _ in differing).most_common():
            print("     %4d  %s" % (count, reason))
        for rel, _, detail in differing:
            print("     - %s: %s" % (rel, detail))
    if skipped:
        print("   left out:")
        for rel, why in skipped:
            print("     - %s: %s" % (rel, why))
    print()

    print("2. parse_grammar + compile, median of %d runs (microseconds)" % args.load_runs)
    print("   %-8s %6s %14s %14s %20s %14s" % ("grammar", "rules", "parse_grammar", "compile",
                                               "compile(codepoints)", "parse+compile"))
    for name, count, parse, comp, comp_cp in grammar_load_times(args.load_runs):
        print("   %-8s %6d %14.1f %14.1f %20.1f %14.1f" % (
            name, count, parse * 1e6, comp * 1e6, comp_cp * 1e6, (parse + comp) * 1e6))
    print()

    print("3. Throughput on the compared stdlib text, median of %d runs" % args.runs)
    mb, ntokens, secs = throughput(texts, handle, args.runs)
    base = secs["CPython tokenize"]
    print("   %.2f MB of UTF-8 in %d files, %d tessel tokens" % (mb, len(texts), ntokens))
    print("   %-36s %9s %9s %22s" % ("", "seconds", "MB/s", "speed vs CPython's"))
    for name, s in secs.items():
        print("   %-36s %9.3f %9.2f %21.2fx" % (name, s, mb / s, base / s))
    jmb, jtok, jloads = json_throughput(args.runs)
    print("   json.lex tokenize on a %.2f MB document: %.2f MB/s (json.loads, which also builds the"
          " values: %.2f MB/s)" % (jmb, jmb / jtok, jmb / jloads))


if __name__ == "__main__":
    main()
