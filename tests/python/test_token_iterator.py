"""TokenIterator: the tokens and errors of tokenize, handed out one at a time.

Texts are chosen to cross batch boundaries (the first batch is small and later ones double),
to release the interpreter lock (4096 bytes or more), to hold modes, skips and non-ASCII text,
and to fail early, late and at the very end.
"""

import gc
import sys
import threading

import pytest

import _tessel
import tessel

RULES = [
    (1, r"[A-Za-z_\u00c0-\uffff]+", False),
    (2, r"[0-9]+", False),
    (3, r"[ \t]+", True),
    (4, r"\n", False),
    (5, r"\(", False, None, ("push", "paren")),
    (5, r"\(", False, ["paren"], ("push", "paren")),
    (6, r"\)", False, ["paren"], ("pop",)),
    (7, r"[a-z]+|,|[ \n]", False, ["paren"]),
    (8, r"[+*/=-]", False),
]
LINE = "x1 = f(a, (b c))  + 42 * \u00e9t\u00e9 - \u4e16\u754c\n"


def text_of(lines, bad_at=None, bad="$"):
    rows = [LINE] * lines
    if bad_at is not None:
        rows[bad_at] = rows[bad_at].replace("+", bad)
    return "".join(rows)


def lexers():
    return {policy: _tessel.compile(RULES, (), policy, "codepoints") for policy in ("raise", "token")}


LEXERS = lexers()


def tokenize_outcome(lx, text, eof):
    try:
        return _tessel.tokenize(lx, text, eof), None
    except _tessel.error as e:
        return None, e


def iterate_outcome(lx, text, eof):
    got = []
    it = _tessel.TokenIterator(lx, text, eof)
    try:
        for tok in it:
            got.append(tok)
    except _tessel.error as e:
        return got, e
    return got, None


def scan_prefix(lx, text, eof):
    """The tokens a scan hands out before its error."""
    got = []
    try:
        cursor = _tessel.scan_start(lx, text, eof)
        while (tok := _tessel.scan_next(cursor)) is not None:
            got.append(tok)
    except _tessel.error:
        pass
    return got


CASES = [
    ("empty", ""),
    ("one line", text_of(1)),
    ("first batch and a bit", text_of(5)),
    ("long, lock released", text_of(400)),
    ("bad in the first token", "$" + text_of(3)),
    ("bad after many batches", text_of(400, bad_at=300)),
    ("bad in the first batch", text_of(20, bad_at=1)),
    ("unterminated mode at the end", text_of(200) + "f(a, (b"),
]


@pytest.mark.parametrize("policy", ["raise", "token"])
@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
@pytest.mark.parametrize("eof", [False, True], ids=["", "eof"])
@pytest.mark.parametrize("name, text", CASES, ids=[c[0] for c in CASES])
def test_same_tokens_and_errors_as_tokenize(name, text, eof, as_bytes, policy):
    lx = LEXERS[policy]
    if as_bytes:
        text = text.encode()
    expected, error = tokenize_outcome(lx, text, eof)
    got, raised = iterate_outcome(lx, text, eof)
    if error is None:
        assert raised is None
        assert got == expected
        assert [type(t.lexeme) for t in got] == [bytes if as_bytes else str] * len(got)
        if eof:
            assert got[-1].kind == -2**31 and got[-1].offset == len(text if as_bytes else text.encode())
    else:
        assert policy == "raise"
        assert type(raised) is type(error) is tessel.LexError
        assert str(raised) == str(error)
        assert (raised.offset, raised.line, raised.column) == (error.offset, error.line, error.column)
        assert not hasattr(raised, "tokens")
        # Every token before the error was handed out first, as a scan would.
        assert got == scan_prefix(lx, text, eof)
        if name.startswith("bad"):  # an unterminated mode is reported where it was entered
            assert got and all(t.offset < error.offset for t in got) or error.offset == 0


def test_error_is_raised_once_then_the_iterator_is_exhausted():
    text = text_of(50, bad_at=40)
    it = _tessel.TokenIterator(LEXERS["raise"], text)
    taken = []
    with pytest.raises(tessel.LexError) as info:
        while True:
            taken.append(next(it))
    assert info.value.line == 41
    assert len(taken) > 64  # the error came in a later batch than the first
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_iterator_protocol_and_arguments():
    lx = LEXERS["raise"]
    it = _tessel.TokenIterator(lx, "ab")
    assert iter(it) is it
    assert [t.lexeme for t in it] == ["ab"]
    assert list(it) == []
    assert [t.kind for t in _tessel.TokenIterator(lx, text="ab", eof=True)] == [1, -2**31]
    assert [t.kind for t in _tessel.TokenIterator(handle=lx, text=b"ab", eof=0)] == [1]
    with pytest.raises(TypeError, match="expected str or bytes"):
        _tessel.TokenIterator(lx, bytearray(b"ab"))
    with pytest.raises(ValueError):  # the interpreter's capsule error
        _tessel.TokenIterator(_tessel.scan_start(lx, "ab"), "ab")
    with pytest.raises(TypeError):
        _tessel.TokenIterator(lx)
    with pytest.raises(TypeError):
        _tessel.TokenIterator(lx, "ab", False, 1)
    with pytest.raises(TypeError):  # not subclassable
        type("Sub", (_tessel.TokenIterator,), {})
    assert _tessel.TokenIterator.__doc__.startswith("TokenIterator(handle, text, eof=False)\n")


def test_keeps_the_lexer_and_the_text_alive():
    lx = _tessel.compile(RULES)
    text = "".join([LINE] * 300)  # made at run time: only the iterator will hold it
    handle_refs, text_refs = sys.getrefcount(lx), sys.getrefcount(text)
    it = _tessel.TokenIterator(lx, text)
    assert sys.getrefcount(lx) == handle_refs + 1 and sys.getrefcount(text) == text_refs + 1
    expected = _tessel.tokenize(lx, text)
    del lx, text
    gc.collect()
    assert list(it) == expected


def test_abandoned_half_way_releases_everything():
    lx = LEXERS["raise"]
    text = text_of(300)
    counts = sys.getrefcount(lx), sys.getrefcount(text), sys.getrefcount(_tessel.TokenIterator)
    for n in (0, 1, 63, 64, 65, 1000):
        it = _tessel.TokenIterator(lx, text)
        for _, tok in zip(range(n), it):
            pass
        del it
    # An iterator in a reference cycle (through a str subclass) is collected too.
    class Text(str):
        pass
    cyclic = Text(text)
    cyclic.it = _tessel.TokenIterator(lx, cyclic)
    next(cyclic.it)
    del cyclic
    gc.collect()
    assert (sys.getrefcount(lx), sys.getrefcount(text), sys.getrefcount(_tessel.TokenIterator)) == counts


def test_several_threads_iterate_one_lexer():
    lx = LEXERS["token"]
    texts = [text_of(300 + 50 * i, bad_at=7 * i + 3) for i in range(4)]
    expected = [_tessel.tokenize(lx, t) for t in texts]
    results = [None] * 8
    barrier = threading.Barrier(8)

    def work(i):
        barrier.wait()
        results[i] = list(_tessel.TokenIterator(lx, texts[i % 4]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected[i % 4] for i in range(8)]


def test_one_iterator_shared_by_threads_hands_each_token_out_once():
    lx = LEXERS["raise"]
    text = text_of(800)
    it = _tessel.TokenIterator(lx, text)
    taken = [[] for _ in range(4)]
    refused = [0] * 4

    def work(i):
        while True:
            try:
                tok = next(it)
            except StopIteration:
                return
            except RuntimeError as e:
                assert str(e) == "a token iterator is being advanced by another thread"
                refused[i] += 1
                continue
            taken[i].append(tok)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = sorted((t for part in taken for t in part), key=lambda t: t.offset)
    assert got == _tessel.tokenize(lx, text)
    for part in taken:  # each thread saw its tokens in source order
        assert [t.offset for t in part] == sorted(t.offset for t in part)


SPLIT = [(1, r"\xc3", False), (2, r"\xa9", False), (3, r"a", False)]


@pytest.mark.parametrize("api", ["iterator", "scan"])
def test_a_token_that_cannot_be_made_ends_the_iteration(api):
    # A raw-byte rule splits the two bytes of an e-acute: as str the first lexeme cannot be
    # decoded.  The failure is raised once and nothing is handed out after it.
    lx = _tessel.compile(SPLIT)
    text = "a\u00e9a"
    if api == "iterator":
        source = _tessel.TokenIterator(lx, text)
        step = lambda: next(source, None)
    else:
        source = _tessel.scan_start(lx, text)
        step = lambda: _tessel.scan_next(source)
    assert step().lexeme == "a"
    with pytest.raises(UnicodeDecodeError):
        step()
    assert step() is None and step() is None
    # The bytes of the same text give all four tokens.
    assert [t.lexeme for t in _tessel.TokenIterator(lx, text.encode())] == [b"a", b"\xc3", b"\xa9", b"a"]


def test_floor_iterator_replays_the_spans():
    lx = LEXERS["token"]
    text = text_of(100, bad_at=50)
    spans = _tessel._bench_spans(lx, text, True)
    expected = _tessel.tokenize(lx, text, True)
    assert _tessel._bench_floor(spans) == expected
    assert list(_tessel._bench_floor(spans, True)) == expected
    assert "_bench_floor" not in tessel.__all__ and "_bench_spans" not in tessel.__all__
