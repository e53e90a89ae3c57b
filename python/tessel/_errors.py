"""The exception classes the extension raises, and a display of any of them in context.

The extension looks these classes up by name in this package when it raises, so they must stay
importable as ``tessel.LexError``, ``tessel.LayoutError`` and ``tessel.GrammarError`` and keep
deriving from the extension's ``error``. The extension sets the position attributes on the
instance after constructing it with the message alone.
"""

from __future__ import annotations

from typing import Optional, Union

from _tessel import Token, error


class LexError(error):
    """Raised where some position is matched by no rule.

    Attributes set by the extension: ``offset`` (0-based byte offset), ``line`` (1-based),
    ``column`` (1-based, in the lexer's column unit) and, for streams, ``tokens`` (the list of
    Tokens decided earlier in the same call, before the error).
    """

    offset: int
    line: int
    column: int
    tokens: list[Token]

    def __init__(self, message: str) -> None:
        super().__init__(message)


class LayoutError(error):
    """Raised by layout() on inconsistent indentation.

    Attributes set by the extension: ``offset``, ``line`` and ``column`` of the offending token.
    """

    offset: int
    line: int
    column: int

    def __init__(self, message: str) -> None:
        super().__init__(message)


class GrammarError(error):
    """Raised by parse_grammar() on a malformed .lex text.

    Attributes set by the extension: ``line`` and ``column`` (1-based) and ``cause`` (the
    bare reason, without the origin and position that the message starts with).
    """

    line: int
    column: int
    cause: str

    def __init__(self, message: str) -> None:
        super().__init__(message)


def _as_bytes(source: Union[str, bytes]) -> bytes:
    if isinstance(source, str):
        return source.encode("utf-8", "surrogatepass")
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    raise TypeError("source must be str or bytes, not %s" % type(source).__name__)


def _describe_char(data: bytes, offset: int) -> str:
    """Names the character that starts at a byte offset: the character, its code point, or the
    raw byte when the bytes there are not UTF-8."""
    if offset >= len(data):
        return "the end of the text"
    # A UTF-8 sequence is at most four bytes; try the shortest that decodes.
    for n in range(1, 5):
        try:
            ch = data[offset:offset + n].decode("utf-8")
        except UnicodeDecodeError:
            continue
        return "%r (U+%04X)" % (ch, ord(ch))
    return "the byte 0x%02X, which is not UTF-8" % data[offset]


def format_error(exc: BaseException, source: Union[str, bytes], *,
                 origin: Optional[str] = None) -> str:
    """Show a LexError, LayoutError or GrammarError in the text it is about.

    The result has three or four lines: ``origin:line:column: message``, the offending line,
    a caret under the place, and for a LexError the character no rule matched. ``source`` is
    the text that was lexed (for a GrammarError, the grammar text). The caret is placed by the
    byte offset (or, for grammar errors, the byte column), so it stands right whatever column
    unit the lexer counted in; tabs in the line are copied into the caret line so it lines up.

    Raises:
        TypeError: If exc is not one of the three errors, or source is not str or bytes.
    """
    if not isinstance(exc, (LexError, LayoutError, GrammarError)):
        raise TypeError("format_error() shows a LexError, LayoutError or GrammarError, not %s"
                        % type(exc).__name__)
    data = _as_bytes(source)
    line = getattr(exc, "line", 0)
    column = getattr(exc, "column", 0)
    if isinstance(exc, GrammarError):
        # The message of a grammar error already starts with its origin and position.
        head = str(exc)
        if line <= 0:
            return head
        starts = [0] + [i + 1 for i, b in enumerate(data) if b == 0x0A]
        if line > len(starts):
            return head
        start = starts[line - 1]
        if line == 1 and data.startswith(b"\xef\xbb\xbf"):
            start = 3
        offset = start + max(column - 1, 0) if column > 0 else None
    else:
        where = origin if origin is not None else "<string>"
        head = "%s:%d:%d: %s" % (where, line, column, exc)
        offset = min(max(getattr(exc, "offset", 0), 0), len(data))
        start = data.rfind(b"\n", 0, offset) + 1
    end = data.find(b"\n", start)
    if end < 0:
        end = len(data)
    text = data[start:end].rstrip(b"\r").decode("utf-8", "replace")
    out = [head, "    " + text]
    if offset is not None:
        before = data[start:min(offset, end)].decode("utf-8", "replace")
        pad = "".join(c if c == "\t" else " " for c in before)
        out.append("    " + pad + "^")
    if isinstance(exc, LexError) and offset is not None:
        out.append("unexpected %s" % _describe_char(data, offset))
    return "\n".join(out)
