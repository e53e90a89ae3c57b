"""tessel: a mode-aware lexer toolkit over its own linear-time regex engine, kestrel.

The compiled extension ``_tessel`` does the work. This package gives it the interface people
call: the `Lexer` class (compile once, then tokenize, iterate, stream, lay out, name kinds),
keyword-friendly module functions, the reserved kinds as constants, the exception classes the
extension raises for lexing, layout and grammar errors, and `format_error` to show one of them
in its text.
"""

from _tessel import Position, Token, error

from . import _build_info
from ._document import Document, TokenChange
from ._errors import GrammarError, LayoutError, LexError, format_error
from ._lexer import (
    DEDENT,
    END_OF_INPUT,
    ERROR,
    INDENT,
    NEWLINE,
    Lexer,
    Stream,
    bundled_grammars,
    column_unit,
    compile,
    dfa_modes_active,
    end_of,
    grammar_text,
    iter_tokens,
    kestrel_version,
    layout,
    load_grammar,
    parse_grammar,
    pike_rules,
    scan_next,
    scan_start,
    stream_buffered,
    stream_feed,
    stream_finish,
    stream_start,
    stream_window,
    tokenize,
)
from ._version import __version__

__all__ = [
    "DEDENT",
    "Document",
    "END_OF_INPUT",
    "ERROR",
    "INDENT",
    "NEWLINE",
    "GrammarError",
    "LayoutError",
    "LexError",
    "Lexer",
    "Position",
    "Stream",
    "Token",
    "TokenChange",
    "__version__",
    "bundled_grammars",
    "column_unit",
    "compile",
    "dfa_modes_active",
    "end_of",
    "error",
    "format_error",
    "grammar_text",
    "iter_tokens",
    "kestrel_version",
    "layout",
    "load_grammar",
    "parse_grammar",
    "pike_rules",
    "scan_next",
    "scan_start",
    "stream_buffered",
    "stream_feed",
    "stream_finish",
    "stream_start",
    "stream_window",
    "tokenize",
]

if kestrel_version() != _build_info.KESTREL_VERSION:
    raise ImportError(
        "tessel: the _tessel extension was built with kestrel %s but this package with %s; "
        "reinstall tessel" % (kestrel_version(), _build_info.KESTREL_VERSION)
    )
