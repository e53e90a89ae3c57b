#!/usr/bin/env python3
"""Tokenize throughput of tessel on the Python standard library, next to two peers.

usage: bench_tokenize.py [--runs N] [--tokenize-runs N] [--threads N] [--thread-runs N]
                        [--rules grammar|own] [--limit-mb M] [--json-mb M]

The corpus is every .py file of the running interpreter's standard library (site-packages
left out), read as bytes and decoded as UTF-8; the few files that do not decode are skipped.
Three lexers tokenize it file by file, each producing (kind, lexeme, offset, line, column):

  tessel    tokenize() with the bundled Python grammar (tessel.load_grammar("python")) when the
            package has it, else (or with --rules own) the rule list below; codepoint columns.
  re        a master-pattern scanner: one alternation of named groups for the same token set,
            a compile(...).match loop that tracks line and column, building one tuple per token.
  tokenize  CPython's own tokenize module (generate_tokens over the decoded text).

  tessel/rule  the same tessel lexer compiled with dfa='requested' and no dfa_modes: no mode
            runs on a DFA, every rule on its own matcher (the lexer before the DFA fast path).

Only the files that CPython's tokenize accepts are timed, so all three read the same text.
Each figure is the median of several runs; tessel, tessel/rule and re run in turn within
each round, so a change in the machine's load touches all of them alike.

A second section lexes one large generated JSON text (--json-mb, 0 to skip) with the bundled
json grammar, with and without its DFA, against a master-pattern re scanner built from the
same rules. The report gives MB/s (of UTF-8 source), tokens/s
and tessel's ratio to each peer, then a threads figure: N threads sharing the corpus with one
handle against the same files done by one thread, next to a hashing control that shows what
speed-up the machine allows at the moment. Nothing is written.
"""

import argparse
import hashlib
import io
import os
import platform
import re
import statistics
import sys
import sysconfig
import threading
import time
import tokenize as pytokenize

import _tessel
import tessel

# The token set: (name, pattern, skip). Patterns are in the syntax both engines share, except
# the identifier rule, whose Unicode classes re spells differently (see RE_NAME).
NUMBER = (
    r"(?:[0-9](?:_?[0-9])*\.(?:[0-9](?:_?[0-9])*)?|\.[0-9](?:_?[0-9])*)(?:[eE][-+]?[0-9](?:_?[0-9])*)?[jJ]?"
    r"|[0-9](?:_?[0-9])*(?:[eE][-+]?[0-9](?:_?[0-9])*)?[jJ]"
    r"|[0-9](?:_?[0-9])*[eE][-+]?[0-9](?:_?[0-9])*"
    r"|0[xX](?:_?[0-9a-fA-F])+|0[bB](?:_?[01])+|0[oO](?:_?[0-7])+|0(?:_?0)*|[1-9](?:_?[0-9])*"
)
BODY = r"(?:[^{q}\\]|\\(?:\r\n|[\s\S]))"
STRING = (
    r"(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?(?:"
    + "'''(?:{b}|'{{1,2}}{b})*'''".format(b=BODY.format(q="'"))
    + '|"""(?:{b}|"{{1,2}}{b})*"""'.format(b=BODY.format(q='"'))
    + r"|'(?:[^'\\\n]|\\(?:\r\n|[\s\S]))*'"
    + r'|"(?:[^"\\\n]|\\(?:\r\n|[\s\S]))*"'
    + ")"
)
OP = (r"\*\*=|\.\.\.|//=|<<=|>>=|!=|%=|&=|\*\*|\*=|\+=|-=|->|//|/=|:=|<<|<=|==|>=|>>|@=|\^=|"
      r"\|=|[%&*+,\-./:;<=>@^|~]")
TOKENS = [
    ("whitespace", r"[ \t\f]+", True),
    ("comment", r"#[^\r\n]*", True),
    ("newline", r"\r?\n", True),
    ("continuation", r"\\\r?\n", True),
    ("string", STRING, False),
    ("number", NUMBER, False),
    ("name", r"[\p{XID_Start}_]\p{XID_Continue}*", False),
    ("op", OP, False),
    ("open", r"[(\[{]", False),
    ("close", r"[)\]}]", False),
]
RE_NAME = r"[^\W\d]\w*"  # Unicode letters or underscore, then word characters


def fallback_rules():
    return [(i, p, s) for i, (_, p, s) in enumerate(TOKENS)], [n for n, _, _ in TOKENS]


# ---------------------------------------------------------------------------------------------
# The re peer. The alternatives are ordered so that the first to match is also the longest one
# the token set allows (a string prefix before a name, a number before the "." operator).
# ---------------------------------------------------------------------------------------------

MASTER = re.compile("|".join(
    "(?P<%s>%s)" % (name, RE_NAME if name == "name" else pattern) for name, pattern, _ in TOKENS))
SKIPPED = {name for name, _, skip in TOKENS if skip}


def master_scan(master, skipped, labels, text):
    """The re peer's loop: one master-pattern match per token, line and column tracked by hand,
    one tuple per kept token (labels maps a group name to the token's kind)."""
    out = []
    append = out.append
    match = master.match
    count = text.count
    line, line_start, pos, n = 1, 0, 0, len(text)
    while pos < n:
        m = match(text, pos)
        if m is None:
            kind, end = "error", pos + 1
        else:
            kind, end = m.lastgroup, m.end()
        if kind not in skipped:
            append((labels[kind], text[pos:end], pos, line, pos - line_start + 1))
        lines = count("\n", pos, end)
        if lines:
            line += lines
            line_start = text.rindex("\n", pos, end) + 1
        pos = end
    return out


LABELS = {name: name for name, _, _ in TOKENS}
LABELS["error"] = "error"


def re_tokens(text):
    return master_scan(MASTER, SKIPPED, LABELS, text)


def cpython_tokens(text):
    return [(t.type, t.string, t.start, t.end)
            for t in pytokenize.generate_tokens(io.StringIO(text).readline)]


# ---------------------------------------------------------------------------------------------


def load_corpus(limit):
    root = sysconfig.get_paths()["stdlib"]
    texts, undecodable = [], 0
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "dist-packages", "__pycache__"))
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            try:
                texts.append(data.decode("utf-8"))
            except UnicodeDecodeError:
                undecodable += 1
    if limit:
        kept, size = [], 0
        for t in texts:
            if size >= limit:
                break
            kept.append(t)
            size += len(t.encode())
        texts = kept
    return root, texts, undecodable


def interleaved(fns, runs):
    """Medians of `runs` rounds, each round running every function once, in turn."""
    times = {name: [] for name in fns}
    for _ in range(runs):
        for name, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {name: (statistics.median(t), t) for name, t in times.items()}


def json_text(megabytes):
    """A deterministic JSON document of about `megabytes` MB: objects, arrays, strings with
    escapes and non-ASCII letters, integers, floats, true, false and null, indented."""
    import json
    import random

    rng = random.Random(20261208)
    words = ["alpha", "beta", "gamma", "delta", "\u00e9t\u00e9", "caf\u00e9", "line\nbreak",
             'quote"d', "tab\there", "back\\slash", "x" * 20]

    def value(depth):
        r = rng.random()
        if depth > 3 or r < 0.5:
            k = rng.randrange(6)
            if k == 0:
                return rng.randrange(-10**6, 10**6)
            if k == 1:
                return round(rng.uniform(-1e3, 1e3), rng.randrange(1, 6))
            if k == 2:
                return rng.choice([True, False, None])
            return rng.choice(words)
        if r < 0.75:
            return [value(depth + 1) for _ in range(rng.randrange(1, 6))]
        return {"%s_%d" % (rng.choice(["id", "name", "value", "items"]), i): value(depth + 1)
                for i in range(rng.randrange(1, 6))}

    parts, size = [], 0
    while size < megabytes * 1e6:
        chunk = json.dumps([value(0) for _ in range(200)], indent=1, ensure_ascii=False)
        parts.append(chunk)
        size += len(chunk.encode())
    return "[" + ",\n".join(parts) + "]"


def json_section(megabytes, runs):
    rules, names = tessel.load_grammar("json")
    fast = _tessel.compile(rules, (), None, "codepoints")
    per_rule = _tessel.compile(rules, (), None, "codepoints", "requested")
    master = re.compile("|".join("(?P<g%d>%s)" % (i, r[1]) for i, r in enumerate(rules)))
    skipped = {"g%d" % i for i, r in enumerate(rules) if r[2]}
    kinds = {"g%d" % i: r[0] for i, r in enumerate(rules)}
    kinds["error"] = -1
    text = json_text(megabytes)
    mb = len(text.encode()) / 1e6

    def re_json():
        return master_scan(master, skipped, kinds, text)

    ours = [(t.kind, t.lexeme, t.offset, t.line, t.column) for t in _tessel.tokenize(fast, text)]
    theirs = re_json()
    slow = [(t.kind, t.lexeme, t.offset, t.line, t.column) for t in _tessel.tokenize(per_rule, text)]
    results = interleaved({"tessel": lambda: _tessel.tokenize(fast, text),
                           "tessel/rule": lambda: _tessel.tokenize(per_rule, text),
                           "re": re_json}, runs)
    print()
    print("  JSON: one generated text of %.2f MB, %d tokens; bundled json grammar (DFA modes %s)"
          % (mb, len(ours), _tessel.dfa_modes_active(fast)))
    print("  token agreement: tessel vs re %s, tessel vs tessel/rule %s (kind, lexeme, line, column;"
          " columns in code points)" % (
              "identical" if [t[:2] + t[3:] for t in ours] == [t[:2] + t[3:] for t in theirs]
              else "DIFFERENT", "identical" if ours == slow else "DIFFERENT"))
    for name in ("tessel", "tessel/rule", "re"):
        med, times = results[name]
        print("  %-12s %9.3f s %9.2f MB/s   %s" % (name, med, mb / med, " ".join("%.3f" % x for x in times)))
    t_med = results["tessel"][0]
    print("  tessel vs re %.2fx, tessel vs tessel/rule %.2fx, tessel/rule vs re %.2fx" % (
        results["re"][0] / t_med, results["tessel/rule"][0] / t_med,
        results["re"][0] / results["tessel/rule"][0]))


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), times


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("--runs", type=int, default=3, help="runs of tessel and re (median)")
    ap.add_argument("--tokenize-runs", type=int, default=3, help="runs of CPython's tokenize")
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--thread-runs", type=int, default=3, help="runs of the threads figure")
    ap.add_argument("--rules", choices=("grammar", "own"), default="grammar",
                    help="the bundled grammar (where tessel has load_grammar) or this script's list")
    ap.add_argument("--limit-mb", type=float, default=0, help="use only the first M MB of files")
    ap.add_argument("--json-mb", type=float, default=20, help="size of the JSON text (0: skip)")
    args = ap.parse_args()

    root, texts, undecodable = load_corpus(int(args.limit_mb * 1e6))
    # Keep the files CPython's tokenize accepts, so all three lexers read the same text.
    accepted, refused, tokenize_count = [], 0, 0
    for t in texts:
        try:
            tokenize_count += len(cpython_tokens(t))
        except (pytokenize.TokenError, SyntaxError):
            refused += 1
        else:
            accepted.append(t)
    texts = accepted
    size = sum(len(t.encode()) for t in texts)
    mb = size / 1e6

    if args.rules == "grammar" and hasattr(tessel, "load_grammar"):
        rules, names = tessel.load_grammar("python")
        grammar = 'tessel.load_grammar("python")'
    else:
        rules, names = fallback_rules()
        grammar = "the rule list of this script (one mode, no lookaround)"
    lx = _tessel.compile(rules, (), "token", "codepoints")
    per_rule = _tessel.compile(rules, (), "token", "codepoints", "requested")

    # The lexers agree on the tokens (up to the identifier classes, which differ slightly).
    agree = error_files = same_without_dfa = 0
    counts = {"tessel": 0, "re": 0, "tokenize": tokenize_count}
    for t in texts:
        ours = [(names[k.kind] if k.kind >= 0 else "error", k.lexeme, k.line, k.column)
                for k in _tessel.tokenize(lx, t)]
        slow = [(names[k.kind] if k.kind >= 0 else "error", k.lexeme, k.line, k.column)
                for k in _tessel.tokenize(per_rule, t)]
        theirs = [(k, s, line, col) for k, s, _, line, col in re_tokens(t)]
        counts["tessel"] += len(ours)
        counts["re"] += len(theirs)
        agree += ours == theirs
        same_without_dfa += ours == slow
        error_files += any(k == "error" for k, *_ in ours)
    counts["tessel/rule"] = counts["tessel"]

    def run_tessel():
        tok = _tessel.tokenize
        for t in texts:
            tok(lx, t)

    def run_re():
        for t in texts:
            re_tokens(t)

    def run_cpython():
        for t in texts:
            cpython_tokens(t)

    def run_per_rule():
        tok = _tessel.tokenize
        for t in texts:
            tok(per_rule, t)

    results = interleaved({"tessel": run_tessel, "tessel/rule": run_per_rule, "re": run_re}, args.runs)
    results["tokenize"] = median_time(run_cpython, args.tokenize_runs)

    # Threads: N threads share the corpus (every Nth file each) with the one handle, against
    # the same files one after the other; the two are timed in turn.
    def run_files(files):
        tok = _tessel.tokenize
        for t in files:
            tok(lx, t)

    def threaded():
        workers = [threading.Thread(target=run_files, args=(texts[i::args.threads],))
                   for i in range(args.threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    def timed(fn):
        # wall time and the process's CPU time: CPU above wall means threads ran at once
        c0, t0 = time.process_time(), time.perf_counter()
        fn()
        return time.perf_counter() - t0, time.process_time() - c0

    seq_runs, par_runs = [], []
    for _ in range(args.thread_runs):
        seq_runs.append(timed(run_tessel))
        par_runs.append(timed(threaded))
    seq, seq_cpu = (statistics.median(x) for x in zip(*seq_runs))
    par, par_cpu = (statistics.median(x) for x in zip(*par_runs))

    # A control: the same split of hashing work, which releases the lock too, shows what speed-up
    # the machine allows this process at the moment.
    blob = b"\0" * (64 << 20)

    def hash_files(n):
        for _ in range(n):
            hashlib.sha256(blob).digest()

    def hash_threaded():
        workers = [threading.Thread(target=hash_files, args=(1,)) for _ in range(args.threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    control = [timed(lambda: hash_files(args.threads))[0] / timed(hash_threaded)[0]
               for _ in range(args.thread_runs)]
    big = sum(1 for t in texts if len(t.encode()) >= 4096)

    print("tessel tokenize benchmark")
    print("  python %s on %s, %d CPUs, load average %s" % (
        platform.python_version(), platform.machine(), os.cpu_count(),
        " ".join("%.2f" % x for x in os.getloadavg())))
    print("  corpus: %s" % root)
    print("    %d files, %.2f MB of UTF-8 (%d not UTF-8 and %d refused by tokenize left out)"
          % (len(texts), mb, undecodable, refused))
    print("  tessel rules: %s, %d rules, errors='token', columns='codepoints'" % (grammar, len(rules)))
    print("  token agreement tessel vs re: %d of %d files identical (kind, lexeme, line, column);"
          " %d files hold error tokens" % (agree, len(texts), error_files))
    print("  DFA modes %s; tokens identical with and without the DFA in %d of %d files" % (
        _tessel.dfa_modes_active(lx), same_without_dfa, len(texts)))
    print()
    print("  %-10s %9s %9s %12s %14s   %s" % ("lexer", "median s", "MB/s", "tokens", "tokens/s",
                                             "runs (s)"))
    for name in ("tessel", "tessel/rule", "re", "tokenize"):
        med, times = results[name]
        print("  %-10s %9.3f %9.2f %12d %14.0f   %s" % (
            name, med, mb / med, counts[name], counts[name] / med,
            " ".join("%.3f" % x for x in times)))
    print()
    t_med = results["tessel"][0]
    for peer in ("tessel/rule", "re", "tokenize"):
        p_med = results[peer][0]
        print("  tessel vs %-11s  %.2fx the MB/s, %.2fx the tokens/s" % (
            peer, p_med / t_med, (counts["tessel"] / t_med) / (counts[peer] / p_med)))
    print("  tessel/rule vs re  %.2fx the MB/s" % (results["re"][0] / results["tessel/rule"][0]))
    if args.json_mb > 0:
        json_section(args.json_mb, args.runs)
    print()
    print("  threads: the corpus split over %d threads with one handle (%d of %d files are >= 4096"
          " bytes and release the lock)" % (args.threads, big, len(texts)))
    print("    one thread %.3f s (CPU %.3f s), %d threads %.3f s (CPU %.3f s), medians of %d:"
          " speed-up %.2fx" % (seq, seq_cpu, args.threads, par, par_cpu, args.thread_runs, seq / par))
    print("    control: sha256 of %d x 64 MiB split the same way: speed-up %.2fx (the most this"
          " machine gives now)" % (args.threads, statistics.median(control)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
