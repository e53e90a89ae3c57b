"""parse_grammar and layout from Python."""

import pytest

import _tessel
import tessel

NEWLINE, INDENT, DEDENT, EOI = -2147483647, -2147483646, -2147483645, -2147483648

GRAMMAR = (
    "# a tiny language\n"
    "WS\t[ ]+\tskip\n"
    "NL\t\\n\tskip\n"
    "NAME\t[a-z]+\n"
    "\n"
    "LP\t\\(\tpush=paren\n"
    "PWS\t[ \\n]+\tskip in=paren\n"
    "PNAME\t[a-z]+\tin=paren\n"
    "RP\t\\)\tpop in=paren\n"
)


def as_tuples(tokens):
    return [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in tokens]


def test_parse_grammar_gives_compile_ready_rules():
    rules, names = _tessel.parse_grammar(GRAMMAR)
    assert names == ["WS", "NL", "NAME", "LP", "PWS", "PNAME", "RP"]
    assert rules[0] == (0, "[ ]+", True, [], None)
    assert rules[3] == (3, "\\(", False, [], ("push", "paren"))
    assert rules[6] == (6, "\\)", False, ["paren"], ("pop",))
    lx = _tessel.compile(rules)
    toks = _tessel.tokenize(lx, "ab (c\n d) e")
    assert [(names[t.kind], t.lexeme, t.mode) for t in toks] == [
        ("NAME", "ab", "default"), ("LP", "(", "default"), ("PNAME", "c", "paren"),
        ("PNAME", "d", "paren"), ("RP", ")", "paren"), ("NAME", "e", "default")]
    # bytes and str texts are the same grammar
    assert _tessel.parse_grammar(GRAMMAR.encode()) == (rules, names)


@pytest.mark.parametrize(
    "text, origin, message, line, column, cause",
    [
        ("", "<string>", "<string>: no rules (the grammar is empty)", 0, 0,
         "no rules (the grammar is empty)"),
        ("A\ta\nB\n", "g.lex", "g.lex:2: expected 'name<TAB>pattern' with an optional <TAB>options",
         2, 0, "expected 'name<TAB>pattern' with an optional <TAB>options"),
        ("A\ta\n\nB\tb\tskip bogus\n", "x", "x:3:10: unknown option 'bogus' "
         "(expected skip, in=, push=, set= or pop)", 3, 10,
         "unknown option 'bogus' (expected skip, in=, push=, set= or pop)"),
        ("A\ta(\n", "<string>", "<string>:1:4: invalid regex: missing ), unterminated subpattern",
         1, 4, "invalid regex: missing ), unterminated subpattern"),
    ],
)
def test_grammar_errors(text, origin, message, line, column, cause):
    with pytest.raises(tessel.GrammarError) as info:
        _tessel.parse_grammar(text, origin)
    e = info.value
    assert str(e) == message
    assert (e.line, e.column, e.cause) == (line, column, cause)
    assert not hasattr(e, "offset")


def lex_for_layout(text):
    rules, _ = _tessel.parse_grammar(GRAMMAR)
    toks = _tessel.tokenize(_tessel.compile(rules), text, True)
    return [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in toks]


def test_layout_blocks_and_insignificant_modes():
    src = "a\n  b (c\nd)\n  e\nf"
    toks = lex_for_layout(src)
    out = as_tuples(_tessel.layout(toks, ["paren"], src))
    kinds = [k for k, *_ in out]
    assert kinds == [2, NEWLINE, INDENT, 2, 3, 5, 5, 6, NEWLINE, 2, NEWLINE, DEDENT, 2, NEWLINE, EOI]
    # Inserted tokens: empty str lexeme, mode "default", at the next token's position.
    assert out[2] == (INDENT, "", 4, 2, 3, "default")
    # Without the insignificant mode, "d" starts a logical line at column 1: a dedent.
    with_paren = [k for k, *_ in as_tuples(_tessel.layout(toks))]
    assert with_paren.count(NEWLINE) == 5


def test_layout_errors_and_arguments():
    toks = [(1, "a", 0, 1, 1), (1, "b", 6, 2, 5), (1, "c", 10, 3, 3), (EOI, "", 11, 3, 4)]
    with pytest.raises(tessel.LayoutError, match="^inconsistent indentation$") as info:
        _tessel.layout(toks)
    assert (info.value.offset, info.value.line, info.value.column) == (10, 3, 3)
    src = "a\n\tb\n        c\n"
    toks = [(1, "a", 0, 1, 1), (1, "b", 3, 2, 2), (1, "c", 13, 3, 9), (EOI, "", 15, 4, 1)]
    with pytest.raises(tessel.LayoutError, match="^inconsistent use of tabs and spaces in indentation$"):
        _tessel.layout(toks, (), src, "python")
    # By columns the same lines are simply two deeper blocks.
    assert [t.kind for t in _tessel.layout(toks, (), src)] == [
        1, NEWLINE, INDENT, 1, NEWLINE, INDENT, 1, NEWLINE, DEDENT, DEDENT, EOI]
    with pytest.raises(ValueError, match="^tabs must be 'columns' or 'python', not 'spaces'$"):
        _tessel.layout(toks, (), None, "spaces")
    with pytest.raises(ValueError, match="^tabs='python' measures the source's indentation: pass source=$"):
        _tessel.layout(toks, (), None, "python")
    with pytest.raises(ValueError, match="^tessel::layout: a token's offset lies beyond the source it was given$"):
        _tessel.layout([(1, "a", 99, 1, 1)], (), "a", "python")
    with pytest.raises(_tessel.error, match="^insignificant_modes must be a sequence of mode names, not a bare str$"):
        _tessel.layout(toks, "paren")


def test_layout_wants_tuples_not_tokens():
    lx = _tessel.compile([(1, "[a-z]+", False)])
    toks = _tessel.tokenize(lx, "ab", True)
    with pytest.raises(TypeError, match=r"^layout: token 0 must be a tuple .*not Token$"):
        _tessel.layout(toks)
    plain = [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in toks]
    assert [t.kind for t in _tessel.layout(plain)] == [1, NEWLINE, EOI]


def test_layout_lexemes_come_back_as_str():
    out = _tessel.layout([(1, b"caf\xc3\xa9", 0, 1, 1), (EOI, b"", 5, 1, 5)])
    assert out[0].lexeme == "caf\u00e9" and out[-1].lexeme == ""


def test_layout_of_nothing():
    assert as_tuples(_tessel.layout([])) == [(EOI, "", 0, 1, 1, "default")]
    assert as_tuples(_tessel.layout([(EOI, "", 7, 2, 3, "default")])) == [(EOI, "", 7, 2, 3, "default")]


def test_all_sixteen_functions_in_order():
    import inspect  # noqa: F401  (documentation only)
    expected = ["compile", "dfa_modes_active", "pike_rules", "column_unit", "kestrel_version",
                "parse_grammar", "end_of", "tokenize", "scan_start", "scan_next", "stream_start",
                "stream_feed", "stream_finish", "stream_buffered", "stream_window", "layout"]
    assert all(callable(getattr(_tessel, n)) for n in expected)
    for n in expected:
        doc = getattr(_tessel, n).__doc__
        assert doc.split("\n")[0].startswith(n + "("), n
