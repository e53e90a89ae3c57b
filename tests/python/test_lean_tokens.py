"""Tokens made by the lexer: positions made on first access, and nothing kept after they go.

A lexed token holds its offset, line and column as numbers and builds its Position only when
asked; it must be indistinguishable from a token built from Python with an explicit Position:
same values, same identity on repeated access, same hash, same equality, same repr, and it
must outlive the lexer and the text it came from.
"""

import gc
import os
import sys
import tracemalloc

import pytest

import _tessel
from _tessel import Position, Token

# The CI runs this suite once more against the extension built with AddressSanitizer, whose
# runtime it preloads.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

RULES = [
    (1, r"[a-z]+", False),
    (2, r"[0-9]+", False),
    (3, r"[ \t]+", True),
    (4, r"\n", False),
    (5, r"\"", False, None, ("push", "string")),
    (6, r"[^\"\\\n]+", False, ["string"]),
    (7, r"\"", False, ["string"], ("pop",)),
    (8, r"\S", False),
]
TEXT = 'abc 12 "h\u00e9llo \u4e16" x\n  \U0001F600y "" 7\n'


@pytest.fixture(scope="module", params=["bytes", "codepoints", "utf16"])
def lexer(request):
    return _tessel.compile(RULES, (), "raise", request.param)


def explicit(tok):
    return Token(tok.kind, tok.lexeme, Position(tok.offset, tok.line, tok.column), tok.mode)


def lexed(lexer, as_bytes=False):
    text = TEXT.encode() if as_bytes else TEXT
    return [
        ("tokenize", _tessel.tokenize(lexer, text, True)),
        ("iterator", list(_tessel.TokenIterator(lexer, text, True))),
        ("scan", list(iter(lambda c=_tessel.scan_start(lexer, text, True): _tessel.scan_next(c), None))),
    ]


@pytest.mark.parametrize("as_bytes", [False, True])
def test_lazy_position_matches_an_explicit_one(lexer, as_bytes):
    for source, tokens in lexed(lexer, as_bytes):
        assert len(tokens) == 14, source
        for tok in tokens:
            other = explicit(tok)
            # Hash and compare before the position exists, then after it was made.
            assert hash(tok) == hash(other) and tok == other and not tok != other, source
            pos = tok.position
            assert type(pos) is Position
            assert pos is tok.position  # made once, then kept
            assert (pos.offset, pos.line, pos.column) == (tok.offset, tok.line, tok.column)
            assert pos == other.position and hash(pos) == hash(other.position)
            assert hash(tok) == hash(other) and tok == other
            assert repr(tok) == repr(other)
            assert {tok, other} == {other}
            assert {tok: 1}[other] == 1


def test_positions_are_those_of_each_column_unit():
    got = {}
    for unit in ("bytes", "codepoints", "utf16"):
        lx = _tessel.compile(RULES, (), "raise", unit)
        got[unit] = [(t.lexeme, t.offset, t.line, t.column) for t in _tessel.tokenize(lx, TEXT)]
    # The y after the emoji: byte offset 28 on line 2; the emoji is 4 bytes, 1 code point,
    # 2 UTF-16 units after two spaces.
    assert ("y", 28, 2, 7) in got["bytes"]
    assert ("y", 28, 2, 4) in got["codepoints"]
    assert ("y", 28, 2, 5) in got["utf16"]


@pytest.mark.parametrize("field", ["kind", "lexeme", "offset", "line", "column", "mode", "type"])
def test_one_differing_field_makes_tokens_unequal(lexer, field):
    tok = _tessel.tokenize(lexer, TEXT)[2]  # the opening quote, lexed in default
    values = dict(kind=tok.kind, lexeme=tok.lexeme, offset=tok.offset, line=tok.line,
                  column=tok.column, mode=tok.mode)
    if field == "type":
        values["lexeme"] = tok.lexeme.encode()
    elif field in ("lexeme", "mode"):
        values[field] += "x"
    else:
        values[field] += 1
    other = Token(values["kind"], values["lexeme"],
                  Position(values["offset"], values["line"], values["column"]), values["mode"])
    assert tok != other and not tok == other
    assert other != tok


def test_lexed_token_hash_follows_the_fixed_formula():
    mask = 0xFFFFFFFF

    def as_hash(h):
        h &= mask
        h = h - (1 << 32) if h >= 1 << 31 else h
        return -2 if h == -1 else h

    lx = _tessel.compile(RULES)
    for tok in _tessel.tokenize(lx, TEXT):
        h = (tok.offset & mask) ^ 0x345678
        h = (h * 1000003 & mask) ^ (tok.line & mask)
        h = (h * 1000003 & mask) ^ (tok.column & mask)
        position_hash = as_hash(h * 1000003)
        h = (tok.kind & mask) ^ 0x9E3779B9
        for part in (hash(tok.lexeme), position_hash, hash(tok.mode)):
            h = (h * 1000003 & mask) ^ (part & mask)
        assert hash(tok) == as_hash(h * 1000003)
        assert hash(tok.position) == position_hash


def test_tokens_outlive_their_lexer_and_text():
    made = []
    for kind in ("tokenize", "iterator", "scan", "floor"):
        lx = _tessel.compile(RULES)
        text = "".join(["ab", " ", "12", " \"\u00e9\"\n"])  # built at run time, not a constant
        if kind == "tokenize":
            tokens = _tessel.tokenize(lx, text)
        elif kind == "iterator":
            tokens = list(_tessel.TokenIterator(lx, text))
        elif kind == "scan":
            cursor = _tessel.scan_start(lx, text)
            tokens = list(iter(lambda: _tessel.scan_next(cursor), None))
            del cursor
        else:
            tokens = _tessel._bench_floor(_tessel._bench_spans(lx, text))
        del lx, text
        made.append(tokens)
    gc.collect()
    for tokens in made:
        assert [(t.kind, t.lexeme, t.position, t.mode) for t in tokens] == [
            (1, "ab", Position(0, 1, 1), "default"),
            (2, "12", Position(3, 1, 4), "default"),
            (5, '"', Position(6, 1, 7), "default"),
            (6, "\u00e9", Position(7, 1, 8), "string"),
            (7, '"', Position(9, 1, 10), "string"),
            (4, "\n", Position(10, 1, 11), "default"),
        ]


def test_tokens_of_one_list_share_their_mode_names():
    tokens = _tessel.tokenize(_tessel.compile(RULES), TEXT)
    defaults = [t.mode for t in tokens if t.mode == "default"]
    assert len(defaults) > 3 and all(m is defaults[0] for m in defaults)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_a_million_tokens_made_and_dropped_leave_nothing_behind():
    lx = _tessel.compile([(1, r"[a-z]+", False), (2, r" ", True), (3, r"\n", False)])
    text = "alpha be gamma delta\n" * 10_000  # 50,000 tokens, over 4096 bytes
    spans = _tessel._bench_spans(lx, text)
    per_round = len(_tessel.tokenize(lx, text))
    assert per_round == 50_000

    def one_round(i):
        if i % 4 == 0:
            tokens = _tessel.tokenize(lx, text)
        elif i % 4 == 1:
            tokens = _tessel._bench_floor(spans)
        else:
            tokens = list(_tessel._bench_floor(spans, True) if i % 4 == 2
                          else _tessel.TokenIterator(lx, text))
        for t in tokens[::3]:
            t.position  # make some positions, leave the others unmade
        hash(tokens[7])
        del tokens

    shared = [lx, text, spans, Token, Position, "default"]
    for i in range(4):  # warm up caches and free lists
        one_round(i)
    gc.collect()
    counts = [sys.getrefcount(o) for o in shared]
    rss = rss_bytes()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        rounds = 1_000_000 // per_round
        for i in range(rounds):
            one_round(i)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in shared] == counts
    # One leaked object per token would be tens of megabytes.
    assert grown < 256 * 1024, grown
    # Resident memory says nothing under AddressSanitizer, which holds freed memory back.
    if not SANITIZED:
        assert rss_bytes() - rss < 16 * 1024 * 1024


def test_a_token_built_from_python_keeps_the_position_it_was_given():
    pos = Position(5, 2, 3)
    tok = Token(1, "x", pos)
    assert tok.position is pos and (tok.offset, tok.line, tok.column) == (5, 2, 3)
    refs = sys.getrefcount(pos)
    del tok
    assert sys.getrefcount(pos) == refs - 1
