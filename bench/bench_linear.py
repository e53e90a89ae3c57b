"""Adversarial inputs for lexing as a whole: does any grammar, text or chunking make tessel
superlinear?

Each case is a small lexer and a text generator.  The text is grown until one run takes at
least 50 ms, then the case runs at n and 2n bytes (interleaved, median of --rounds runs each)
and prints the time ratio; a linear case doubles (ratio about 2), a quadratic one quadruples.
Peak memory is measured in a fresh interpreter per case at 2n bytes: the growth of the
maximum resident set while lexing, beside the text size.  Tokens are consumed one at a time
(iter_tokens), so the figure is the lexer's, not that of a list of token objects.

    python bench/bench_linear.py [--rounds 3] [--only NAME] [--limit 2.3]

Exits 1 when a ratio passes --limit (a benchmark, not a test: timings on a shared machine
are noisy; the CI test of the same table counts work instead of timing it).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from typing import Callable

import tessel

FALLBACK = (99, r"[\s\S]", False)


def grammar_cases() -> dict[str, tuple[Callable[[], tessel.Lexer], Callable[[int], str], str]]:
    """name -> (lexer factory, text of about n bytes, how it is lexed)."""
    def lexer(*rules, **options):
        return lambda: tessel.Lexer(list(rules), errors="token", **options)

    def repeat(unit):
        return lambda n: unit * max(1, n // len(unit))

    json_lexer = lambda: tessel.Lexer.bundled("json", errors="token")  # noqa: E731
    cases = {
        # A rule that loses after scanning far, beside a one-character fallback.
        "unterminated block comments": (lexer((1, r"/\*[\s\S]*?\*/", False), FALLBACK), repeat("/* "), "iter"),
        "a*b on a run of a": (lexer((1, r"a*b", False), FALLBACK), repeat("a"), "iter"),
        "call [a-z]+\\( on letters": (lexer((1, r"[a-z]+\(", False), FALLBACK), repeat("abc"), "iter"),
        "(a+)+$ on a run of a": (lexer((1, r"(a+)+$", False), FALLBACK), lambda n: "a" * n + "!", "iter"),
        "lookahead (?=\\w*x)\\w": (lexer((1, r"(?=\w*x)\w", False), FALLBACK), repeat("a"), "iter"),
        # The classic catastrophic patterns, as lexer rules.
        "(a|aa)*c": (lexer((1, r"(a|aa)*c", False), FALLBACK), repeat("a"), "iter"),
        "(a*)*b": (lexer((1, r"(a*)*b", False), FALLBACK), repeat("a"), "iter"),
        "(x+x+)+y": (lexer((1, r"(x+x+)+y", False), FALLBACK), repeat("x"), "iter"),
        "(\\w+\\s?)+$ on words": (lexer((1, r"(\w+\s?)+$", False), FALLBACK), lambda n: "ab " * (n // 3) + "!", "iter"),
        # Unterminated strings and comments, once at the start of a long text.
        "one unterminated string": (lexer((1, r'"[^"]*"', False), (2, r"[a-z]+", False), FALLBACK),
                                    lambda n: '"' + "ab " * (n // 3), "iter"),
        "unterminated strings on every line": (lexer((1, r'"(?:[^"\\\n]|\\.)*"', False), FALLBACK),
                                               repeat('x = "abc\n'), "iter"),
        # Streams: an undecided token fed in small chunks.
        "json long string, 4 KiB chunks": (json_lexer, lambda n: '["' + "a" * n + '"]', "stream4096"),
        "json long string, 1-byte chunks": (json_lexer, lambda n: '["' + "a" * n + '"]', "stream1"),
        "json document, 4 KiB chunks": (json_lexer, lambda n: "[" + '{"k": [1, 2.5, "s"]},' * (n // 22) + "0]",
                                        "stream4096"),
        # Capture groups the lexer never reads.
        "10^4 capture groups": (lexer((1, "(?:" + "|".join(["(a)"] * 10_000) + ")+", False), FALLBACK),
                                repeat("ab"), "iter"),
        # Many rules: 10^5 keywords beside an identifier rule.
        "10^5 keyword rules": (lexer(*[(i + 1, "kw%05d" % i, False) for i in range(100_000)],
                                     (200_000, r"[a-z]\w*", False), (200_001, r"\s+", True)),
                               repeat("kw01234 name kw99999 x "), "iter"),
        # A large program that fails on its first byte.
        "large rule failing at once": (lexer((1, "(?:" + "|".join("w%04dz" % i for i in range(4000)) + ")", False),
                                             FALLBACK), repeat("q"), "iter"),
        # Layout with many tokens claiming new lines on one physical line.
        "layout, one long line": (lexer((1, r"[a-z]+", False), (2, r"[ ]+", True), (3, r"\n", False)),
                                  lambda n: "ab " * (n // 3) + "\n", "layout"),
    }
    return cases


def run(lx: tessel.Lexer, text: str, how: str) -> int:
    if how == "iter":
        return sum(1 for _ in lx.iter_tokens(text))
    if how == "layout":
        return len(lx.layout(lx.tokenize(text), source=text, tabs="python"))
    chunk = int(how[len("stream"):])
    s = lx.stream()
    count = 0
    for i in range(0, len(text), chunk):
        count += len(s.feed(text[i:i + chunk]))
    return count + len(s.finish())


def timed(lx: tessel.Lexer, text: str, how: str) -> float:
    t0 = time.perf_counter()
    run(lx, text, how)
    return time.perf_counter() - t0


def resident_kib() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def reset_peak() -> None:
    # Linux: writing 5 to clear_refs sets the peak resident set back to the current one.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_kib() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def peak_memory(name: str, n: int) -> tuple[float, int]:
    """MB the resident set grew by while lexing the case's text of about n bytes, in a fresh
    interpreter, and the text's size."""
    code = (
        "import sys, json\n"
        "sys.path.insert(0, %r)\n"
        "import bench_linear as b\n"
        "make, gen, how = b.grammar_cases()[%r]\n"
        "lx = make(); text = gen(%d)\n"
        "size = len(text.encode())\n"
        "base = b.resident_kib()\n"
        "b.reset_peak()\n"
        "b.run(lx, text, how)\n"
        "print(json.dumps([(b.peak_kib() - base) / 1024, size]))\n"
    ) % (os.path.dirname(os.path.abspath(__file__)), name, n)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    grown, size = json.loads(out.stdout)
    return grown, size


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--only", help="run the cases whose name contains this")
    ap.add_argument("--limit", type=float, default=2.3)
    ap.add_argument("--min-seconds", type=float, default=0.05)
    args = ap.parse_args()

    failed = []
    print("%-36s %10s %9s %9s %6s %9s %9s" % ("case", "n bytes", "t(n) ms", "t(2n) ms", "ratio", "peak MB",
                                                 "text MB"))
    for name, (make, gen, how) in grammar_cases().items():
        if args.only and args.only not in name:
            continue
        lx = make()
        n = 4096
        while True:
            t = timed(lx, gen(n), how)
            if t >= args.min_seconds or n >= 1 << 28:
                break
            # Grow towards the target in one step when the time allows it, never more than 8x.
            n *= min(8, max(2, int(args.min_seconds / max(t, 1e-6))))
        small, large = gen(n), gen(2 * n)
        ts, tl = [], []
        for _ in range(args.rounds):
            ts.append(timed(lx, small, how))
            tl.append(timed(lx, large, how))
        ratio = statistics.median(tl) / statistics.median(ts)
        grown, size = peak_memory(name, 2 * n)
        flag = "" if ratio <= args.limit else "  <-- superlinear"
        if flag:
            failed.append(name)
        print("%-36s %10d %9.1f %9.1f %6.2f %9.1f %9.2f%s" % (
            name, len(small.encode()), 1e3 * statistics.median(ts), 1e3 * statistics.median(tl), ratio, grown,
            size / 1e6, flag), flush=True)
    if failed:
        print("\nratio over %.1f: %s" % (args.limit, ", ".join(failed)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
