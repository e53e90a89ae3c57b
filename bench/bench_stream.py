"""What a stream costs against eager lexing of the same text.

The standard-library sources and a generated JSON text are lexed by `Lexer.tokenize` and by a
`Stream` fed in 4 KiB chunks and in 1-byte chunks (the 1-byte runs on a smaller sample: each
feed is a Python call), counting the tokens of each.  Runs are interleaved and the medians
compared; the ratio is stream time over eager time on the same text.

    python bench/bench_stream.py [--rounds 5] [--stdlib-mb 8] [--json-mb 20] [--byte-kb 256]
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tessel  # noqa: E402
from bench_tokenize import first_bytes_of, interleaved, json_text, load_corpus  # noqa: E402


def eager(lx, texts):
    return lambda: sum(len(lx.tokenize(t)) for t in texts)


def streamed(lx, texts, chunk):
    def run():
        count = 0
        for t in texts:
            s = lx.stream()
            for i in range(0, len(t), chunk):
                count += len(s.feed(t[i:i + chunk]))
            count += len(s.finish())
        return count
    return run


def report(title, lx, texts, small, rounds):
    size = sum(len(t.encode()) for t in texts)
    # The same tokens first: a stream must give exactly what eager lexing gives.
    assert eager(lx, small)() == streamed(lx, small, 4096)() == streamed(lx, small, 1)()
    big = interleaved([("eager", eager(lx, texts)), ("4 KiB", streamed(lx, texts, 4096))], rounds)
    tiny = interleaved([("eager", eager(lx, small)), ("1 byte", streamed(lx, small, 1))], rounds)
    small_size = sum(len(t.encode()) for t in small)
    print("%s, %.1f MB: eager %.3f s, 4 KiB chunks %.3f s (%.2fx)" % (
        title, size / 1e6, big["eager"], big["4 KiB"], big["4 KiB"] / big["eager"]))
    print("%s, %.2f MB: eager %.3f s, 1-byte chunks %.3f s (%.2fx)" % (
        title, small_size / 1e6, tiny["eager"], tiny["1 byte"], tiny["1 byte"] / tiny["eager"]))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--stdlib-mb", type=float, default=8)
    ap.add_argument("--json-mb", type=float, default=20)
    ap.add_argument("--byte-kb", type=float, default=256)
    args = ap.parse_args()
    _, texts, _ = load_corpus(int(args.stdlib_mb * 1e6))
    report("stdlib, python.lex", tessel.Lexer.bundled("python", errors="token"), texts, first_bytes_of(texts, int(args.byte_kb * 1e3)),
           args.rounds)
    doc = json_text(args.json_mb)
    report("JSON, json.lex", tessel.Lexer.bundled("json", errors="token"), [doc], [doc[:int(args.byte_kb * 1e3)]], args.rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
