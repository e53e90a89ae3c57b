"""tessel.Document: after every edit of seeded random edit sequences its tokens are exactly
what tokenize() gives for its text, positions included, in every column unit, for str and
bytes, under both error policies; the change it reports is the change of the list; an edit
re-lexes only around itself; tokens_in and edit_range agree with brute-force answers.

TESSEL_DOC_SEED picks the seed; TESSEL_DOC_CASES multiplies the number of edit sequences (the
default keeps the run to a few tens of seconds; CI's long run sets it higher).
"""

import json
import os
import random
import sysconfig
from pathlib import Path

import pytest

import tessel

SEED = int(os.environ.get("TESSEL_DOC_SEED", "20261208"))
SCALE = int(os.environ.get("TESSEL_DOC_CASES", "1"))
UNITS = ("bytes", "codepoints", "utf16")

# Pieces that open and close strings, comments and modes, cross lines, and hold multi-byte
# characters, in both the Python and the JSON sense, and in the random grammars' sense.
SNIPPETS = ['"', "'", '"""', "'''", "#", "\n", " ", "x", "1", "é", "😀", "€", "{", "}", "[", "]",
            "/*", "*/", "\\", ":", ",", "<<", ">>", "ab", "\t", "(", ")", "0.5", "true", "«"]


def stdlib_texts(count):
    root = Path(sysconfig.get_paths()["stdlib"])
    names = ["textwrap.py", "string.py", "json/decoder.py", "shlex.py", "fnmatch.py", "colorsys.py",
             "bisect.py", "heapq.py", "keyword.py", "glob.py"]
    out = []
    for name in names:
        path = root / name
        if path.exists():
            out.append(path.read_text(encoding="utf-8"))
        if len(out) == count:
            break
    if not out:
        pytest.skip("no standard library sources found")
    return out


def json_texts(rng, count):
    def value(depth):
        r = rng.random()
        if depth > 3 or r < 0.3:
            return rng.choice([1, -2.5, "plain", "é😀\u2028", True, None, "quote \" and \\"])
        if r < 0.65:
            return [value(depth + 1) for _ in range(rng.randrange(4))]
        return {"k%d" % i: value(depth + 1) for i in range(rng.randrange(4))}
    return [json.dumps(value(0), indent=rng.choice([None, 1, 2]), ensure_ascii=False) for _ in range(count)]


# Random grammars: modes (a string mode with escapes, a nested comment mode), lookbehind,
# lookahead, word boundaries, multi-line tokens; rule order and some rules vary with the seed.
def random_rules(rng):
    rules = [
        (1, r"[a-z]+", False),
        (2, r"[0-9]+(?:\.[0-9]+)?", False),
        (3, r"[ \t]+", True),
        (4, r"\n", False),
        (5, r'"', False, None, ("push", "str")),
        (6, r'[^"\\]+', False, ["str"]),
        (7, r'\\.', False, ["str"]),
        (8, r'"', False, ["str"], ("pop",)),
        (9, r"/\*", False, ["default", "comment"], ("push", "comment")),
        (10, r"\*/", False, ["comment"], ("pop",)),
        (11, r"(?:[^*/]|\*(?!/)|/(?!\*))+", False, ["comment"]),
        (12, r"[^\sa-z0-9\"/]", False),
    ]
    extras = [
        (13, r"(?<=[0-9])[a-z]+", False),          # a word right after a number
        (14, r"[a-z]+(?=\()", False),             # a call name
        (15, r"\bab\b", False),                   # a whole word
        (16, r"'''(?:[^']|'(?!''))*'''", False),  # a multi-line string without a mode
        (17, r"#[^\n]*", True),                   # a comment to the end of the line
        (18, r"(?<=\n)[ ]+", False),              # indentation after a line feed
        (19, r"[a-z]+(?=.*\$)", False),           # an unbounded lookahead
        (20, r"<<", False, None, ("set", "angle")),
        (21, r">>", False, ["angle"], ("set", "default")),
        (22, r"[^>]+", False, ["angle"]),
    ]
    chosen = [r for r in extras if rng.random() < 0.6]
    if any(r[0] == 20 for r in chosen):
        chosen += [r for r in extras if r[0] in (21, 22) and r not in chosen]
    rules = rules + chosen
    head, tail = rules[:4], rules[4:]
    rng.shuffle(head)
    return head + tail


def random_text(rng, n):
    return "".join(rng.choice(SNIPPETS) for _ in range(n))


def check(doc, lexer):
    assert doc.tokens == lexer.tokenize(doc.text)


def random_edit(rng, doc, text):
    """A random (start, end, new) in the document's own units: at token boundaries, inside
    tokens, at the ends, inserting, deleting and replacing."""
    n = len(text)
    toks = doc.tokens
    kind = rng.random()
    if kind < 0.15 or not toks:
        where = rng.choice([0, n])
    elif kind < 0.5:
        # A token boundary: convert its byte offset to the text's own index.
        t = rng.choice(toks)
        off = t.offset if rng.random() < 0.5 else t.offset + len(
            t.lexeme if isinstance(t.lexeme, bytes) else t.lexeme.encode())
        where = off if isinstance(text, bytes) else len(text.encode()[:off].decode("utf-8", "ignore"))
    else:
        where = rng.randrange(n + 1)
    length = rng.choice([0, 0, 1, 1, 2, 5])
    end = min(n, where + length)
    new = "".join(rng.choice(SNIPPETS) for _ in range(rng.choice([0, 1, 1, 2, 3])))
    if isinstance(text, bytes):
        new = new.encode()
        if rng.random() < 0.1:
            new = bytes([rng.randrange(0x80, 0x100)])  # a stray byte of malformed UTF-8
    return where, end, new


def run_sequence(rng, lexer, text, edits):
    doc = tessel.Document(lexer, text)
    check(doc, lexer)
    for _ in range(edits):
        current = doc.text
        before = doc.tokens
        start, end, new = random_edit(rng, doc, current)
        expected_text = current[:start] + new + current[end:]
        try:
            expected = lexer.tokenize(expected_text)
        except tessel.LexError as err:
            with pytest.raises(tessel.LexError) as got:
                doc.edit(start, end, new)
            assert (str(got.value), got.value.offset, got.value.line, got.value.column) == (
                str(err), err.offset, err.line, err.column)
            assert doc.text == current and doc.tokens == before
            continue
        change = doc.edit(start, end, new)
        assert doc.text == expected_text
        after = doc.tokens
        assert after == expected
        # The change describes the list: the prefix kept, the new tokens in place, the rest moved.
        assert after[:change.start] == before[:change.start]
        assert after[change.start:change.start + len(change.tokens)] == change.tokens
        assert len(after) == len(before) - (change.stop - change.start) + len(change.tokens)
        assert [t.lexeme for t in after[change.start + len(change.tokens):]] == [
            t.lexeme for t in before[change.stop:]]
    return doc


@pytest.mark.parametrize("unit", UNITS)
@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_stdlib_files_stay_exact_across_edits(unit, as_bytes):
    rng = random.Random(SEED + UNITS.index(unit) * 2 + as_bytes)
    lexer = tessel.Lexer.bundled("python", columns=unit, errors="token")
    for text in stdlib_texts(2 * SCALE):
        run_sequence(rng, lexer, text.encode() if as_bytes else text, 25 * SCALE)


@pytest.mark.parametrize("unit", UNITS)
@pytest.mark.parametrize("errors", ["raise", "token"])
def test_json_texts_stay_exact_across_edits(unit, errors):
    rng = random.Random(SEED + 7 + UNITS.index(unit))
    lexer = tessel.Lexer.bundled("json", columns=unit, errors=errors)
    for text in json_texts(rng, 12 * SCALE):
        run_sequence(rng, lexer, text if rng.random() < 0.5 else text.encode(), 25)


@pytest.mark.parametrize("unit", UNITS)
@pytest.mark.parametrize("errors", ["raise", "token"])
def test_random_grammars_stay_exact_across_edits(unit, errors):
    rng = random.Random(SEED + 31 + UNITS.index(unit) * 2 + (errors == "token"))
    cases = 0
    for _ in range(25 * SCALE):
        lexer = tessel.Lexer(random_rules(rng), columns=unit, errors=errors,
                             dfa=rng.choice(["auto", "requested"]))
        text = random_text(rng, rng.randrange(0, 40))
        if rng.random() < 0.5:
            text = text.encode()
        try:
            lexer.tokenize(text)
        except tessel.LexError:
            text = text[:0]
        run_sequence(rng, lexer, text, 30)
        cases += 30
    assert cases >= 750 * SCALE


def test_one_character_edits_relex_a_few_tokens_and_a_string_to_its_end():
    lexer = tessel.Lexer.bundled("python", errors="token")
    text = "\n".join('def f%d(x):\n    """doc"""\n    return x + %d  # note\n' % (i, i) for i in range(2000))
    doc = tessel.Document(lexer, text)
    rng = random.Random(SEED)
    for _ in range(50):
        # Inside a name, a number, an operator run or a comment: never inside a docstring.
        line_start = doc.text.index("    return", rng.randrange(len(doc.text) - 100))
        at = line_start + rng.randrange(4, 24)
        change = doc.edit(at, at, rng.choice([" ", "1", "+", "z"]))
        assert change.stop - change.start <= 6 and len(change.tokens) <= 6
    check(doc, lexer)
    # Opening a comment re-lexes up to where it now closes, and no further.
    lexer = tessel.Lexer([(1, r"[a-z]+", False), (2, r"[0-9]+", False), (3, r"\s+", True),
                          (4, r"/\*", False, None, ("push", "comment")), (5, r"\*/", False, ["comment"], ("pop",)),
                          (6, r"(?:[^*]|\*(?!/))+", False, ["comment"])], errors="token")
    text = "".join("ab %d cd\n/* c%d */\n" % (i, i) for i in range(3000))
    doc = tessel.Document(lexer, text)
    at = doc.text.index("ab 1000")
    change = doc.edit(at, at, "/*")
    closes = doc.text.index("*/", at + 2) + 2
    assert change.tokens[0].offset <= at
    last_end = change.tokens[-1].offset + len(change.tokens[-1].lexeme)
    # The comment's body runs to its close; the close itself is an old token, moved.
    assert closes - 2 <= last_end < closes + 16
    check(doc, lexer)


def test_tokens_after_the_edit_move_and_only_those_on_its_line_change_column():
    lexer = tessel.Lexer([(1, r"[a-z]+", False), (2, r"\s+", True)], columns="utf16", errors="token")
    doc = tessel.Document(lexer, "ab cd\nef gh\n")
    change = doc.edit(1, 1, "😀\nz")
    # cd is lexed again too: the first boundary the runs may meet at lies three bytes (the
    # column count's look-back) past the edit.
    assert (change.start, change.stop) == (0, 2)
    assert [t.lexeme for t in change.tokens] == ["a", "😀", "zb", "cd"]
    assert doc.tokens == lexer.tokenize("a😀\nzb cd\nef gh\n")
    assert [(t.offset, t.line, t.column) for t in doc.tokens] == [
        (0, 1, 1), (1, 1, 2), (6, 2, 1), (9, 2, 4), (12, 3, 1), (15, 3, 4)]


def test_raise_policy_leaves_the_document_as_it_was():
    lexer = tessel.Lexer.bundled("json")
    doc = tessel.Document(lexer, '{"a": [1, 2]}')
    before = doc.tokens
    with pytest.raises(tessel.LexError) as got:
        doc.edit(7, 8, "@")
    assert got.value.offset == 7
    assert doc.text == '{"a": [1, 2]}' and doc.tokens == before
    with pytest.raises(TypeError):
        doc.edit(0, 0, b"x")
    with pytest.raises(ValueError):
        doc.edit(5, 100, "x")
    assert doc.tokens == before


def lsp_position(text, index):
    """Line and utf16 column (1-based) of a str index, counted the slow way."""
    line = text.count("\n", 0, index) + 1
    start = text.rfind("\n", 0, index) + 1
    column = sum(2 if ord(c) > 0xFFFF else 1 for c in text[start:index]) + 1
    return line, column


def test_edit_range_in_utf16_units_matches_index_edits():
    rng = random.Random(SEED + 99)
    lexer = tessel.Lexer.bundled("python", columns="utf16", errors="token")
    text = stdlib_texts(1)[0][:3000] + "\ns = '😀é€'\n"
    doc = tessel.Document(lexer, text)
    mirror = tessel.Document(lexer, text)
    for _ in range(60):
        cur = doc.text
        a = rng.randrange(len(cur) + 1)
        b = min(len(cur), a + rng.choice([0, 1, 3]))
        new = rng.choice(SNIPPETS)
        doc.edit_range(*lsp_position(cur, a), *lsp_position(cur, b), new)
        mirror.edit(a, b, new)
        assert doc.text == mirror.text
        assert doc.tokens == mirror.tokens == lexer.tokenize(doc.text)
    with pytest.raises(ValueError):
        doc.edit_range(10**6, 1, 10**6, 1, "x")


def test_tokens_in_gives_what_covers_the_lines():
    lexer = tessel.Lexer.bundled("python", errors="token")
    text = "".join("x%d = 1\n" % i for i in range(5000)) + '"""a\nb\nc"""\n' + "y = 2\n" * 10
    doc = tessel.Document(lexer, text)
    doc.edit(0, 0, "# first\n")
    toks = doc.tokens

    def covering(a, b):
        out = []
        for t in toks:
            last = t.line + t.lexeme.count("\n")
            if t.line <= b and last >= a:
                out.append(t)
        return out
    for a, b in [(1, 3), (2500, 2510), (5002, 5003), (5003, 5003), (5004, 5006), (6000, 6001)]:
        assert doc.tokens_in(a, b) == covering(a, b)


# ---- the module functions under the Document -------------------------------------------

import _tessel  # noqa: E402


@pytest.mark.parametrize("args, error, message", [
    ((5, 1, 1, [0]), ValueError, "lex_from: offset 5 is past the end of the text (3 bytes)"),
    ((0, 0, 1, [0]), ValueError, "lex_from: line and column are 1-based"),
    ((0, 1, 1, []), ValueError, "lex_from: the mode stack is empty"),
    ((0, 1, 1, [9]), ValueError, "lex_from: the mode stack names mode 9, but the lexer has 2"),
    ((-1, 1, 1, [0]), ValueError, "lex_from: offset out of range"),
    ((0, 1, 1, "ab"), TypeError, "lex_from: the stack must be a sequence of modes or (mode, offset, line, column) tuples"),
    ((0, 1, 1, [(0, 1)]), TypeError, "lex_from: the stack must be a sequence of modes or (mode, offset, line, column) tuples"),
])
def test_lex_from_refuses_states_that_cannot_belong_to_the_text(args, error, message):
    lexer = tessel.Lexer([(1, r"a", False, None, ("push", "m")), (2, r"b", False, ["m"], ("pop",))])
    offset, line, column, stack = args
    with pytest.raises(error) as got:
        _tessel.lex_from(lexer.handle, "aba", offset, line, column, stack, 0, 1)
    assert str(got.value) == message


def test_lex_from_resumes_in_a_mode_and_reads_a_bytearray_in_place():
    lexer = tessel.Lexer([(1, r"a", False, None, ("push", "m")), (2, r"b", False, ["m"], ("pop",)),
                          (3, r"(?<=b)c", False)])
    buf = bytearray(b"abcab")
    toks, ends, extents, stacks, after, after_stack, finished = _tessel.lex_from(
        lexer.handle, buf, 1, 1, 2, [0, (1, 0, 1, 1)], 0, 10, 1)
    assert [(t.lexeme, t.offset, t.mode) for t in toks] == [("b", 1, "m"), ("c", 2, "default"),
                                                          ("a", 3, "default"), ("b", 4, "m")]
    assert ends == [2, 3, 4, 5]
    assert stacks == [(0, (0,)), (2, (0, 1)), (3, (0,))]
    assert extents[-1] == 5 and finished and after == (5, 1, 6) and after_stack == ((0, 0, 1, 1),)
    # Bounded: one token past offset 2, then the state to go on from.
    toks, _, _, _, after, after_stack, finished = _tessel.lex_from(lexer.handle, bytes(buf), 0, 1, 1, [0], 2, 1)
    assert [t.lexeme for t in toks] == [b"a", b"b"] and after == (2, 1, 3) and not finished


def test_shift_tokens_moves_columns_only_on_the_named_line():
    toks = tessel.Lexer([(1, r"\w+", False), (2, r"\s+", True)]).tokenize("ab cd\nef")
    moved = _tessel.shift_tokens(toks, 10, 2, 1, 5)
    assert [(t.offset, t.line, t.column) for t in moved] == [(10, 3, 6), (13, 3, 9), (16, 4, 1)]
    assert [t.lexeme for t in moved] == ["ab", "cd", "ef"] and moved[0].mode == "default"
    with pytest.raises(TypeError, match="shift_tokens: expected a tessel.Token"):
        _tessel.shift_tokens([1], 0, 0, 0, 0)


def test_context_bytes_counts_lookbehind_and_boundaries():
    assert _tessel.context_bytes(tessel.Lexer([(1, r"[a-z]+", False)]).handle) == 0
    assert _tessel.context_bytes(tessel.Lexer([(1, r"(?<=abc)d", False)]).handle) >= 3
    assert _tessel.context_bytes(tessel.Lexer([(1, r"\bx", False)]).handle) >= 1


@pytest.mark.parametrize("text, edits", [
    ("", [(0, 0, "ab"), (2, 2, " cd"), (0, 5, "")]),
    ("abc", [(3, 3, "d"), (0, 0, "x"), (0, 5, "")]),     # typing at the end grows the last token
    ("ab  ", [(4, 4, "c"), (2, 4, "")]),                # after trailing skips
    ("a\u00e9b \U0001F600c", [(2, 3, ""), (4, 5, "\u00e9")]),
])
def test_edits_at_the_edges(text, edits):
    for unit in UNITS:
        lexer = tessel.Lexer([(1, r"\w+", False), (2, r"\s+", True)], columns=unit, errors="token")
        for kind in (str, bytes):
            doc = tessel.Document(lexer, text if kind is str else text.encode())
            for start, end, new in edits:
                if kind is bytes:
                    cur = doc.text.decode()
                    start, end = len(cur[:start].encode()), len(cur[:end].encode())
                    new = new.encode()
                doc.edit(start, end, new)
                check(doc, lexer)


def test_edit_range_clamps_past_the_line_and_refuses_half_characters():
    lexer = tessel.Lexer([(1, r"\S+", False), (2, r"\s+", True)], columns="utf16")
    doc = tessel.Document(lexer, "a\U0001F600b\ncd\n")
    assert doc.offset_at(1, 2) == 1 and doc.offset_at(1, 4) == 2 and doc.offset_at(1, 99) == 3
    with pytest.raises(ValueError, match="falls inside a character"):
        doc.edit_range(1, 3, 1, 3, "x")
    doc.edit_range(1, 99, 2, 1, "")   # join the lines
    assert doc.text == "a\U0001F600bcd\n"
    check(doc, lexer)
