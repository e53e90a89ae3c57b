"""The Pythonic layer over the extension: the Lexer and Stream classes and keyword-friendly
module functions.

The extension's functions take positional arguments only and work on opaque capsules. This
module gives them keyword arguments and signatures that ``inspect`` can read, a `Lexer` class
that compiles once and knows its rules' names, a `Stream` object, and a token iterator. Every
hot call is a single Python frame around one extension call, so the layer costs a constant per
call, not per token: the per-token work stays in the extension.

A `Lexer` keeps the (validated) rules and options it was built from. That is what it pickles
as: loading compiles the rules again, so a lexer can be sent to a process pool or a cluster
worker, where the compiled handle (a capsule of native memory) could not go.
"""

from __future__ import annotations

import copyreg
import functools
import os
import re
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Optional, Union

import _tessel
from _tessel import Position, Token

from _tessel import error

from ._errors import LexError

if TYPE_CHECKING:
    from ._document import Document

Text = Union[str, bytes]
Rule = tuple[Any, ...]

# The reserved kinds, made only by the lexer and the layout pass.
END_OF_INPUT = -2147483648
NEWLINE = -2147483647
INDENT = -2147483646
DEDENT = -2147483645
ERROR = -2147483644

RESERVED_NAMES = {
    END_OF_INPUT: "END_OF_INPUT",
    NEWLINE: "NEWLINE",
    INDENT: "INDENT",
    DEDENT: "DEDENT",
    ERROR: "ERROR",
}

_ERRORS = ("raise", "token")
_COLUMNS = ("bytes", "codepoints", "utf16")
_DFA = ("auto", "requested")
_TABS = ("columns", "python")

# Bound once: the hot methods call these without a module attribute lookup.
_tokenize = _tessel.tokenize
_scan_start = _tessel.scan_start
_scan_next = _tessel.scan_next
_stream_feed = _tessel.stream_feed
_stream_finish = _tessel.stream_finish
_layout = _tessel.layout


# --- validation -------------------------------------------------------------------------------

def _choice(what: str, value: object, allowed: Sequence[str]) -> str:
    """Checks an option given as one of a few words, with the extension's own wording."""
    if value in allowed:
        return str(value)
    quoted = ["'%s'" % a for a in allowed]
    if len(quoted) == 2:
        listed = " or ".join(quoted)
    else:
        listed = ", ".join(quoted[:-1]) + ", or " + quoted[-1]
    if not isinstance(value, str):
        raise TypeError("%s must be %s, not %s" % (what, listed, type(value).__name__))
    raise ValueError("%s must be %s, not '%s'" % (what, listed, value))


def _mode_names(what: str, value: object) -> tuple[str, ...]:
    """A sequence of mode names; a lone str is refused, since it would read as its letters."""
    if value is None:
        return ()
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError("%s must be a sequence of mode names (str), not %s"
                        % (what, type(value).__name__))
    names = tuple(value)
    for name in names:
        if not isinstance(name, str):
            raise TypeError("%s must hold mode names (str), not %s" % (what, type(name).__name__))
    return names


def _check_action(i: int, action: object) -> Optional[tuple[str, ...]]:
    if action is None:
        return None
    if isinstance(action, list):
        action = tuple(action)
    if isinstance(action, tuple) and action and all(isinstance(a, str) for a in action):
        verb = action[0]
        if verb in ("push", "set") and len(action) == 2:
            return action
        if verb == "pop" and len(action) == 1:
            return action
        if verb in ("push", "set"):
            raise ValueError("rule %d: '%s' action needs one target mode" % (i, verb))
        if verb == "pop":
            raise ValueError("rule %d: 'pop' action takes no extra argument" % i)
        raise ValueError("rule %d: unknown action '%s' (expected push, pop or set)" % (i, verb))
    raise TypeError('rule %d: action must be None or a tuple ("push", mode) / ("set", mode) / '
                    '("pop",), not %r' % (i, action))


def _check_rules(rules: object) -> tuple[Rule, ...]:
    """Validates rule tuples and brings each to the full five-field form."""
    if isinstance(rules, (str, bytes)) or not isinstance(rules, Iterable):
        raise TypeError("rules must be a sequence of rule tuples, not %s" % type(rules).__name__)
    out = []
    for i, rule in enumerate(rules):
        if not isinstance(rule, (tuple, list)) or not 3 <= len(rule) <= 5:
            raise TypeError("rule %d must be a tuple (kind, pattern, skip[, in_mode[, action]]), "
                            "not %r" % (i, rule))
        kind, pattern, skip = rule[0], rule[1], rule[2]
        if not isinstance(kind, int) or isinstance(kind, bool):
            raise TypeError("rule %d: kind must be an int, not %s" % (i, type(kind).__name__))
        if not -2**31 <= kind < 2**31:
            raise ValueError("rule %d: kind %d does not fit in 32 bits" % (i, kind))
        if not isinstance(pattern, str):
            raise TypeError("rule %d: pattern must be a str, not %s" % (i, type(pattern).__name__))
        in_mode = _mode_names("rule %d: in_mode" % i, rule[3] if len(rule) > 3 else None)
        action = _check_action(i, rule[4] if len(rule) > 4 else None)
        out.append((kind, pattern, bool(skip), list(in_mode), action))
    return tuple(out)


def _check_names(names: object) -> dict[int, str]:
    if names is None:
        return {}
    if isinstance(names, Mapping):
        items = list(names.items())
    elif isinstance(names, Sequence) and not isinstance(names, (str, bytes)):
        items = list(enumerate(names))
    else:
        raise TypeError("names must map kinds to names (a mapping, or a sequence indexed by "
                        "kind), not %s" % type(names).__name__)
    out = {}
    for kind, name in items:
        if not isinstance(kind, int) or not isinstance(name, str):
            raise TypeError("names must map int kinds to str names, not %r: %r" % (kind, name))
        out[kind] = name
    return out


def _handle_of(lexer: Any) -> Any:
    return lexer._handle if isinstance(lexer, Lexer) else lexer


def _compile_handle(rules: tuple[Rule, ...], dfa_modes: tuple[str, ...], errors: str,
                    columns: str, dfa: str, names: Mapping[int, str]) -> Any:
    try:
        return _tessel.compile(rules, dfa_modes, errors, columns, dfa)
    except error as e:
        # The extension names a bad pattern by its index only; add the rule's name and text.
        m = re.match(r"rule (\d+): (.*)", str(e), re.S)
        if m is None or type(e) is not error:
            raise
        i = int(m.group(1))
        kind, pattern = rules[i][0], rules[i][1]
        label = "rule %d (kind %d%s)" % (i, kind, ", %r" % names[kind] if kind in names else "")
        raise error("%s, pattern %r: %s" % (label, pattern, m.group(2))) from None


# --- grammar metadata -------------------------------------------------------------------------

def _grammar_meta(text: str) -> dict[str, str]:
    """Reads the ``#: key value`` comment lines of a grammar.

    The .lex reader skips every comment; these lines carry what the package uses beyond the
    rules: ``layout`` (the default arguments of Lexer.layout) and ``extensions`` (the file
    names the grammar is for, used by the command line to guess a grammar).
    """
    meta = {}
    for line in text.splitlines():
        if line.startswith("#:"):
            key, _, value = line[2:].strip().partition(" ")
            meta[key] = value.strip()
    return meta


def _layout_defaults(meta: Mapping[str, str]) -> tuple[tuple[str, ...], str]:
    insignificant: tuple[str, ...] = ()
    tabs = "columns"
    for word in meta.get("layout", "").split():
        key, _, value = word.partition("=")
        if key == "insignificant":
            insignificant = tuple(v for v in value.split(",") if v)
        elif key == "tabs":
            tabs = _choice("tabs", value, _TABS)
    return insignificant, tabs


def _bundled_folder() -> Any:
    from importlib.resources import files

    return files(__package__) / "grammars"


def bundled_grammars() -> list[str]:
    """Return the names of the grammars bundled with tessel, sorted (for example "json")."""
    return sorted(p.name[:-4] for p in _bundled_folder().iterdir() if p.name.endswith(".lex"))


def grammar_text(name: str) -> str:
    """Return the text of a grammar bundled with tessel, for example ``"json"`` or ``"python"``.

    The grammars live in the package's ``grammars`` folder as ``<name>.lex`` files.

    Raises:
        ValueError: If no bundled grammar has this name.
    """
    known = bundled_grammars()
    if not isinstance(name, str) or name not in known:
        raise ValueError("no bundled grammar named %r (bundled: %s)" % (name, ", ".join(known)))
    text: str = (_bundled_folder() / f"{name}.lex").read_text(encoding="utf-8")
    return text


def load_grammar(name: str) -> tuple[list[Rule], list[str]]:
    """Parse a bundled grammar, with ``<name>.lex`` as the origin its errors name.

    Returns the ``(rules, names)`` pair; ``compile(rules)`` gives the lexer and ``names[kind]``
    the rule name of a token's kind.
    """
    return _tessel.parse_grammar(grammar_text(name), f"{name}.lex")


# --- the Lexer --------------------------------------------------------------------------------

def _restore(rules: tuple[Rule, ...], options: dict[str, Any], meta: dict[str, str],
             origin: Optional[str]) -> "Lexer":
    lexer = Lexer(rules, **options)
    lexer._set_grammar(meta, origin)
    return lexer


class Lexer:
    """A compiled lexer: an ordered list of rules, compiled once, with names for its kinds.

    Each rule is ``(kind, pattern, skip)`` with two optional fields, ``in_mode`` (a sequence
    of mode names; empty means the default mode) and ``action`` (None, ``("push", mode)``,
    ``("set", mode)`` or ``("pop",)``). At each position the longest match wins; among equally
    long matches, the rule listed first.

    Args:
        rules: The rules, in priority order.
        dfa_modes: Mode names to run on a DFA fast path where their rules allow it.
        errors: 'raise' (raise LexError at the first unlexable byte) or 'token' (emit one
            ERROR-kind token per unlexable run).
        columns: The unit of a token's column: 'bytes', 'codepoints' or 'utf16'.
        dfa: 'auto' or 'requested'.
        names: The names of the kinds, as a mapping from kind to name or a sequence indexed by
            kind; kind_name() answers from it.

    Raises:
        TypeError, ValueError: On a malformed rule or option.
        error: If a pattern does not compile (naming the rule and its pattern) or the rules do
            not form a lexer (a reserved kind, an unknown mode in dfa_modes, ...).
    """

    __slots__ = ("_handle", "_rules", "_options", "_names", "_meta", "_origin", "_layout")

    def __init__(self, rules: Iterable[Rule], *, dfa_modes: Iterable[str] = (),
                 errors: str = "raise", columns: str = "bytes", dfa: str = "auto",
                 names: Union[Mapping[int, str], Sequence[str], None] = None) -> None:
        checked = _check_rules(rules)
        modes = _mode_names("dfa_modes", dfa_modes)
        errors = _choice("errors", errors, _ERRORS)
        columns = _choice("columns", columns, _COLUMNS)
        dfa = _choice("dfa", dfa, _DFA)
        kind_names = _check_names(names)
        self._handle = _compile_handle(checked, modes, errors, columns, dfa, kind_names)
        self._rules = checked
        self._options = {"dfa_modes": modes, "errors": errors, "columns": columns, "dfa": dfa}
        self._names = kind_names
        self._meta: dict[str, str] = {}
        self._origin: Optional[str] = None
        self._layout: tuple[tuple[str, ...], str] = ((), "columns")

    def _set_grammar(self, meta: dict[str, str], origin: Optional[str]) -> None:
        self._meta = dict(meta)
        self._origin = origin
        self._layout = _layout_defaults(meta)

    # -- constructors --

    @classmethod
    def from_grammar(cls, text: Text, *, origin: str = "<string>", **options: Any) -> "Lexer":
        """Compile a .lex grammar text; kinds are rule indices and are named by the grammar.

        Keyword options are those of Lexer(); a ``names`` option replaces the grammar's names.

        Raises:
            GrammarError: On a malformed line or an invalid pattern (.line, .column, .cause).
        """
        if not isinstance(origin, str):
            raise TypeError("origin must be a str, not %s" % type(origin).__name__)
        if isinstance(text, (bytes, bytearray, memoryview)):
            source = bytes(text).decode("utf-8", "replace")
        elif isinstance(text, str):
            source = text
        else:
            raise TypeError("a grammar is str or bytes, not %s" % type(text).__name__)
        rules, names = _tessel.parse_grammar(text, origin)
        options.setdefault("names", names)
        lexer = cls(rules, **options)
        lexer._set_grammar(_grammar_meta(source), origin)
        return lexer

    @classmethod
    def from_file(cls, path: Union[str, "os.PathLike[str]"], **options: Any) -> "Lexer":
        """Compile the .lex grammar in a file (read as UTF-8; the path is the errors' origin)."""
        with open(path, "rb") as f:
            text = f.read()
        return cls.from_grammar(text, origin=os.fspath(path), **options)

    @classmethod
    def bundled(cls, name: str, **options: Any) -> "Lexer":
        """Compile a grammar bundled with tessel (see bundled_grammars())."""
        return cls.from_grammar(grammar_text(name), origin=f"{name}.lex", **options)

    # -- lexing --

    def tokenize(self, text: Text, *, eof: bool = False) -> list[Token]:
        """Tokenize text eagerly: the tokens in order, skip matches omitted.

        str text gives str lexemes, bytes text bytes lexemes; offsets are UTF-8 byte offsets
        either way. With eof=True an END_OF_INPUT token ends the list.

        Raises:
            LexError: If some position is matched by no rule (with errors='raise').
        """
        return _tokenize(self._handle, text, eof)

    def iter_tokens(self, text: Text, *, eof: bool = False) -> Iterator[Token]:
        """Tokenize text lazily: the tokens tokenize() would return, one at a time.

        A LexError is raised by the iteration step that reaches the unlexable position, after
        every token before it has been yielded.
        """
        return _iter_tokens(self._handle, text, eof)

    def document(self, text: Text) -> "Document":
        """A Document over text: its tokens kept right across edits by re-lexing only what
        each edit can change (see tessel.Document)."""
        from ._document import Document

        return Document(self, text)

    def stream(self) -> "Stream":
        """Start a stream over this lexer, for text that arrives in pieces."""
        return Stream(self)

    def layout(self, tokens: Iterable[Any], *, insignificant: Optional[Iterable[str]] = None,
               source: Optional[Text] = None, tabs: Optional[str] = None) -> list[Token]:
        """Insert NEWLINE, INDENT and DEDENT tokens from the indentation of the tokens' lines.

        Takes the tokens tokenize() returns (end them with END_OF_INPUT: tokenize with
        eof=True). insignificant names the modes whose tokens carry no layout, and tabs is
        'columns' (indentation is a token's column - 1) or 'python' (CPython's tab rule,
        measured in source). Left out, both come from the grammar (the bundled python grammar
        names its bracket and continuation modes and tabs='python'), else () and 'columns'.
        Returned lexemes are str.

        Raises:
            LayoutError: On inconsistent indentation.
            ValueError: On tabs='python' without source, or a token beyond source.
        """
        default_insignificant, default_tabs = self._layout
        modes = default_insignificant if insignificant is None else insignificant
        return layout(tokens, insignificant=modes, source=source,
                      tabs=default_tabs if tabs is None else tabs)

    def end(self, token: Token, text: Optional[Text] = None) -> Position:
        """Where a token ends: the Position just after its last character.

        Give the text the token was lexed from when there is one at hand; without it the
        end is worked out from the token's own lexeme.

        Raises:
            ValueError: If the token's lexeme is not in text at the token's offset.
        """
        if not isinstance(token, Token):
            raise TypeError("end() takes a Token, not %s" % type(token).__name__)
        if text is None:
            offset, line, column = _tessel.end_of(self._handle, token.lexeme, token.lexeme, 0,
                                                  token.line, token.column)
            return Position(token.offset + offset, line, column)
        return Position(*_tessel.end_of(self._handle, text, token.lexeme, token.offset,
                                        token.line, token.column))

    # -- what the lexer knows --

    def kind_name(self, kind: int) -> str:
        """The name of a kind: the rule's name, a reserved kind's name ("END_OF_INPUT",
        "NEWLINE", "INDENT", "DEDENT", "ERROR"), or the kind in decimal for a rule without one.

        Raises:
            ValueError: If no rule of this lexer has the kind.
        """
        if not isinstance(kind, int) or isinstance(kind, bool):
            raise TypeError("kind_name() takes an int kind, not %s" % type(kind).__name__)
        name = self._names.get(kind) or RESERVED_NAMES.get(kind)
        if name is not None:
            return name
        if any(rule[0] == kind for rule in self._rules):
            return str(kind)
        raise ValueError("no rule of this lexer has kind %d" % kind)

    @property
    def names(self) -> dict[int, str]:
        """The kind names this lexer was given (a copy)."""
        return dict(self._names)

    @property
    def rules(self) -> tuple[Rule, ...]:
        """The rules, each as (kind, pattern, skip, in_mode, action)."""
        return self._rules

    @property
    def options(self) -> dict[str, Any]:
        """The compile options: dfa_modes, errors, columns and dfa."""
        return dict(self._options)

    @property
    def origin(self) -> Optional[str]:
        """The origin of the grammar the lexer was made from, or None for a rule list."""
        return self._origin

    @property
    def extensions(self) -> tuple[str, ...]:
        """The file name endings the grammar says it is for (for example ('.py', '.pyi'))."""
        return tuple(self._meta.get("extensions", "").split())

    @property
    def dfa_modes_active(self) -> list[str]:
        """The mode names with at least one rule on a DFA."""
        return _tessel.dfa_modes_active(self._handle)

    def pike_rules(self, mode: str) -> list[int]:
        """The indices of the rules of mode that run on the per-rule path."""
        if not isinstance(mode, str):
            raise TypeError("mode must be a str, not %s" % type(mode).__name__)
        return _tessel.pike_rules(self._handle, mode)

    @property
    def column_unit(self) -> str:
        """The unit each token's column is counted in: 'bytes', 'codepoints' or 'utf16'."""
        return _tessel.column_unit(self._handle)

    @property
    def handle(self) -> Any:
        """The compiled handle, for the extension's own functions."""
        return self._handle

    # -- pickling and display --

    def __reduce__(self) -> tuple[Any, ...]:
        options = dict(self._options, names=self._names or None)
        return (_restore, (self._rules, options, self._meta, self._origin))

    def __repr__(self) -> str:
        if self._origin is not None:
            return "<tessel.Lexer from %s, %d rules, columns=%r>" % (
                self._origin, len(self._rules), self._options["columns"])
        return "<tessel.Lexer %d rules, columns=%r>" % (len(self._rules), self._options["columns"])


class Stream:
    """Lexes text that arrives in pieces, handing out each token once no text still to come
    can change it. Make one with Lexer.stream(); one stream is for one text.
    """

    __slots__ = ("_stream", "lexer")

    def __init__(self, lexer: Union[Lexer, Any]) -> None:
        self.lexer = lexer
        self._stream = _tessel.stream_start(_handle_of(lexer))

    def feed(self, chunk: Text) -> list[Token]:
        """Append a chunk (all chunks str, or all bytes) and return the tokens it decided.

        Raises:
            LexError: Where tokenize would raise on the whole text, once the text decides it;
                its .tokens holds the tokens this call decided before the error.
        """
        return _stream_feed(self._stream, chunk)

    def finish(self) -> list[Token]:
        """End the text and return the tokens that remain."""
        return _stream_finish(self._stream)

    @property
    def buffered(self) -> int:
        """The bytes held: from the first token not yet returned to the end of what was fed."""
        return _tessel.stream_buffered(self._stream)

    @property
    def window(self) -> tuple[int, bytes]:
        """(offset, bytes): the last bytes fed and the offset of the first in the whole text."""
        return _tessel.stream_window(self._stream)


# --- the module functions, with keywords ------------------------------------------------------

def compile(rules: Sequence[Rule], dfa_modes: Sequence[str] = (), errors: Optional[str] = "raise",
            columns: Optional[str] = "bytes", dfa: Optional[str] = "auto") -> Any:
    """Compile an ordered list of rules into a lexer handle (see Lexer for a class that also
    names its kinds). Arguments as for Lexer; the result is the extension's handle."""
    return _tessel.compile(rules, dfa_modes, errors, columns, dfa)


def tokenize(handle: Any, text: Text, eof: bool = False) -> list[Token]:
    """Eagerly tokenize text with a compiled handle (or a Lexer)."""
    return _tokenize(_handle_of(handle), text, eof)


def _raise_on_first_step(exc: BaseException) -> Iterator[Token]:
    raise exc
    yield  # a generator: the error comes at the first step, not at the call


def _iter_scan(handle: Any, text: Text, eof: bool) -> Iterator[Token]:
    # iter() over scan_next with None as the end steps the cursor from C, so the iterator
    # adds no Python frame per token. scan_start lexes the first token already; an error
    # there is kept for the first step, which is where every later error comes too.
    try:
        cursor = _scan_start(handle, text, eof)
    except LexError as e:
        return _raise_on_first_step(e)
    return iter(functools.partial(_scan_next, cursor), None)


def _iter_native(handle: Any, text: Text, eof: bool) -> Iterator[Token]:
    native: Any = getattr(_tessel, "TokenIterator")
    iterator: Iterator[Token] = native(handle, text, eof)
    return iterator


# The extension's own iterator where it has one; a generator over the scan cursor otherwise.
_iter_tokens = _iter_native if hasattr(_tessel, "TokenIterator") else _iter_scan


def iter_tokens(handle: Any, text: Text, eof: bool = False) -> Iterator[Token]:
    """Lazily tokenize text with a compiled handle (or a Lexer): the tokens tokenize would
    return, one at a time."""
    return _iter_tokens(_handle_of(handle), text, eof)


def scan_start(handle: Any, text: Text, eof: bool = False) -> Any:
    """Begin a lazy scan; returns a cursor for scan_next()."""
    return _scan_start(_handle_of(handle), text, eof)


def scan_next(cursor: Any) -> Optional[Token]:
    """Return the next token from a scan cursor, or None at the end."""
    return _scan_next(cursor)


def stream_start(handle: Any) -> Any:
    """Start an incremental stream over a compiled handle (or a Lexer)."""
    return _tessel.stream_start(_handle_of(handle))


def stream_feed(stream: Any, chunk: Text) -> list[Token]:
    """Append a chunk to a stream and return the tokens it decided."""
    return _stream_feed(stream, chunk)


def stream_finish(stream: Any) -> list[Token]:
    """End a stream's text and return the tokens that remain."""
    return _stream_finish(stream)


def stream_buffered(stream: Any) -> int:
    """The bytes a stream holds that are not yet decided."""
    return _tessel.stream_buffered(stream)


def stream_window(stream: Any) -> tuple[int, bytes]:
    """The last bytes fed to a stream and the offset of the first in the whole text."""
    return _tessel.stream_window(stream)


def parse_grammar(text: Text, origin: str = "<string>") -> tuple[list[Rule], list[str]]:
    """Parse a .lex grammar into compile()-ready rule tuples and their names."""
    return _tessel.parse_grammar(text, origin)


def _as_items(tokens: Iterable[Any]) -> list[Any]:
    return [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) if type(t) is Token else t
            for t in tokens]


def layout(tokens: Iterable[Any], insignificant: Optional[Iterable[str]] = (),
           source: Optional[Text] = None, tabs: str = "columns") -> list[Token]:
    """Insert NEWLINE/INDENT/DEDENT tokens from indentation (mode-aware).

    tokens are Token objects (as tokenize returns them, ending with END_OF_INPUT) or
    (kind, lexeme, offset, line, column, mode) tuples.
    """
    if isinstance(tokens, (str, bytes)) or not isinstance(tokens, Iterable):
        raise TypeError("layout() takes a sequence of tokens, not %s" % type(tokens).__name__)
    modes = _mode_names("insignificant", insignificant)
    tabs = _choice("tabs", tabs, _TABS)
    return _layout(_as_items(tokens), modes, source, tabs)


def end_of(handle: Any, text: Text, lexeme: Text, offset: int, line: int,
           column: int) -> tuple[int, int, int]:
    """Where the token with this lexeme and start ends in text, under the lexer's column unit."""
    return _tessel.end_of(_handle_of(handle), text, lexeme, offset, line, column)


def dfa_modes_active(handle: Any) -> list[str]:
    """The mode names with at least one rule on a DFA."""
    return _tessel.dfa_modes_active(_handle_of(handle))


def pike_rules(handle: Any, mode: str) -> list[int]:
    """The indices of the rules of mode that run on the per-rule path."""
    return _tessel.pike_rules(_handle_of(handle), mode)


def column_unit(handle: Any) -> str:
    """The unit each token's column is counted in: 'bytes', 'codepoints', or 'utf16'."""
    return _tessel.column_unit(_handle_of(handle))


def kestrel_version() -> str:
    """The kestrel version the compiled extension was built against."""
    return _tessel.kestrel_version()


# Tokens and positions pickle as the arguments that make them again.
def _reduce_position(p: Position) -> tuple[Any, ...]:
    return (Position, (p.offset, p.line, p.column))


def _reduce_token(t: Token) -> tuple[Any, ...]:
    return (Token, (t.kind, t.lexeme, t.position, t.mode))


copyreg.pickle(Position, _reduce_position)
copyreg.pickle(Token, _reduce_token)
