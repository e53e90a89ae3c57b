"""Count the kinds of tokens in Python files, in parallel: a typed program over tessel's API.

usage: python typed_example.py FILE...

It is checked with ``mypy --strict`` in CI, so it shows the API as a type checker sees it.
"""

from __future__ import annotations

import collections
import concurrent.futures
import sys
from collections.abc import Sequence

import tessel


def count_kinds(lexer: tessel.Lexer, path: str) -> collections.Counter[str]:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    tokens: list[tessel.Token] = lexer.layout(lexer.tokenize(text, eof=True), source=text)
    return collections.Counter(lexer.kind_name(t.kind) for t in tokens)


def first_error(lexer: tessel.Lexer, path: str) -> str | None:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        for token in lexer.iter_tokens(text):
            end: tessel.Position = lexer.end(token, text)
            assert end.offset >= token.offset
    except tessel.LexError as e:
        return tessel.format_error(e, text, origin=path)
    return None


def main(paths: Sequence[str]) -> int:
    lexer = tessel.Lexer.bundled("python", columns="codepoints")
    total: collections.Counter[str] = collections.Counter()
    with concurrent.futures.ProcessPoolExecutor() as pool:
        for counts in pool.map(count_kinds, [lexer] * len(paths), paths):
            total += counts
    for path in paths:
        message = first_error(lexer, path)
        if message is not None:
            print(message, file=sys.stderr)
            return 1
    for name, n in total.most_common():
        print(f"{name:14} {n}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
