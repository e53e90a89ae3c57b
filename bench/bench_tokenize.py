#!/usr/bin/env python3
"""Tokenize throughput of tessel on the Python standard library, next to two peers.

usage: bench_tokenize.py [--runs N] [--tokenize-runs N] [--threads N] [--thread-runs N]
                        [--rules grammar|own] [--limit-mb M] [--lean-rounds N] [--json-mb M]
                        [--lean-only]

The corpus is every .py file of the running interpreter's standard library (site-packages
left out), read as bytes and decoded as UTF-8; the few files that do not decode are skipped.
Three lexers tokenize it file by file, each producing (kind, lexeme, offset, line, column):

  tessel    tokenize() with the bundled Python grammar (tessel.load_grammar("python")) when the
            package has it, else (or with --rules own) the rule list below; codepoint columns.
  re        a master-pattern scanner: one alternation of named groups for the same token set,
            a compile(...).match loop that tracks line and column, building one tuple per token.
  tokenize  CPython's own tokenize module (generate_tokens over the decoded text).

Only the files that CPython's tokenize accepts are timed, so all three read the same text.
Each figure is the median of several runs. The report gives MB/s (of UTF-8 source), tokens/s
and tessel's ratio to each peer, then a threads figure: N threads sharing the corpus with one
handle against the same files done by one thread, next to a hashing control that shows what
speed-up the machine allows at the moment.

Last comes the token path, on the same corpus and on a large generated JSON text (tessel with
the bundled JSON grammar, the re scanner with a master pattern of the same rules), all entries
interleaved round by round so that a change in the machine's load hits each alike:

  tokenize       tessel's tokenize(), a list of Token objects
  re list        the master-pattern scanner collected into a list of tuples
  iterator       `for tok in TokenIterator(...)`, tessel's native iterator
  re iterator    `for tok in` a generator form of the same scanner
  floor list     _bench_floor(spans): the same Token objects built from spans kept by an earlier
                 lexing, without lexing; what tokenize would cost if lexing were free
  floor iter     _bench_floor(spans, True): the iterator over kept spans

Entries the extension lacks (an older build) are reported as n/a. --lean-only runs this part
alone. Nothing is written.
"""

import argparse
import gc
import hashlib
import io
import json
import os
import platform
import random
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


def re_iter_tokens(text, master=MASTER, skipped=SKIPPED):
    """The master-pattern scanner, one tuple per token; its own iterator."""
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
            yield (kind, text[pos:end], pos, line, pos - line_start + 1)
        lines = count("\n", pos, end)
        if lines:
            line += lines
            line_start = text.rindex("\n", pos, end) + 1
        pos = end


def re_tokens(text, master=MASTER, skipped=SKIPPED):
    """The scanner collected into a list."""
    return list(re_iter_tokens(text, master, skipped))


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
        texts = first_bytes_of(texts, limit)
    return root, texts, undecodable


def first_bytes_of(texts, limit):
    """The leading texts of the list, until they hold at least `limit` bytes."""
    kept, size = [], 0
    for t in texts:
        if size >= limit:
            break
        kept.append(t)
        size += len(t.encode())
    return kept


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), times


# ---------------------------------------------------------------------------------------------
# The token path: tokenize and the iterator against the re scanner and against the floor.
# ---------------------------------------------------------------------------------------------


def json_text(megabytes, seed=12):
    """A large JSON text of nested records, the same for every run."""
    rnd = random.Random(seed)
    words = ["alpha", "beta", "gamma", "d\u00e9lta", "\u4e16\u754c", "say \"hi\"", "tab\there", ""]

    def value(depth):
        pick = rnd.random()
        if depth < 3 and pick < 0.15:
            return [value(depth + 1) for _ in range(rnd.randrange(4))]
        if depth < 3 and pick < 0.3:
            return {rnd.choice(words) + str(i): value(depth + 1) for i in range(rnd.randrange(5))}
        if pick < 0.5:
            return rnd.randrange(-10**6, 10**6)
        if pick < 0.6:
            return round(rnd.uniform(-1e3, 1e3), rnd.randrange(6))
        if pick < 0.7:
            return rnd.choice([True, False, None])
        return rnd.choice(words) * rnd.randrange(1, 3)

    records, size = [], 0
    while size < megabytes * 1e6:
        record = {"id": len(records), "name": rnd.choice(words), "tags": [rnd.choice(words) for _ in range(3)],
                  "data": value(0)}
        records.append(record)
        size += len(json.dumps(record, ensure_ascii=False)) + 3
    return json.dumps(records, ensure_ascii=False, indent=1)


def interleaved(entries, rounds):
    """Median seconds of each entry, timed in turn round by round (the order rotating)."""
    times = {name: [] for name, _ in entries}
    for r in range(rounds):
        for name, fn in entries[r % len(entries):] + entries[:r % len(entries)]:
            gc.collect()
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(ts) for name, ts in times.items()}


def lean_entries(lx, texts, master, skipped, per_rule=None):
    tok = _tessel.tokenize
    entries = [
        ("tokenize", lambda: [tok(lx, t) for t in texts]),
        ("re list", lambda: [re_tokens(t, master, skipped) for t in texts]),
    ]
    if per_rule is not None:
        # The same rules with no automaton (dfa='requested', no modes named): the per-rule
        # path alone, as tessel lexed before its DFAs.
        entries.append(("per-rule", lambda: [tok(per_rule, t) for t in texts]))
    iterator = getattr(_tessel, "TokenIterator", None)
    if iterator is not None:
        def run_iterator():
            for t in texts:
                for _ in iterator(lx, t):
                    pass
        entries.append(("iterator", run_iterator))

    def run_re_iterator():
        for t in texts:
            for _ in re_iter_tokens(t, master, skipped):
                pass
    entries.append(("re iterator", run_re_iterator))
    if hasattr(_tessel, "_bench_floor"):
        spans = [_tessel._bench_spans(lx, t) for t in texts]
        floor = _tessel._bench_floor
        entries.append(("floor list", lambda: [floor(s) for s in spans]))

        def run_floor_iterator():
            for s in spans:
                for _ in floor(s, True):
                    pass
        entries.append(("floor iter", run_floor_iterator))
    return entries


def lean_part(title, lx, texts, master, skipped, rounds, per_rule=None):
    ours = sum(len(_tessel.tokenize(lx, t)) for t in texts)
    theirs = sum(len(re_tokens(t, master, skipped)) for t in texts)
    if per_rule is not None:
        assert all(_tessel.tokenize(per_rule, t) == _tessel.tokenize(lx, t) for t in texts), \
            "the DFA and the per-rule path must give the same tokens"
    size = sum(len(t.encode()) for t in texts) / 1e6
    med = interleaved(lean_entries(lx, texts, master, skipped, per_rule), rounds)
    print("  %s: %.2f MB, %d tessel tokens, %d re tokens; medians of %d interleaved rounds"
          % (title, size, ours, theirs, rounds))
    print("    %-12s %9s %14s" % ("entry", "median s", "tokens/s"))
    for name in ("tokenize", "re list", "per-rule", "iterator", "re iterator", "floor list", "floor iter"):
        count = theirs if name.startswith("re") else ours
        if name in med:
            print("    %-12s %9.3f %14.0f" % (name, med[name], count / med[name]))
        else:
            print("    %-12s %9s %14s" % (name, "n/a", "n/a"))

    def rate(name):
        return (theirs if name.startswith("re") else ours) / med[name] if name in med else None

    pairs = [("tokenize", "re list", "tokenize vs re list"),
             ("tokenize", "per-rule", "tokenize vs per-rule path"),
             ("iterator", "re iterator", "iterator vs re iterator"),
             ("tokenize", "floor list", "tokenize vs floor list"),
             ("iterator", "floor iter", "iterator vs floor iter")]
    for a, b, label in pairs:
        if rate(a) and rate(b):
            print("    %-26s %.2fx the tokens/s" % (label, rate(a) / rate(b)))


def lean_report(args, texts, lx, rules):
    print()
    print("token path (tokenize, iterator, floor; re scanner in the same rounds)")
    lean_part("python stdlib", lx, texts, MASTER, SKIPPED, args.lean_rounds,
              _tessel.compile(rules, (), "token", "codepoints", "requested"))
    rules, names = tessel.load_grammar("json")
    jx = _tessel.compile(rules)
    # Group names by rule index: kind names such as "open.object" are no group names for re.
    json_master = re.compile("|".join("(?P<rule%d>%s)" % (i, pattern)
                                      for i, (kind, pattern, *_) in enumerate(rules)))
    json_skipped = {"rule%d" % i for i, (kind, _, skip, *_) in enumerate(rules) if skip}
    lean_part("json (generated)", jx, [json_text(args.json_mb)], json_master, json_skipped,
              args.lean_rounds, _tessel.compile(rules, (), "raise", "bytes", "requested"))


def classic_report(args, root, texts, undecodable, refused, tokenize_count, mb, rules, grammar,
                   names, lx):
    # The lexers agree on the tokens (up to the identifier classes, which differ slightly).
    agree = error_files = 0
    counts = {"tessel": 0, "re": 0, "tokenize": tokenize_count}
    for t in texts:
        ours = [(names[k.kind] if k.kind >= 0 else "error", k.lexeme, k.line, k.column)
                for k in _tessel.tokenize(lx, t)]
        theirs = [(k, s, line, col) for k, s, _, line, col in re_tokens(t)]
        counts["tessel"] += len(ours)
        counts["re"] += len(theirs)
        agree += ours == theirs
        error_files += any(k == "error" for k, *_ in ours)

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

    results = {}
    for name, fn, runs in (("tessel", run_tessel, args.runs), ("re", run_re, args.runs),
                           ("tokenize", run_cpython, args.tokenize_runs)):
        results[name] = median_time(fn, runs)

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
    print()
    print("  %-10s %9s %9s %12s %14s   %s" % ("lexer", "median s", "MB/s", "tokens", "tokens/s",
                                             "runs (s)"))
    for name in ("tessel", "re", "tokenize"):
        med, times = results[name]
        print("  %-10s %9.3f %9.2f %12d %14.0f   %s" % (
            name, med, mb / med, counts[name], counts[name] / med,
            " ".join("%.3f" % x for x in times)))
    print()
    t_med = results["tessel"][0]
    for peer in ("re", "tokenize"):
        p_med = results[peer][0]
        print("  tessel vs %-8s  %.2fx the MB/s, %.2fx the tokens/s" % (
            peer, p_med / t_med, (counts["tessel"] / t_med) / (counts[peer] / p_med)))
    print()
    print("  threads: the corpus split over %d threads with one handle (%d of %d files are >= 4096"
          " bytes and release the lock)" % (args.threads, big, len(texts)))
    print("    one thread %.3f s (CPU %.3f s), %d threads %.3f s (CPU %.3f s), medians of %d:"
          " speed-up %.2fx" % (seq, seq_cpu, args.threads, par, par_cpu, args.thread_runs, seq / par))
    print("    control: sha256 of %d x 64 MiB split the same way: speed-up %.2fx (the most this"
          " machine gives now)" % (args.threads, statistics.median(control)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("--runs", type=int, default=3, help="runs of tessel and re (median)")
    ap.add_argument("--tokenize-runs", type=int, default=3, help="runs of CPython's tokenize")
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--thread-runs", type=int, default=3, help="runs of the threads figure")
    ap.add_argument("--rules", choices=("grammar", "own"), default="grammar",
                    help="the bundled grammar (where tessel has load_grammar) or this script's list")
    ap.add_argument("--limit-mb", type=float, default=0, help="use only the first M MB of files")
    ap.add_argument("--lean-rounds", type=int, default=5, help="interleaved rounds of the token path")
    ap.add_argument("--json-mb", type=float, default=4, help="size of the generated JSON text")
    ap.add_argument("--lean-only", action="store_true", help="run only the token-path part")
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

    if not args.lean_only:
        classic_report(args, root, texts, undecodable, refused, tokenize_count, mb, rules,
                       grammar, names, lx)
    lean_report(args, texts, lx, rules)
    return 0


if __name__ == "__main__":
    sys.exit(main())
