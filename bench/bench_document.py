#!/usr/bin/env python3
"""Edit latency of tessel.Document against tokenizing the whole text again.

usage: bench_document.py [--edits N] [--python-mb M] [--json-mb M] [--seed S] [--runs N]

Two texts: Python source of at least --python-mb MB (standard library files, concatenated)
with the bundled Python grammar, and a generated JSON text of at least --json-mb MB (records
of strings, numbers and nested arrays, indented) with the bundled JSON grammar; both lexers
use errors='token' and utf16 columns, as an editor would.

For each text: the time to make the Document, then --edits one-character edits at random places (an insertion or deletion of one
character, each applied to the document as it stands), timing each doc.edit() call, with --runs full tokenize() calls of the current text spread
among them (interleaved, so that a change in the machine's load hits both alike). Reported:
median and 99th-percentile edit latency, the full tokenize against them, and the bytes
re-lexed per edit: from the first new token's start to the last one's end (0 when an edit
replaced no token, e.g. inside a run of skipped blanks). Then edits that open a string: a
single quote in Python (its string ends at the end of the line), a triple quote in Python and
a double quote in JSON (which can turn the rest of the text inside out, so they may re-lex to
the end, as they must). After the timed edits the document is checked once against
tokenize() of its text. Nothing is written.
"""

import argparse
import json
import random
import statistics
import sys
import sysconfig
import time
from pathlib import Path

import tessel


def python_text(mb):
    root = Path(sysconfig.get_paths()["stdlib"])
    parts, size = [], 0
    for path in sorted(root.glob("*.py")):
        try:
            text = path.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        parts.append(text)
        size += len(text.encode())
        if size >= mb * 1_000_000:
            break
    return "\n".join(parts)


def json_text(mb, rng):
    records, size = [], 0
    while size < mb * 1_000_000:
        rec = {"id": len(records), "name": "item %d é" % rng.randrange(10**6), "score": rng.random() * 100,
               "tags": [rng.choice(["a", "bb", "ccc", "😀"]) for _ in range(rng.randrange(5))],
               "ok": rng.random() < 0.5, "nested": {"x": rng.randrange(1000), "y": None}}
        records.append(rec)
        size += 160
    text = json.dumps(records, indent=1, ensure_ascii=False)
    return text


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def relexed_bytes(change):
    if not change.tokens:
        return 0
    first, last = change.tokens[0], change.tokens[-1]
    return last.offset + len(last.lexeme.encode()) - first.offset


def run(name, lexer, text, args, rng, openers):
    size = len(text.encode())
    full = []

    def full_tokenize():
        current = doc.text
        t0 = time.perf_counter()
        lexer.tokenize(current)
        full.append(time.perf_counter() - t0)
    t0 = time.perf_counter()
    doc = tessel.Document(lexer, text)
    made = time.perf_counter() - t0
    latencies, relexed, replaced = [], [], []
    length = len(text)  # kept by hand: doc.text would build the whole text for each edit
    every = max(1, args.edits // args.runs)
    for n in range(args.edits):
        if n % every == 0:
            full_tokenize()  # interleaved, so that both see the machine's load alike
        at = rng.randrange(length)
        if rng.random() < 0.5:
            t0 = time.perf_counter()
            change = doc.edit(at, at, rng.choice("abcxyz0123 ,:"))
            latencies.append(time.perf_counter() - t0)
            length += 1
        else:
            t0 = time.perf_counter()
            change = doc.edit(at, at + 1, "")
            latencies.append(time.perf_counter() - t0)
            length -= 1
        relexed.append(relexed_bytes(change))
        replaced.append(change.stop - change.start)
    assert doc.tokens == lexer.tokenize(doc.text), "the document drifted from tokenize()"
    full_s = statistics.median(full)
    med, p99 = statistics.median(latencies), percentile(latencies, 99)
    print("%s: %.1f MB, %d tokens" % (name, size / 1e6, len(doc)))
    print("  full tokenize        %9.2f ms (median of %d)" % (full_s * 1e3, args.runs))
    print("  Document(...)        %9.2f ms" % (made * 1e3))
    print("  edit latency median  %9.3f ms   (%.0fx faster than a full tokenize)" % (med * 1e3, full_s / med))
    print("  edit latency p99     %9.3f ms   (%.0fx)" % (p99 * 1e3, full_s / p99))
    print("  bytes re-lexed       median %d, p99 %d, max %d   (median %.5f%% of the text)" % (
        statistics.median(relexed), percentile(relexed, 99), max(relexed),
        100 * statistics.median(relexed) / size))
    print("  tokens replaced      median %d, p99 %d" % (statistics.median(replaced), percentile(replaced, 99)))
    for label, needle, insert in openers:
        at = doc.text.find(needle, len(doc.text) // 2)
        if at < 0:
            continue
        t0 = time.perf_counter()
        change = doc.edit(at, at, insert)
        took = time.perf_counter() - t0
        print("  opening %-22s %9.2f ms, %d bytes re-lexed (%.1f%%), %d tokens replaced" % (
            label, took * 1e3, relexed_bytes(change), 100 * relexed_bytes(change) / size,
            change.stop - change.start))
        doc.edit(at, at + len(insert), "")
    assert doc.tokens == lexer.tokenize(doc.text), "the document drifted from tokenize()"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--edits", type=int, default=2000)
    ap.add_argument("--python-mb", type=float, default=1.0)
    ap.add_argument("--json-mb", type=float, default=10.0)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--seed", type=int, default=17)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    print("python %s, tessel %s" % (sys.version.split()[0], tessel.__version__))
    py = tessel.Lexer.bundled("python", errors="token", columns="utf16")
    run("python", py, python_text(args.python_mb), args, rng,
        [("a ' string", "    return ", "'"), ('a """ string', "    return ", '"""')])
    js = tessel.Lexer.bundled("json", errors="token", columns="utf16")
    run("json", js, json_text(args.json_mb, rng), args, rng, [('a " string', '"name"', '"')])


if __name__ == "__main__":
    main()
