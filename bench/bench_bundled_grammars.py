#!/usr/bin/env python3
"""Every bundled grammar over every real file the machine has for it.

usage: bench_bundled_grammars.py [--runs N] [--limit N]

The tests lex a sample of each grammar's real files (tests/python/bundled_corpus.py says
where they are found); this script takes all of them (or the first --limit per grammar),
checks each lexes without an error token, and reports per grammar the files, MB, error
tokens, and the median MB/s and tokens/s of tokenize over the set.
"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "python"))

import tessel  # noqa: E402
from bundled_corpus import real_files  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--limit", type=int, default=0, help="files per grammar (0: all)")
    args = ap.parse_args()
    print("%-11s %6s %8s %7s %9s %12s" % ("grammar", "files", "MB", "errors", "MB/s",
                                          "tokens/s"))
    failed = False
    for name in tessel.bundled_grammars():
        texts = []
        for path in real_files(name, args.limit):
            with open(path, encoding="utf-8") as f:
                texts.append(f.read())
        if not texts:
            print("%-11s %6d  (no files on this machine)" % (name, 0))
            continue
        lexer = tessel.Lexer.bundled(name, errors="token")
        errors = sum(t.kind == tessel.ERROR for text in texts for t in lexer.tokenize(text))
        failed |= errors > 0
        size = sum(len(t.encode("utf-8")) for t in texts)
        times, count = [], 0
        for _ in range(args.runs):
            t0 = time.perf_counter()
            count = sum(len(lexer.tokenize(t)) for t in texts)
            times.append(time.perf_counter() - t0)
        med = statistics.median(times)
        print("%-11s %6d %8.2f %7d %9.2f %12.0f" % (name, len(texts), size / 1e6, errors,
                                                    size / 1e6 / med, count / med))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
