"""The stream functions: feeding, finishing, the busy flag and the window."""

import pytest

import _tessel
import tessel

WORDS = [(1, r"[a-z]+", False), (2, r"\d+", False), (3, r"[ \n]+", True)]


def lexemes(tokens):
    return [t.lexeme for t in tokens]


def test_tokens_are_held_until_decided():
    lx = _tessel.compile([(1, "a", False), (2, "ab", False)])
    s = _tessel.stream_start(lx)
    assert _tessel.stream_feed(s, "a") == []
    assert _tessel.stream_buffered(s) == 1
    assert lexemes(_tessel.stream_finish(s)) == ["a"]


def test_an_unlexable_byte_raises_with_the_decided_tokens():
    lx = _tessel.compile([(1, "a", False), (2, "ab", False)])
    s = _tessel.stream_start(lx)
    assert _tessel.stream_feed(s, "a") == []
    with pytest.raises(tessel.LexError) as info:
        _tessel.stream_feed(s, "c")
    assert lexemes(info.value.tokens) == ["a"]
    assert info.value.offset == 1
    with pytest.raises(_tessel.error, match="^stream_feed: the stream ended with an error$"):
        _tessel.stream_feed(s, "a")
    with pytest.raises(_tessel.error, match="^stream_finish: the stream ended with an error$"):
        _tessel.stream_finish(s)


def test_feeding_in_pieces_equals_tokenize():
    lx = _tessel.compile([(1, r"\w+", False), (3, r"[ \n]+", True)], (), None, "codepoints")
    text = "caf\u00e9 12 na\u00efve\n 7 x" * 20
    whole = [(t.kind, t.lexeme, t.offset, t.line, t.column) for t in _tessel.tokenize(lx, text)]
    data = text.encode()
    for size in (1, 2, 3, 7, 64):
        s = _tessel.stream_start(lx)
        got = []
        for i in range(0, len(data), size):
            got += _tessel.stream_feed(s, data[i:i + size])
        got += _tessel.stream_finish(s)
        assert [(t.kind, t.lexeme.decode(), t.offset, t.line, t.column) for t in got] == whole


def test_chunk_types_are_checked_before_the_busy_flag():
    lx = _tessel.compile(WORDS)
    s = _tessel.stream_start(lx)
    _tessel.stream_feed(s, "ab ")
    with pytest.raises(TypeError, match="^stream fed bytes after str$"):
        _tessel.stream_feed(s, b"cd")
    assert lexemes(_tessel.stream_feed(s, "cd ")) == ["cd"]
    with pytest.raises(TypeError, match="^expected str or bytes$"):
        _tessel.stream_feed(s, 5)
    s2 = _tessel.stream_start(lx)
    _tessel.stream_feed(s2, b"x")
    with pytest.raises(TypeError, match="^stream fed str after bytes$"):
        _tessel.stream_feed(s2, "y")


def test_window_and_buffered():
    lx = _tessel.compile(WORDS + [(4, ";", False)])
    s = _tessel.stream_start(lx)
    # The text ends where a decided token ends: nothing is held, the window keeps 8 bytes.
    _tessel.stream_feed(s, "abcdefghij 0123456789;")
    assert _tessel.stream_buffered(s) == 0
    assert _tessel.stream_window(s) == (14, b"3456789;")
    # A skip match that reaches the end of what was fed is undecided and stays held.
    _tessel.stream_feed(s, "\n")
    assert _tessel.stream_buffered(s) == 1
    _tessel.stream_feed(s, "more than sixteen bytes")
    offset, window = _tessel.stream_window(s)
    held = _tessel.stream_buffered(s)
    # The undecided step began at the blank before "bytes": a skip is part of the step.
    assert held == len(" bytes")
    assert window == b"\nmore than sixteen bytes"[-(held + 8):]
    assert offset == 46 - len(window)


def test_finish_with_nothing_fed_and_errors_at_the_end():
    lx = _tessel.compile(WORDS)
    assert _tessel.stream_finish(_tessel.stream_start(lx)) == []
    s = _tessel.stream_start(_tessel.compile(WORDS, (), "token"))
    assert lexemes(_tessel.stream_feed(s, "ab $$")) == ["ab"]
    toks = _tessel.stream_finish(s)
    assert [(t.kind, t.lexeme) for t in toks] == [(-2147483644, "$$")]


def test_stream_outlives_the_handle():
    s = _tessel.stream_start(_tessel.compile(WORDS))
    assert lexemes(_tessel.stream_feed(s, "abc ")) == ["abc"]
