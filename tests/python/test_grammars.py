"""The bundled grammars on real inputs: a large JSON document, and Python code checked against
CPython's own tokenize module."""

import io
import json
import os
import random
import sysconfig
import tokenize as py_tokenize
import warnings

import pytest

import tessel

NEWLINE, INDENT, DEDENT, END = -2147483647, -2147483646, -2147483645, -2147483648


def as_tuples(tokens):
    return [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in tokens]


# --- the helpers ------------------------------------------------------------------------------

def test_bundled_grammars_load_and_unknown_names_are_refused():
    rules, names = tessel.load_grammar("json")
    assert names == ["whitespace", "open.object", "close.object", "open.array", "close.array",
                     "punct.name_separator", "punct.value_separator", "string", "number",
                     "keyword.true", "keyword.false", "keyword.null"]
    assert [r[0] for r in rules] == list(range(len(names)))
    rules, names = tessel.load_grammar("python")
    assert set(names) == {"whitespace", "comment", "newline", "continuation", "name", "number",
                          "string", "op", "open", "close"}
    assert tessel.grammar_text("python").startswith("# Python 3 tokens.")
    # The token rules of the continued mode must be the very rules of the other modes.
    for name in ("name", "number", "string", "op", "open"):
        inner = {r[1] for r, n in zip(rules, names) if n == name and "continued" in r[3]}
        outer = {r[1] for r, n in zip(rules, names) if n == name and "continued" not in r[3]}
        assert inner == outer and inner, name
    for bad in ("jsonx", "../__init__", "grammars/json", "", ["json"]):
        with pytest.raises(ValueError, match="no bundled grammar"):
            tessel.grammar_text(bad)


# --- JSON -------------------------------------------------------------------------------------

WORDS = ["plain", "na\u00efve caf\u00e9", "\u65e5\u672c\u8a9e", "emoji \U0001f600 clef \U0001d11e",
         "tab\tnew\nline", 'quote " back \\ slash', "ctl \x01\x1f", "/", ""]
SPACES = ["", " ", "\n  ", "\t", "\r\n", "  \n\t "]


def json_document(seed=8259, size=1 << 20):
    """A valid JSON text of at least `size` bytes using every token form and whitespace byte."""
    rng = random.Random(seed)
    numbers = [lambda: str(rng.randint(-10 ** 6, 10 ** 6)), lambda: "0", lambda: "-0",
               lambda: repr(rng.uniform(-1e3, 1e3)), lambda: "%de%d" % (rng.randint(1, 9), rng.randint(-30, 30)),
               lambda: "-%d.%03dE+%d" % (rng.randint(0, 99), rng.randint(0, 999), rng.randint(0, 9)),
               lambda: str(rng.randint(10 ** 20, 10 ** 21)), lambda: "0.%de-05" % rng.randint(0, 10 ** 6)]
    hand_strings = ['"\\/ \\b\\f\\r\\n\\t \\u00E9\\uD834\\uDD1E \\"\\\\"', '""']

    def ws():
        return rng.choice(SPACES)

    def value(depth):
        r = rng.random()
        if depth < 4 and r < 0.25:
            keys = [rng.choice(WORDS) + str(i) for i in range(rng.randint(0, 5))]
            body = ",".join(ws() + json.dumps(k, ensure_ascii=rng.random() < 0.5) + ws() + ":"
                            + ws() + value(depth + 1) + ws() for k in keys)
            return "{" + (body or ws()) + "}"
        if depth < 4 and r < 0.45:
            return "[" + (",".join(ws() + value(depth + 1) + ws()
                                   for _ in range(rng.randint(0, 6))) or ws()) + "]"
        if r < 0.7:
            return rng.choice(numbers)()
        if r < 0.95:
            if rng.random() < 0.05:
                return rng.choice(hand_strings)
            return json.dumps(rng.choice(WORDS), ensure_ascii=rng.random() < 0.5)
        return rng.choice(["true", "false", "null"])

    parts, length = [], 0
    while length < size:
        parts.append(value(0))
        length += len(parts[-1].encode())
    return ws() + "[" + ("," + ws()).join(parts) + "]" + ws()


FIRST_CHAR_KIND = {"{": "open.object", "}": "close.object", "[": "open.array",
                   "]": "close.array", ":": "punct.name_separator",
                   ",": "punct.value_separator", '"': "string", "t": "keyword.true",
                   "f": "keyword.false", "n": "keyword.null", "-": "number",
                   **{d: "number" for d in "0123456789"}}


def value_of(tokens, names, i=0):
    """Rebuild the JSON value that starts at tokens[i] (strict: no trailing commas); returns
    (value, index after it)."""
    kind = names[tokens[i].kind]
    if kind in ("open.array", "open.object"):
        close = "close.array" if kind == "open.array" else "close.object"
        items, i = [], i + 1
        while names[tokens[i].kind] != close:
            if items:
                assert names[tokens[i].kind] == "punct.value_separator"
                i += 1
            if close == "close.object":
                key, i = value_of(tokens, names, i)
                assert isinstance(key, str) and names[tokens[i].kind] == "punct.name_separator"
                val, i = value_of(tokens, names, i + 1)
                items.append((key, val))
            else:
                val, i = value_of(tokens, names, i)
                items.append(val)
        return (dict(items) if close == "close.object" else items), i + 1
    assert kind in ("string", "number", "keyword.true", "keyword.false", "keyword.null"), kind
    return json.loads(tokens[i].lexeme), i + 1


@pytest.fixture(scope="module")
def json_doc():
    doc = json_document()
    assert len(doc.encode()) >= 1 << 20
    return doc


def test_json_tokens_cover_a_large_document_and_rebuild_its_value(json_doc):
    rules, names = tessel.load_grammar("json")
    tokens = tessel.tokenize(tessel.compile(rules), json_doc)
    data = json_doc.encode()
    # What lies between tokens is whitespace only, and every lexeme is the text at its offset.
    end, pieces = 0, []
    for t in tokens:
        gap = data[end:t.offset]
        assert gap.strip(b" \t\r\n") == b"", (t.offset, gap[:40])
        assert data[t.offset:t.offset + len(t.lexeme.encode())] == t.lexeme.encode()
        pieces += [gap.decode(), t.lexeme]
        end = t.offset + len(t.lexeme.encode())
    assert data[end:].strip(b" \t\r\n") == b""
    assert "".join(pieces) + data[end:].decode() == json_doc
    # The kind agrees with what the first character says, and the token stream parses back.
    assert [names[t.kind] for t in tokens] == [FIRST_CHAR_KIND[t.lexeme[0]] for t in tokens]
    value, used = value_of(tokens, names)
    assert used == len(tokens) and value == json.loads(json_doc)
    assert {"string", "number", "keyword.true", "keyword.false", "keyword.null"} <= {
        names[t.kind] for t in tokens}


def test_json_whitespace_rule_lexes_exactly_the_gaps(json_doc):
    rules, names = tessel.load_grammar("json")
    keep_all = [(r[0], r[1], False) + tuple(r[3:]) for r in rules]
    tokens = tessel.tokenize(tessel.compile(keep_all), json_doc)
    assert "".join(t.lexeme for t in tokens) == json_doc
    spaces = [t.lexeme for t in tokens if names[t.kind] == "whitespace"]
    assert set("".join(spaces)) == set(" \t\r\n")
    # Skipping them loses nothing else.
    skipped = tessel.tokenize(tessel.compile(rules), json_doc)
    assert as_tuples(skipped) == as_tuples(t for t in tokens if names[t.kind] != "whitespace")


@pytest.mark.parametrize("text, offset", [
    ('["a\tb"]', 1),          # raw control character in a string
    ('["\\x41"]', 1),         # unknown escape
    ('["\\u12g4"]', 1),       # short \u escape
    ('["abc', 1),             # unterminated string
    ("[-]", 1), ("[+1]", 1), ("[.5]", 1), ("[1.]", 2), ("[1e]", 2),
    ("[tru]", 1), ("['a']", 1), ("[NaN]", 1),
])
def test_json_rejects_what_is_not_json(text, offset):
    rules, _ = tessel.load_grammar("json")
    with pytest.raises(tessel.LexError) as info:
        tessel.tokenize(tessel.compile(rules), text)
    assert info.value.offset == offset


def test_json_numbers_stop_where_the_number_grammar_does():
    # A leading zero ends the number, so "01" is two tokens that no JSON parser accepts.
    rules, _ = tessel.load_grammar("json")
    lexemes = [t.lexeme for t in tessel.tokenize(tessel.compile(rules), "[01,-00,1.5e3,truefalse]")]
    assert lexemes == ["[", "0", "1", ",", "-0", "0", ",", "1.5e3", ",", "true", "false", "]"]


# --- Python -----------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def python_lexer():
    rules, names = tessel.load_grammar("python")
    return tessel.compile(rules, (), None, "codepoints"), names


CLASS = {"name": "NAME", "number": "NUMBER", "string": "STRING"}
LAYOUT = {NEWLINE: ("NEWLINE",), INDENT: ("INDENT",), DEDENT: ("DEDENT",), END: ("END",)}


def ours(lexer, text):
    handle, names = lexer
    tokens = tessel.tokenize(handle, text, True)
    out = tessel.layout(as_tuples(tokens), ("bracket", "continued"), text, "python")
    return [LAYOUT.get(t.kind) or (CLASS.get(names[t.kind], "OP"), t.lexeme, t.line, t.column - 1)
            for t in out]


def cpython(text):
    """CPython's tokens in the same shape; NL and COMMENT carry no structure. Raises
    SyntaxError where CPython's tokenize cannot make sense of the text."""
    out = []
    for t in py_tokenize.generate_tokens(io.StringIO(text).readline):
        kind = py_tokenize.tok_name[t.type]
        if kind == "ERRORTOKEN":
            raise SyntaxError("error token %r at %s" % (t.string, t.start))
        if kind in ("NEWLINE", "INDENT", "DEDENT"):
            out.append((kind,))
        elif kind == "ENDMARKER":
            out.append(("END",))
        elif kind not in ("NL", "COMMENT"):
            out.append((kind, t.string, t.start[0], t.start[1]))
    return out


SNIPPETS = {
    "brackets": "f(a, [b,\n{c:\n  (d)}],\n      e)\nx = {\n}\n",
    "continuations": "x = 1 + \\\n    2\nwith a as b, \\\n     c as d:\n    pass\n"
                     "y = \\\n  [1,\n 2]\nz = \\\n '''a\nb''' + c\nw = (1 + \\\n 2)\n",
    "continuation_twice_and_crlf": "x = 1 + \\\n  \\\n  2\r\ny = 3 + \\\r\n 4\r\n",
    "backslash_line_at_top_level": "x = 1\n\\\ny = 2\n",
    "backslash_line_at_start": "\\\n  \\\nx = 1\n",
    "continuation_then_comment_or_blank": "x = 1 + \\\n# c\n2\ny = 3 + \\\n\n4\n",
    "blocks": "if a:\n  if b:\n    if c:\n      d\n# low comment\n        # deep comment\ne\n",
    "tabs_and_formfeed": "if x:\n\ty\n\tif z:\n\t\tw\n\x0c\nq\n\x0c    \n",
    "crlf": "if x:\r\n    y = (1,\r\n  2)\r\n    z = \"\"\"a\r\nb\"\"\"\r\n",
    "strings": "a = rb'x' Rb\"y\" BR'''z''' f'{x!r}' F\"\"\"{y}\n\"\"\" u'\\'' b'\\\\' '''a''\\''''\n"
               "s = 'abc\\\ndef' + \"\"\"one \"\" two\"\"\"\n",
    "numbers": "x = 0xFF_ff 0o17 0b1_0 1_000 1.5e-3 1e5j .5j 1. 1.e5 0_0 00 0777 09.5 1if 1_ 1..real\n",
    "operators": "a **= b //= c >>= d <<= e -> f := g ... @= != ~x; h @ i ** -j\n",
    "identifiers": "\u00f1ame = \u03a9mega + \u53d8\u91cf + _x1\n",
    "end_without_newline": "if a:\n  b",
    "comment_only": "# hello\n",
    "empty": "",
    "decorated": "@dec\nasync def f(x) -> int:\n    return await x\n",
}


@pytest.mark.parametrize("name", sorted(SNIPPETS))
def test_python_snippets_match_cpython(python_lexer, name):
    assert ours(python_lexer, SNIPPETS[name]) == cpython(SNIPPETS[name])


PIECES = ["0", "1", "9", "_", ".", "e", "E", "j", "x", "b", "o", "a", "f", "r", "u", "+", "-", "*",
          "/", "=", "<", ">", "(", ")", "[", "]", "{", "}", " ", "\n", "\\\n", "'", '"', "#", ":",
          "@", "!", "\t", "\x0c", "if", "  ", "\u00f1", '"""', "'''", ",", ";", "~", "%", "^", "|"]


def tokenize_artefact(tokens):
    """CPython's tokenize module, unlike its compiler, ends a logical line that holds no token
    (after a backslash line followed by a blank line or the end), and drops the last NEWLINE
    when the last physical line starts with a comment."""
    if tokens[:1] == [("NEWLINE",)] or any(a == b == ("NEWLINE",) for a, b in zip(tokens, tokens[1:])):
        return True
    significant = [i for i, t in enumerate(tokens) if len(t) > 1]
    return bool(significant) and ("NEWLINE",) not in tokens[significant[-1]:]


def test_python_random_token_soup_matches_cpython(python_lexer):
    rng = random.Random(3)
    compared, differing = 0, []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(6000):
            text = "".join(rng.choice(PIECES) for _ in range(rng.randint(1, 12)))
            try:
                compile(text, "<soup>", "exec")  # only text that CPython accepts
                expected = cpython(text)
            except (SyntaxError, py_tokenize.TokenError):
                continue
            if tokenize_artefact(expected):
                continue
            compared += 1
            if ours(python_lexer, text) != expected:
                differing.append(text)
    assert compared >= 300 and differing == []


def test_python_beyond_cpython_tokenize(python_lexer):
    # A combining mark continues an identifier (tokenize's \w does not know it; the compiler does).
    text = "x\u0301 = 1\n"
    compile(text, "<t>", "exec")
    assert ours(python_lexer, text)[0] == ("NAME", "x\u0301", 1, 0)
    # Tab/space mixes that CPython's compiler refuses are refused by the layout pass too.
    text = "if x:\n\ty\n\tif z:\n\t\tw\n        q\n"
    with pytest.raises(TabError):
        compile(text, "<t>", "exec")
    with pytest.raises(tessel.LayoutError):
        ours(python_lexer, text)


def test_python_modes_of_bracketed_and_continued_tokens(python_lexer):
    handle, names = python_lexer
    tokens = tessel.tokenize(handle, "a = (b,\n [c]) + \\\n  d + e\n")
    assert [(t.lexeme, t.mode) for t in tokens] == [
        ("a", "default"), ("=", "default"), ("(", "default"), ("b", "bracket"), (",", "bracket"),
        ("[", "bracket"), ("c", "bracket"), ("]", "bracket"), (")", "bracket"), ("+", "default"),
        ("d", "continued"), ("+", "default"), ("e", "default")]
    with pytest.raises(tessel.LexError, match="unterminated mode 'bracket'"):
        tessel.tokenize(handle, "f(a,\n")


# Fewer files under the sanitizers (the .ci/run block of the sanitized extension sets it).
def stdlib_sample(count=int(os.environ.get("TESSEL_STDLIB_FILES", "150"))):
    root = sysconfig.get_paths()["stdlib"]
    files = sorted(os.path.relpath(os.path.join(d, f), root)
                   for d, _, fs in os.walk(root) if "site-packages" not in d
                   for f in fs if f.endswith(".py"))
    step = max(1, len(files) // count)
    return root, files[::step][:count]


def read_source(path):
    with open(path, "rb") as f:
        raw = f.read()
    encoding, _ = py_tokenize.detect_encoding(io.BytesIO(raw).readline)
    return raw.decode(encoding)  # utf-8-sig drops a byte order mark, as tokenize does


def test_python_agrees_with_cpython_on_a_stdlib_sample(python_lexer):
    root, sample = stdlib_sample()
    compared, differing, tokens = 0, [], 0
    for rel in sample:
        try:
            text = read_source(os.path.join(root, rel))
            expected = cpython(text)
        except (SyntaxError, py_tokenize.TokenError, UnicodeDecodeError, IndentationError):
            continue  # test data that CPython itself cannot tokenize
        compared += 1
        tokens += len(expected)
        try:
            got = ours(python_lexer, text)
        except tessel.error as e:
            differing.append("%s: %s" % (rel, e))
            continue
        if got != expected:
            i = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
                     min(len(got), len(expected)))
            differing.append("%s: token %d is %r, CPython has %r" % (
                rel, i, got[i] if i < len(got) else None, expected[i] if i < len(expected) else None))
    assert compared >= len(sample) * 4 // 5 and tokens >= 330 * len(sample), (compared, tokens)
    assert len(differing) <= compared // 100, "%d of %d files differ:\n%s" % (
        len(differing), compared, "\n".join(differing))
