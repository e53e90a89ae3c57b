"""The Pythonic layer: the Lexer and Stream classes, the keyword-friendly module functions,
kind names, pickling, the token iterator's two paths, the error display and bad arguments."""

import inspect
import pickle

import pytest

import _tessel
import tessel
from tessel import _lexer

RULES = [
    (1, r"[A-Za-z_]\w*", False),
    (2, r"\d+", False),
    (3, r"[ \t\n=]+", True),
    (4, r'"', False, None, ("push", "string")),
    (5, r'[^"\\]+|\\.', False, ["string"]),
    (6, r'"', False, ["string"], ("pop",)),
]
NAMES = {1: "name", 2: "number", 4: "quote", 5: "string", 6: "quote"}
TEXT = 'x = "café" 42\ny'


def plain(tokens):
    return [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in tokens]


@pytest.fixture(scope="module")
def lexer():
    return tessel.Lexer(RULES, names=NAMES, columns="codepoints")


@pytest.fixture(scope="module")
def python():
    return tessel.Lexer.bundled("python", columns="codepoints")


# --- the Lexer agrees with the bare functions -------------------------------------------------

@pytest.mark.parametrize("text", [TEXT, TEXT.encode("utf-8"), "", b""])
@pytest.mark.parametrize("eof", [False, True])
def test_tokenize_iter_and_stream_match_the_module(lexer, text, eof):
    handle = _tessel.compile(RULES, (), "raise", "codepoints")
    expected = _tessel.tokenize(handle, text, eof)
    assert lexer.tokenize(text, eof=eof) == expected
    assert tessel.tokenize(lexer, text, eof=eof) == expected
    assert tessel.tokenize(handle, text, eof) == expected
    assert list(lexer.iter_tokens(text, eof=eof)) == expected
    assert list(tessel.iter_tokens(handle, text, eof=eof)) == expected
    stream = lexer.stream()
    got = []
    for i in range(len(text)):
        got += stream.feed(text[i:i + 1])
    got += stream.finish()
    assert got == [t for t in expected if t.kind != tessel.END_OF_INPUT]
    if text:
        kind = type(expected[0].lexeme)
        assert all(type(t.lexeme) is kind for t in got)


def test_keyword_and_positional_module_functions_agree():
    by_kw = tessel.compile(RULES, errors="token", columns="utf16", dfa="auto", dfa_modes=())
    by_pos = tessel.compile(RULES, (), "token", "utf16", "auto")
    text = "a $ b"
    assert tessel.tokenize(by_kw, text, eof=True) == tessel.tokenize(by_pos, text, True)
    assert tessel.column_unit(handle=by_kw) == "utf16"
    cursor = tessel.scan_start(by_kw, text=text, eof=True)
    assert [tessel.scan_next(cursor) for _ in range(4)][-1].kind == tessel.END_OF_INPUT
    assert tessel.scan_next(cursor) is None
    assert tessel.end_of(by_kw, text="ab", lexeme="b", offset=1, line=1, column=2) == (2, 1, 3)
    rules, names = tessel.parse_grammar(text="a\tb\n", origin="x.lex")
    assert names == ["a"] and rules[0][1] == "b"
    stream = tessel.stream_start(by_kw)
    assert tessel.stream_feed(stream, chunk="a ") == [tessel.Token(1, "a", tessel.Position(0, 1, 1))]
    assert tessel.stream_buffered(stream) == 1 and tessel.stream_window(stream) == (0, b"a ")
    assert tessel.stream_finish(stream) == []


@pytest.mark.parametrize("policy", ["raise", "token"])
def test_error_policies(policy):
    lx = tessel.Lexer(RULES, errors=policy)
    text = "ab $$ c"
    if policy == "raise":
        with pytest.raises(tessel.LexError) as info:
            lx.tokenize(text)
        assert (info.value.offset, info.value.line, info.value.column) == (3, 1, 4)
        with pytest.raises(tessel.LexError):
            list(lx.iter_tokens(text))
    else:
        tokens = lx.tokenize(text)
        assert [(lx.kind_name(t.kind), t.lexeme) for t in tokens] == [
            ("1", "ab"), ("ERROR", "$$"), ("1", "c")]
    assert lx.options["errors"] == policy


def test_positional_options_are_refused():
    with pytest.raises(TypeError):
        tessel.Lexer(RULES, (), "token")
    with pytest.raises(TypeError):
        tessel.Lexer(RULES).tokenize("a", True)


# --- the token iterator: native when the extension has one, a scan generator otherwise ---------

@pytest.mark.parametrize("path", ["scan", "native"])
def test_iterator_paths_agree_with_tokenize(monkeypatch, path):
    if path == "native":
        if not hasattr(_tessel, "TokenIterator"):
            pytest.skip("this build of the extension has no native token iterator")
        monkeypatch.setattr(_lexer, "_iter_tokens", _lexer._iter_native)
    else:
        monkeypatch.setattr(_lexer, "_iter_tokens", _lexer._iter_scan)
    lx = tessel.Lexer(RULES)
    for text in (TEXT, TEXT.encode(), "", "   "):
        for eof in (False, True):
            assert list(lx.iter_tokens(text, eof=eof)) == lx.tokenize(text, eof=eof)
    # Tokens before an error come out; the error comes at the step that reaches it.
    it = lx.iter_tokens("ab cd $ ef")
    assert [next(it).lexeme, next(it).lexeme] == ["ab", "cd"]
    with pytest.raises(tessel.LexError) as info:
        next(it)
    assert info.value.offset == 6
    with pytest.raises(tessel.LexError):
        list(lx.iter_tokens("$"))
    with pytest.raises(TypeError, match="expected str or bytes"):
        list(lx.iter_tokens(42))


def test_the_iterator_is_lazy():
    lx = tessel.Lexer([(1, "a", False), (2, " ", True)])
    it = lx.iter_tokens("a " * 100000 + "$")
    assert [t.offset for t, _ in zip(it, range(3))] == [0, 2, 4]


# --- constructors, kind names and properties --------------------------------------------------

def test_grammar_constructors_and_kind_names(tmp_path):
    grammar = "#: extensions .kv\nkey\t[a-z]+\neq\t=\nspace\t[ ]+\tskip\n"
    path = tmp_path / "kv.lex"
    path.write_text(grammar, encoding="utf-8")
    for lx in (tessel.Lexer.from_grammar(grammar, origin="kv.lex"),
               tessel.Lexer.from_grammar(grammar.encode(), origin="kv.lex"),
               tessel.Lexer.from_file(path), tessel.Lexer.from_file(str(path))):
        tokens = lx.tokenize("a = b", eof=True)
        assert [lx.kind_name(t.kind) for t in tokens] == ["key", "eq", "key", "END_OF_INPUT"]
        assert lx.extensions == (".kv",)
        assert lx.names == {0: "key", 1: "eq", 2: "space"}
    assert tessel.Lexer.from_file(path).origin == str(path)
    renamed = tessel.Lexer.from_grammar(grammar, names=["K", "E", "S"])
    assert renamed.kind_name(0) == "K"


@pytest.mark.parametrize("kind,name", [
    (tessel.END_OF_INPUT, "END_OF_INPUT"), (tessel.NEWLINE, "NEWLINE"),
    (tessel.INDENT, "INDENT"), (tessel.DEDENT, "DEDENT"), (tessel.ERROR, "ERROR"),
    (1, "name"), (5, "string"), (3, "3"),
])
def test_kind_name_table(lexer, kind, name):
    assert lexer.kind_name(kind) == name


def test_kind_name_refuses_unknown_and_non_int(lexer):
    with pytest.raises(ValueError, match="no rule of this lexer has kind 99"):
        lexer.kind_name(99)
    with pytest.raises(TypeError):
        lexer.kind_name("name")


def test_reserved_constants_match_the_extension():
    handle = _tessel.compile([(1, "a", False)], (), "token")
    kinds = [t.kind for t in _tessel.tokenize(handle, "a$", True)]
    assert kinds == [1, tessel.ERROR, tessel.END_OF_INPUT]
    assert [tessel.END_OF_INPUT, tessel.NEWLINE, tessel.INDENT, tessel.DEDENT, tessel.ERROR] == \
        [-2**31 + i for i in range(5)]


def test_bundled_grammars_and_inspection(python):
    names = tessel.bundled_grammars()
    assert {"json", "python"} <= set(names) and names == sorted(names)
    assert python.column_unit == "codepoints"
    assert isinstance(python.dfa_modes_active, list)
    assert python.pike_rules("default") == _tessel.pike_rules(python.handle, "default")
    with pytest.raises(tessel.error, match="unknown mode"):
        python.pike_rules("nowhere")
    with pytest.raises(ValueError, match="no bundled grammar named 'cobol'"):
        tessel.Lexer.bundled("cobol")
    with pytest.raises(AttributeError):
        python.column_unit = "bytes"


@pytest.mark.parametrize("text,token_index", [("ab\ncd é", 1), ("ab\ncd é", 2), ("x\n", 0)])
def test_end_of_a_token(text, token_index):
    lx = tessel.Lexer([(1, r"\w+", False), (2, r"\s+", False)], columns="utf16")
    tok = lx.tokenize(text)[token_index]
    with_text = lx.end(tok, text)
    assert lx.end(tok) == with_text
    assert with_text.offset == tok.offset + len(tok.lexeme.encode())
    with pytest.raises(ValueError):
        lx.end(tok, "zz" + text)
    with pytest.raises(TypeError):
        lx.end((1, "a", 0, 1, 1, "default"))


# --- layout over tokenize's own output --------------------------------------------------------

PY_SOURCE = "def f(a,\n      b):\n\tif a:\n\t\treturn b\n\treturn (\n  a)\n"


def test_layout_takes_tokens_and_uses_the_grammar_defaults(python):
    tokens = python.tokenize(PY_SOURCE, eof=True)
    out = python.layout(tokens, source=PY_SOURCE)
    explicit = tessel.layout(plain(tokens), insignificant=["bracket", "continued"],
                             source=PY_SOURCE, tabs="python")
    assert out == explicit
    kinds = [python.kind_name(t.kind) for t in out]
    assert kinds.count("INDENT") == 2 and kinds.count("DEDENT") == 2
    assert kinds[-3:] == ["NEWLINE", "DEDENT", "END_OF_INPUT"]
    # Without the grammar's bracket mode, the continuation line is a logical line of its own.
    src = "x = (1,\n  2)\ny\n"
    tokens2 = python.tokenize(src, eof=True)
    flat = [python.kind_name(t.kind) for t in python.layout(tokens2, insignificant=(), tabs="columns")]
    joined = [python.kind_name(t.kind) for t in python.layout(tokens2, source=src)]
    assert (flat.count("NEWLINE"), flat.count("INDENT")) == (3, 1)
    assert (joined.count("NEWLINE"), joined.count("INDENT")) == (2, 0)
    with pytest.raises(ValueError, match="pass source="):
        python.layout(tokens)


def test_layout_of_a_rule_list_lexer_measures_columns():
    lx = tessel.Lexer([(1, r"\w+", False), (2, r"[ \n]+", True)])
    tokens = lx.tokenize("a\n  b\nc", eof=True)
    kinds = [t.kind for t in lx.layout(tokens)]
    assert kinds == [1, tessel.NEWLINE, tessel.INDENT, 1, tessel.NEWLINE, tessel.DEDENT, 1,
                     tessel.NEWLINE, tessel.END_OF_INPUT]
    assert tessel.layout(tokens) == lx.layout(tokens)
    with pytest.raises(tessel.LayoutError) as info:
        lx.layout(lx.tokenize("a\n  b\n c", eof=True))
    assert (info.value.line, info.value.column) == (3, 2)


# --- pickling ---------------------------------------------------------------------------------

@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_pickling_lexers_tokens_and_positions(lexer, python, protocol):
    for lx, text in ((lexer, TEXT), (python, PY_SOURCE)):
        copy = pickle.loads(pickle.dumps(lx, protocol))
        assert copy.tokenize(text, eof=True) == lx.tokenize(text, eof=True)
        assert copy.names == lx.names and copy.options == lx.options
        assert copy.origin == lx.origin and copy.handle is not lx.handle
    tokens = python.layout(python.tokenize(PY_SOURCE, eof=True), source=PY_SOURCE)
    tokens += tessel.Lexer(RULES).tokenize(TEXT.encode())
    back = pickle.loads(pickle.dumps(tokens, protocol))
    assert back == tokens and [type(t.lexeme) for t in back] == [type(t.lexeme) for t in tokens]
    pos = tessel.Position(7, 2, 3)
    assert pickle.loads(pickle.dumps(pos, protocol)) == pos
    assert hash(pickle.loads(pickle.dumps(pos, protocol))) == hash(pos)
    # A grammar lexer loaded elsewhere keeps its layout defaults.
    copy = pickle.loads(pickle.dumps(python, protocol))
    assert copy.layout(copy.tokenize(PY_SOURCE, eof=True), source=PY_SOURCE) == tokens[:len(
        python.layout(python.tokenize(PY_SOURCE, eof=True), source=PY_SOURCE))]


# --- the error display ------------------------------------------------------------------------

def test_format_lex_error_points_at_the_character():
    lx = tessel.Lexer(RULES, columns="codepoints")
    text = "ok\n\tab = \"é\" ~ 2\n"
    with pytest.raises(tessel.LexError) as info:
        lx.tokenize(text)
    shown = tessel.format_error(info.value, text, origin="f.txt")
    assert shown.splitlines() == [
        "f.txt:2:11: " + str(info.value),
        "    \tab = \"é\" ~ 2",
        "    \t         ^",
        "unexpected '~' (U+007E)",
    ]
    # The caret comes from the byte offset, so bytes text and a bytes column unit agree.
    assert tessel.format_error(info.value, text.encode()) .splitlines()[1:] == \
        shown.splitlines()[1:]


def test_format_layout_and_grammar_errors():
    lx = tessel.Lexer([(1, r"\w+", False), (2, r"[ \n]+", True)])
    text = "a\n    b\n  c\n"
    with pytest.raises(tessel.LayoutError) as info:
        lx.layout(lx.tokenize(text, eof=True))
    assert tessel.format_error(info.value, text).splitlines() == [
        "<string>:3:3: inconsistent indentation", "      c", "      ^"]
    grammar = "a\tb\nc\t(\n"
    with pytest.raises(tessel.GrammarError) as ginfo:
        tessel.Lexer.from_grammar(grammar, origin="g.lex")
    lines = tessel.format_error(ginfo.value, grammar).splitlines()
    assert lines[0] == str(ginfo.value) and lines[0].startswith("g.lex:2:3: invalid regex")
    assert lines[1:] == ["    c\t(", "     \t^"]
    with pytest.raises(TypeError):
        tessel.format_error(ValueError("x"), "")
    with pytest.raises(TypeError):
        tessel.format_error(info.value, 5)


def test_format_error_on_bytes_that_are_not_utf8():
    lx = tessel.Lexer([(1, "a", False)])
    with pytest.raises(tessel.LexError) as info:
        lx.tokenize(b"aa\xffa")
    assert tessel.format_error(info.value, b"aa\xffa").splitlines()[-1] == \
        "unexpected the byte 0xFF, which is not UTF-8"


def test_compile_error_names_the_rule_and_pattern():
    with pytest.raises(tessel.error) as info:
        tessel.Lexer([(1, "a", False), (7, "[b", False)], names={7: "bracket"})
    assert str(info.value).startswith("rule 1 (kind 7, 'bracket'), pattern '[b': regex_error at")
    with pytest.raises(tessel.GrammarError, match=r"g.lex:2:"):
        tessel.Lexer.from_grammar("a\tb\nc\t[\n", origin="g.lex")


# --- bad arguments ----------------------------------------------------------------------------

@pytest.mark.parametrize("args,kwargs,exc,message", [
    ((5,), {}, TypeError, "rules must be a sequence of rule tuples, not int"),
    (("abc",), {}, TypeError, "rules must be a sequence"),
    (([(1, "a")],), {}, TypeError, r"rule 0 must be a tuple \(kind, pattern, skip"),
    (([(1, "a", False), ("x", "a", False)],), {}, TypeError, "rule 1: kind must be an int, not str"),
    (([(True, "a", False)],), {}, TypeError, "kind must be an int, not bool"),
    (([(2**40, "a", False)],), {}, ValueError, "does not fit in 32 bits"),
    (([(1, b"a", False)],), {}, TypeError, "rule 0: pattern must be a str, not bytes"),
    (([(1, "a", False, "string")],), {}, TypeError, "in_mode must be a sequence of mode names"),
    (([(1, "a", False, [3])],), {}, TypeError, "in_mode must hold mode names"),
    (([(1, "a", False, None, ("push",))],), {}, ValueError, "'push' action needs one target"),
    (([(1, "a", False, None, ("pop", "x"))],), {}, ValueError, "'pop' action takes no extra"),
    (([(1, "a", False, None, ("jump", "x"))],), {}, ValueError, "unknown action 'jump'"),
    (([(1, "a", False, None, "pop")],), {}, TypeError, "action must be None or a tuple"),
    ((RULES,), {"errors": "Token"}, ValueError, "errors must be 'raise' or 'token', not 'Token'"),
    ((RULES,), {"errors": 1}, TypeError, "errors must be 'raise' or 'token', not int"),
    ((RULES,), {"columns": "chars"}, ValueError,
     "columns must be 'bytes', 'codepoints', or 'utf16', not 'chars'"),
    ((RULES,), {"dfa": None}, TypeError, "dfa must be 'auto' or 'requested', not NoneType"),
    ((RULES,), {"dfa_modes": "default"}, TypeError, "dfa_modes must be a sequence of mode names"),
    ((RULES,), {"names": 5}, TypeError, "names must map kinds to names"),
    ((RULES,), {"names": {"a": 1}}, TypeError, "names must map int kinds to str names"),
    ((RULES,), {"colums": "bytes"}, TypeError, "unexpected keyword argument 'colums'"),
])
def test_bad_lexer_arguments(args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        tessel.Lexer(*args, **kwargs)


def test_bad_arguments_to_methods_and_functions(lexer):
    for call, exc in [
        (lambda: lexer.tokenize(5), TypeError),
        (lambda: lexer.stream().feed(5), TypeError),
        (lambda: lexer.layout(5), TypeError),
        (lambda: lexer.layout([], tabs="spaces"), ValueError),
        (lambda: lexer.layout([], insignificant="bracket"), TypeError),
        (lambda: lexer.pike_rules(0), TypeError),
        (lambda: tessel.Lexer.from_grammar(5), TypeError),
        (lambda: tessel.Lexer.from_grammar("a\tb\n", origin=5), TypeError),
        (lambda: tessel.Lexer.from_file("/nonexistent/x.lex"), FileNotFoundError),
        (lambda: tessel.layout("abc"), TypeError),
        (lambda: tessel.Stream(lexer).feed(None), TypeError),
    ]:
        with pytest.raises(exc):
            call()
    stream = lexer.stream()
    stream.feed("a")
    with pytest.raises(TypeError, match="stream fed bytes after str"):
        stream.feed(b"b")


# --- signatures, typing and version -----------------------------------------------------------

def test_signatures_are_readable():
    public = [getattr(tessel, n) for n in tessel.__all__ if callable(getattr(tessel, n))
              and not isinstance(getattr(tessel, n), type)]
    for fn in public:
        inspect.signature(fn)
    for name, member in inspect.getmembers(tessel.Lexer):
        if not name.startswith("_") and callable(member):
            inspect.signature(member)
    sig = inspect.signature(tessel.Lexer.tokenize)
    assert sig.parameters["eof"].kind is inspect.Parameter.KEYWORD_ONLY
    assert list(inspect.signature(tessel.Lexer).parameters) == [
        "rules", "dfa_modes", "errors", "columns", "dfa", "names"]


def test_version_and_typing_markers():
    from importlib import metadata
    from importlib.resources import files

    assert tessel.__version__ == metadata.version("tessel")
    assert (files("tessel") / "py.typed").is_file()
