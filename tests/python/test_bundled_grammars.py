"""Every bundled grammar on real files found on this machine: no error tokens, and with the
skip rules turned into token rules the lexemes join back into the file, byte for byte."""

import pytest

import tessel
from bundled_corpus import SOURCES, real_files

CLASSES = {"whitespace", "newline", "continuation", "comment", "name", "keyword", "builtin",
           "number", "string", "escape", "op", "punct", "open", "close", "preproc", "tag",
           "attribute", "heading", "markup", "variable", "text"}
GRAMMARS = tessel.bundled_grammars()


def test_at_least_eight_grammars_each_with_files_to_test():
    assert len(GRAMMARS) >= 8
    assert set(GRAMMARS) == set(SOURCES)


@pytest.mark.parametrize("name", GRAMMARS)
def test_header_extensions_and_kind_names(name):
    text = tessel.grammar_text(name)
    assert text.startswith("# ") and len(text.split("\n\n")[0].splitlines()) >= 2
    lexer = tessel.Lexer.bundled(name)
    assert lexer.extensions and all(e.startswith(".") for e in lexer.extensions)
    bad = {n for n in lexer.names.values() if n.split(".")[0] not in CLASSES}
    assert bad == set()


def kept(lexer):
    """The same rules with nothing skipped, so every byte of the text lands in a token."""
    rules = [(k, p, False, m, a) for k, p, _, m, a in lexer.rules]
    return tessel.Lexer(rules, errors="token", columns="codepoints")


@pytest.mark.parametrize("name", GRAMMARS)
def test_real_files_lex_cleanly_and_rejoin(name):
    files = real_files(name, limit=25)
    if not files:
        pytest.skip("no real %s files on this machine (looked in %s)" % (name, SOURCES[name]()))
    lexer = tessel.Lexer.bundled(name, errors="token")
    whole = kept(lexer)
    for path in files:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        errors = [(t.line, t.lexeme[:20]) for t in lexer.tokenize(text) if t.kind == tessel.ERROR]
        assert errors == [], path
        assert "".join(t.lexeme for t in whole.tokenize(text)) == text, path


def test_toml_strings_agree_with_tomllib():
    tomllib = pytest.importorskip("tomllib")
    files = real_files("toml", limit=25)
    if not files:
        pytest.skip("no TOML files on this machine")
    lexer = tessel.Lexer.bundled("toml")
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        tomllib.loads(data.decode())
        strings = [t for t in lexer.tokenize(data.decode()) if lexer.kind_name(t.kind) == "string"]
        # Every string token is a TOML string by itself.
        for t in strings:
            assert isinstance(tomllib.loads("k = " + t.lexeme)["k"], str), (path, t)


@pytest.mark.parametrize("text", ["a\u00a0b", "page\fbreak", "old\rmac\r", "\u3000x", "\x00\x7f"])
def test_markdown_takes_any_text(text):
    # In Markdown every character is text: odd blanks and controls must not be errors.
    lexer = tessel.Lexer.bundled("markdown", errors="token")
    assert [t for t in lexer.tokenize(text) if t.kind == tessel.ERROR] == []
    assert "".join(t.lexeme for t in kept(lexer).tokenize(text)) == text
