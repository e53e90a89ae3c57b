"""compile, the inspection wrappers, tokenize, scan and end_of from Python."""

import sys
import threading

import pytest

import _tessel
import tessel
from _tessel import Position, Token

WORDS = [(1, r"[A-Za-z_]\w*", False), (2, r"\d+", False), (3, r"[ \t\n]+", True)]


def kinds(tokens):
    return [(t.kind, t.lexeme) for t in tokens]


def test_function_table_order_and_docstrings():
    names = [n for n in ("compile", "dfa_modes_active", "pike_rules", "column_unit",
                         "kestrel_version", "end_of", "tokenize", "scan_start", "scan_next",
                         "stream_start", "stream_feed", "stream_finish", "stream_buffered",
                         "stream_window") if hasattr(_tessel, n)]
    assert len(names) == 14
    assert _tessel.compile.__doc__.startswith(
        "compile(rules, dfa_modes=(), errors='raise', columns='bytes', dfa='auto')\n"
        "Compile an ordered list of rules into a lexer handle.\n")
    assert "\u2014 'bytes' (default," in _tessel.compile.__doc__
    assert _tessel.tokenize.__doc__.splitlines()[0] == "tokenize(handle, text, eof=False)"
    assert _tessel.stream_window.__doc__.splitlines()[0] == "stream_window(stream) -> (offset, bytes)"


def test_tokenize_basic_and_positions():
    lx = _tessel.compile(WORDS)
    toks = _tessel.tokenize(lx, "ab 12\ncd")
    assert kinds(toks) == [(1, "ab"), (2, "12"), (1, "cd")]
    assert [(t.offset, t.line, t.column, t.mode) for t in toks] == [
        (0, 1, 1, "default"), (3, 1, 4, "default"), (6, 2, 1, "default")]
    assert toks[0] == Token(1, "ab", Position(0, 1, 1))
    # All tokens of one list share one mode-name object.
    assert toks[0].mode is toks[2].mode


def test_bytes_text_gives_bytes_lexemes_and_the_same_offsets():
    lx = _tessel.compile(WORDS)
    text = "h\u00e9 42"
    s = _tessel.tokenize(lx, text)
    b = _tessel.tokenize(lx, text.encode())
    assert [t.lexeme for t in b] == [t.lexeme.encode() for t in s]
    assert [t.offset for t in b] == [t.offset for t in s] == [0, 4]


def test_longest_match_then_rule_order():
    lx = _tessel.compile([(1, "if", False), (2, "[a-z]+", False)])
    assert kinds(_tessel.tokenize(lx, "if")) == [(1, "if")]
    assert kinds(_tessel.tokenize(lx, "iff")) == [(2, "iff")]
    lx = _tessel.compile([(2, "[a-z]+", False), (1, "if", False)])
    assert kinds(_tessel.tokenize(lx, "if")) == [(2, "if")]


def test_eof_token_on_empty_text():
    lx = _tessel.compile(WORDS)
    (tok,) = _tessel.tokenize(lx, "", True)
    assert (tok.kind, tok.lexeme, tok.offset, tok.line, tok.column, tok.mode) == (
        -2147483648, "", 0, 1, 1, "default")
    assert _tessel.tokenize(lx, "") == []


def test_lex_error_class_and_attributes():
    lx = _tessel.compile(WORDS)
    with pytest.raises(tessel.LexError) as info:
        _tessel.tokenize(lx, "ab\n  $x")
    e = info.value
    assert str(e) == "no rule matches in mode 'default' (entered at 1:1)"
    assert (e.offset, e.line, e.column) == (5, 2, 3)
    assert not hasattr(e, "tokens")


def test_error_tokens_policy():
    lx = _tessel.compile([(1, "[a-z]+", False)], (), "token")
    toks = _tessel.tokenize(lx, "ab12cd")
    assert [(t.kind, t.lexeme, t.offset) for t in toks] == [
        (1, "ab", 0), (-2147483644, "12", 2), (1, "cd", 4)]


def test_modes_push_pop_and_token_modes():
    rules = [
        (1, '"', False, None, ("push", "str")),
        (2, r'[^"\\]+', False, ["str"]),
        (3, '"', False, ["str"], ("pop",)),
        (4, "[a-z]+", False),
    ]
    lx = _tessel.compile(rules)
    toks = _tessel.tokenize(lx, 'a"xy"b')
    assert [(t.kind, t.lexeme, t.mode) for t in toks] == [
        (4, "a", "default"), (1, '"', "default"), (2, "xy", "str"), (3, '"', "str"),
        (4, "b", "default")]
    with pytest.raises(tessel.LexError, match=r"^unterminated mode 'str' \(entered at 1:2\)$") as info:
        _tessel.tokenize(lx, 'a"xy')
    assert (info.value.offset, info.value.line, info.value.column) == (1, 1, 2)
    # Every rule here suits a DFA: both modes run on one, no rule per rule.
    assert _tessel.pike_rules(lx, "str") == []
    assert _tessel.pike_rules(lx, "default") == []
    assert _tessel.dfa_modes_active(lx) == ["default", "str"]
    plain = _tessel.compile(rules, (), None, None, "requested")
    assert _tessel.pike_rules(plain, "str") == [1, 2]
    assert _tessel.pike_rules(plain, "default") == [0, 3]
    assert _tessel.dfa_modes_active(plain) == []


@pytest.mark.parametrize(
    "rules, message",
    [
        ([(1, "a", False, None, ("pop", "x"))], "'pop' action takes no extra argument"),
        ([(1, "a", False, None, ("push",))], "'push' action needs a target mode"),
        ([(1, "a", False, None, ("set",))], "'set' action needs a target mode"),
        ([(1, "a", False, None, ("jump", "x"))], "unknown action 'jump' (expected push, pop or set)"),
        ([(1, "a", False, None, ["push", "x"])],
         'action must be None or a tuple ("push", mode) / ("set", mode) / ("pop",)'),
        ([(1, "a", False, None, ("push", 3))],
         'action must be None or a tuple ("push", mode) / ("set", mode) / ("pop",)'),
        ([(1, "a", False, "abc")], "in_mode must be a sequence of mode names, not a bare str"),
        ([(1, "a", False, 7)], "in_mode must be a sequence of str"),
        ([(1, "a", False, ["x", 1])], "in_mode entries must be str"),
        ([(1, "(", False)], "rule 0: regex_error at 0: missing ), unterminated subpattern"),
        ([(1, "a", False), (2, "a{1001}", False)], "rule 1: regex_error at 5: repetition count too large"),
        ([(-2147483644, "a", False)],
         "rule 0: kind -2147483644 is reserved (tessel::end_of_input to tessel::error)"),
        ([(1, "", False, None, ("push", "x")), (2, "b", False, ["x"])],
         "a transition rule must consume input (empty pattern)"),
        ([(1, "a", False, None, ("push", "nowhere"))],
         "a transition targets the empty mode 'nowhere' (no rule is active in it)"),
    ],
)
def test_compile_errors(rules, message):
    with pytest.raises(_tessel.error) as info:
        _tessel.compile(rules)
    assert str(info.value) == message
    assert type(info.value) is _tessel.error


def test_compile_argument_errors():
    with pytest.raises(ValueError, match=r"^errors must be 'raise' or 'token', not 'Token'$"):
        _tessel.compile(WORDS, (), "Token")
    with pytest.raises(ValueError, match=r"^columns must be 'bytes', 'codepoints', or 'utf16', not 'chars'$"):
        _tessel.compile(WORDS, (), None, "chars")
    with pytest.raises(ValueError, match=r"^dfa must be 'auto' or 'requested', not 'yes'$"):
        _tessel.compile(WORDS, (), None, None, "yes")
    with pytest.raises(_tessel.error, match="^dfa_modes names an unknown mode: nope$"):
        _tessel.compile(WORDS, ["nope"])
    with pytest.raises(_tessel.error, match="^dfa_modes must be a sequence of mode names, not a bare str$"):
        _tessel.compile(WORDS, "default")
    with pytest.raises(TypeError):
        _tessel.compile(rules=WORDS)  # positional only
    with pytest.raises(TypeError):
        _tessel.compile(5)  # no length
    with pytest.raises(TypeError):
        _tessel.compile([(1.5, "a", False)])
    with pytest.raises(ValueError):
        _tessel.compile([(1, "a\0", False)])


def test_a_rule_that_is_not_a_tuple_is_a_type_error():
    with pytest.raises(TypeError, match=r"^rule 1 must be a tuple .*not list$"):
        _tessel.compile([(1, "a", False), [2, "b", False]])


def test_pop_rule_compiles_and_pops_at_root_raise():
    lx = _tessel.compile([(1, "a", False, None, ("pop",))])
    with pytest.raises(tessel.LexError, match="^cannot pop the mode stack: already at the root mode$"):
        _tessel.tokenize(lx, "a")


def test_typed_wrapper_errors():
    lx = _tessel.compile(WORDS)
    with pytest.raises(TypeError, match=r"^expected 2 argument\(s\), got 1$"):
        _tessel.pike_rules(lx)
    with pytest.raises(TypeError, match="^expected a tessel.lexer handle$"):
        _tessel.column_unit("abc")
    with pytest.raises(TypeError, match="^expected str, got int$"):
        _tessel.pike_rules(lx, 3)
    with pytest.raises(_tessel.error, match="^pike_rules names an unknown mode: zz$"):
        _tessel.pike_rules(lx, "zz")
    assert _tessel.column_unit(lx) == "bytes"
    assert _tessel.column_unit(_tessel.compile(WORDS, (), None, "utf16")) == "utf16"


def test_wrong_capsules_give_the_interpreters_error():
    lx = _tessel.compile(WORDS)
    cur = _tessel.scan_start(lx, "a")
    with pytest.raises(ValueError):
        _tessel.tokenize(cur, "a")
    with pytest.raises(ValueError):
        _tessel.scan_next(lx)
    with pytest.raises(TypeError, match="^expected str or bytes$"):
        _tessel.tokenize(lx, 5)


def test_scan_yields_tokens_then_none_and_eof_once():
    lx = _tessel.compile(WORDS)
    cur = _tessel.scan_start(lx, "a 1", True)
    got = []
    while True:
        t = _tessel.scan_next(cur)
        if t is None:
            break
        got.append((t.kind, t.lexeme))
    assert got == [(1, "a"), (2, "1"), (-2147483648, "")]
    assert _tessel.scan_next(cur) is None


def test_scan_error_after_earlier_tokens_then_none():
    lx = _tessel.compile(WORDS)
    cur = _tessel.scan_start(lx, "a $")
    assert _tessel.scan_next(cur).lexeme == "a"
    with pytest.raises(tessel.LexError) as info:
        _tessel.scan_next(cur)
    assert info.value.offset == 2
    assert _tessel.scan_next(cur) is None
    with pytest.raises(tessel.LexError):
        _tessel.scan_start(lx, "$")


def test_scan_keeps_lexer_and_text_alive():
    lx = _tessel.compile(WORDS)
    text = "".join(["abc ", "def"])
    cur = _tessel.scan_start(lx, text)
    before = sys.getrefcount(lx)
    del lx, text
    assert [_tessel.scan_next(cur).lexeme for _ in range(2)] == ["abc", "def"]
    assert before >= 3


@pytest.mark.parametrize(
    "columns, text, lexeme, expected",
    [
        ("bytes", "ab\ncd", "ab\ncd", (5, 2, 3)),
        ("codepoints", "\u00e9x", "\u00e9x", (3, 1, 3)),
        ("utf16", "\U0001F600x", "\U0001F600x", (5, 1, 4)),
        ("bytes", "abc", "", (0, 1, 1)),
    ],
)
def test_end_of(columns, text, lexeme, expected):
    lx = _tessel.compile(WORDS, (), None, columns)
    assert _tessel.end_of(lx, text, lexeme, 0, 1, 1) == expected
    # A str lexeme and a bytes text may be mixed.
    assert _tessel.end_of(lx, text.encode(), lexeme, 0, 1, 1) == expected


@pytest.mark.parametrize(
    "args",
    [("abc", "x", 0, 1, 1), ("abc", "bc", 0, 1, 1), ("abc", "c", 3, 1, 1),
     ("abc", "a", -1, 1, 1), ("abc", "a", 0, 0, 1), ("abc", "a", 0, 1, 0), ("abc", "a", 9, 1, 1)],
)
def test_end_of_refuses_foreign_tokens(args):
    lx = _tessel.compile(WORDS)
    with pytest.raises(ValueError, match="^end_of: the token was not lexed from this source$"):
        _tessel.end_of(lx, *args)


def test_large_texts_release_the_lock_with_the_same_tokens():
    lx = _tessel.compile(WORDS)
    small = ("ab 12 " * 1000)[:4095]
    large = small + "c"
    assert len(large.encode()) == 4096
    assert kinds(_tessel.tokenize(lx, large)) == kinds(_tessel.tokenize(lx, small)) + [(1, "c")]
    # Several threads on one handle at once give identical results.
    text = "word 123 " * 20000
    expected = kinds(_tessel.tokenize(lx, text))
    results = [None] * 4

    def work(i):
        results[i] = kinds(_tessel.tokenize(lx, text))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results)
