"""Highlighting with tessel grammars: a bridge to Pygments formatters, and a small fallback.

The bundled grammars name their kinds ``class`` or ``class.detail`` (see docs/lex-format.md),
so one table from classes to Pygments token types serves every grammar. `pygments_lexer`
turns a tessel Lexer and such a table into a Pygments lexer class, so every Pygments
formatter and style works with tessel's tokens; the text between tokens (what skip rules
matched) is handed on as whitespace, so the output holds every character of the input.
Without Pygments, `render` writes ANSI or HTML on its own.
"""

from __future__ import annotations

import html
from collections.abc import Iterator, Mapping
from typing import Any, Optional

from ._lexer import ERROR, Lexer

# Classes of the kind-name convention, by the name of the Pygments token type for them.
CLASS_TOKEN_TYPES = {
    "whitespace": "Text.Whitespace", "newline": "Text.Whitespace",
    "continuation": "Text.Whitespace",
    "comment": "Comment", "name": "Name", "keyword": "Keyword", "builtin": "Name.Builtin",
    "number": "Number", "string": "String", "escape": "String.Escape", "op": "Operator",
    "punct": "Punctuation", "open": "Punctuation", "close": "Punctuation",
    "preproc": "Comment.Preproc", "tag": "Name.Tag", "attribute": "Name.Attribute",
    "heading": "Generic.Heading", "markup": "Generic.Emph", "variable": "Name.Variable",
    "text": "Text",
}
# Finer types for the details the bundled grammars use.
DETAIL_TOKEN_TYPES = {
    "keyword.true": "Keyword.Constant", "keyword.false": "Keyword.Constant",
    "keyword.null": "Keyword.Constant", "name.key": "Name.Attribute", "name.hash": "Name.Label",
    "heading.section": "Keyword.Namespace", "string.value": "String",
}


def token_type_name(kind_name: str) -> str:
    """The dotted Pygments token type name for a kind name of the convention."""
    if kind_name in DETAIL_TOKEN_TYPES:
        return DETAIL_TOKEN_TYPES[kind_name]
    if kind_name == "ERROR":
        return "Error"
    return CLASS_TOKEN_TYPES.get(kind_name.split(".")[0], "Text")


def showing_everything(lexer: Lexer) -> Lexer:
    """The lexer with its skip rules kept as token rules and errors as ERROR tokens: what a
    highlighter needs, since comments are often skipped by lexers meant for parsers."""
    rules = [(k, p, False, m, a) for k, p, _, m, a in lexer.rules]
    options = dict(lexer.options, errors="token", names=lexer.names)
    shown = Lexer(rules, **options)
    shown._set_grammar(lexer._meta, lexer.origin)
    return shown


def spans(lexer: Lexer, text: str) -> Iterator[tuple[int, str, str]]:
    """(str index, kind name, text) for every piece of text: tokens, and the gaps between
    them (named "whitespace"). Errors become "ERROR" pieces instead of stopping. Pass the
    lexer through showing_everything() to see what its skip rules match."""
    data = text.encode("utf-8", "surrogatepass")
    ascii_only = len(data) == len(text)
    done_bytes = done_chars = 0
    for tok in lexer.tokenize(text):
        if tok.offset > done_bytes:
            gap = text[done_chars:done_chars + (tok.offset - done_bytes if ascii_only else len(
                data[done_bytes:tok.offset].decode("utf-8", "surrogatepass")))]
            yield done_chars, "whitespace", gap
            done_chars += len(gap)
        name = "ERROR" if tok.kind == ERROR else lexer.kind_name(tok.kind)
        yield done_chars, name, tok.lexeme
        done_chars += len(tok.lexeme)
        done_bytes = tok.offset + len(tok.lexeme.encode("utf-8", "surrogatepass"))
    if done_chars < len(text):
        yield done_chars, "whitespace", text[done_chars:]


def pygments_lexer(lexer: Lexer, kinds: Optional[Mapping[str, Any]] = None,
                   name: Optional[str] = None) -> type:
    """Make a Pygments lexer class that lexes with a tessel Lexer.

    Args:
        lexer: The tessel lexer; lex with errors="token" so bad text shows as Error.
        kinds: Kind names to Pygments token types, consulted before the class table.
        name: The Pygments name of the class (default: the grammar's origin).

    Raises:
        ImportError: If Pygments is not installed (pip install tessel[pygments]).
    """
    from pygments.lexer import Lexer as PygmentsLexer  # type: ignore[import-untyped, unused-ignore]
    from pygments.token import string_to_tokentype  # type: ignore[import-untyped, unused-ignore]

    table = dict(kinds or {})
    lexer = showing_everything(lexer)

    def type_of(kind_name: str) -> Any:
        found = table.get(kind_name)
        if found is None:
            found = string_to_tokentype(token_type_name(kind_name))
            table[kind_name] = found
        return found

    class TesselLexer(PygmentsLexer):  # type: ignore[misc, unused-ignore]
        def get_tokens_unprocessed(self, text: str) -> Iterator[tuple[int, Any, str]]:
            for index, kind_name, piece in spans(lexer, text):
                yield index, type_of(kind_name), piece

    TesselLexer.name = name or (lexer.origin or "tessel")
    TesselLexer.aliases = []
    TesselLexer.filenames = ["*" + e for e in lexer.extensions]
    TesselLexer.__name__ = "TesselLexer"
    return TesselLexer


_ANSI = {"Comment": "90", "Comment.Preproc": "35", "Keyword": "1;34", "Keyword.Constant": "34",
         "Keyword.Namespace": "1;35", "Name.Builtin": "36", "Name.Attribute": "33",
         "Name.Tag": "1;34", "Name.Variable": "33", "Name.Label": "33", "Number": "32",
         "String": "31", "String.Escape": "1;31", "Operator": "35", "Generic.Heading": "1",
         "Generic.Emph": "3", "Error": "41"}


def render(lexer: Lexer, text: str, fmt: str) -> str:
    """Highlight without Pygments: fmt 'ansi' (terminal colours) or 'html' (spans with
    classes named after the token types, in a <pre>)."""
    out = []
    lexer = showing_everything(lexer)
    if fmt == "html":
        out.append('<pre class="tessel">')
    for _, kind_name, piece in spans(lexer, text):
        ttype = token_type_name(kind_name)
        if fmt == "html":
            if ttype in ("Text", "Text.Whitespace"):
                out.append(html.escape(piece))
            else:
                out.append('<span class="%s">%s</span>' % (ttype.replace(".", "-").lower(),
                                                            html.escape(piece)))
        else:
            code = _ANSI.get(ttype) or _ANSI.get(ttype.split(".")[0])
            out.append("\x1b[%sm%s\x1b[0m" % (code, piece) if code else piece)
    if fmt == "html":
        out.append("</pre>\n")
    return "".join(out)
