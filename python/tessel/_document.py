"""Document: a text and its tokens, kept right after each edit by re-lexing only what it changes.

An editor or a language server re-lexes on every keystroke. A Document holds the text, its
tokens, and for every token the two facts that make re-lexing a part of it exact:

- its look-ahead extent, the furthest byte any matcher read to decide the step that produced
  it (the native lexer records it; the end of the text counts as a byte of its own), so that an
  edit starting past it cannot have changed the token;
- the mode stack after it, interned (a table of distinct stacks, each token holding an index).

An edit re-lexes from the first token whose extent reaches the edit's start (with the stack
saved before it, the whole text visible so lookbehinds see what precedes), and stops at the
first new token boundary past the edit's end, plus the context any rule looks back, that is
also an old boundary moved by the edit's change of length, with the same mode stack: from
there on the text, the context and the state are those the old tokens were lexed from. The
tokens after that point only move: offsets by the change of length, lines by the change of
line count, columns only on the line where the two runs met.

Moving them lazily keeps an edit's cost close to what it changes. Tokens live in segments of
a few thousand; a segment after an edit records a pending move and applies it (natively, one
call for the whole segment) only when someone reads its tokens. `tokens` gives the whole list,
`tokens_in` only the lines of a viewport. The text itself is rebuilt on every edit (a copy,
at memory speed); for a str text with non-ASCII characters the conversion between str indices
and the byte offsets tokens carry costs a pass over the text before the edit.

Under errors='raise' an edit that leaves the text unlexable raises the LexError that
tokenize() of the new text raises, and the document stays as it was.
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from itertools import accumulate, repeat
from operator import add, sub
from typing import Any, NamedTuple, Optional, Union

import _tessel
from _tessel import Token

from ._errors import LexError

_lex_from = _tessel.lex_from
_shift_tokens = _tessel.shift_tokens
_end_of = _tessel.end_of
_context_bytes = _tessel.context_bytes

Text = Union[str, bytes]

# Tokens per segment: small enough that materialising one is cheap, large enough that the
# per-edit walk over the segments after the edit stays short.
_SEGMENT = 2048
# Tokens asked of the native lexer past the edit's end before the boundaries are compared.
_FIRST_BATCH = 8
# Characters between two marks of a str document (see Document._set_text).
_MARK = 16384


class TokenChange(NamedTuple):
    """What one edit did to the token list: tokens[start:stop] were replaced by `tokens`."""

    start: int
    stop: int
    tokens: list[Token]


class _Rows:
    """Tokens with, per token, its end offset, widened extent and stack id: parallel lists."""

    __slots__ = ("toks", "ends", "deps", "stacks")

    def __init__(self, toks: Optional[list[Token]] = None, ends: Optional[list[int]] = None,
                 deps: Optional[list[int]] = None, stacks: Optional[list[int]] = None) -> None:
        self.toks = toks if toks is not None else []
        self.ends = ends if ends is not None else []
        self.deps = deps if deps is not None else []
        self.stacks = stacks if stacks is not None else []

    def __len__(self) -> int:
        return len(self.toks)

    def extend(self, other: "_Rows") -> None:
        self.toks += other.toks
        self.ends += other.ends
        self.deps += other.deps
        self.stacks += other.stacks

    def part(self, a: int, b: Optional[int] = None) -> "_Rows":
        return _Rows(self.toks[a:b], self.ends[a:b], self.deps[a:b], self.stacks[a:b])


class _Segment:
    """A run of consecutive tokens with what resuming needs, and a pending move.

    The lists hold the tokens as they were last materialised ("raw"); the current value of
    each is the raw one moved by (offset_delta, line_delta) and, for the tokens whose raw line
    is column_line, by column_delta.
    """

    __slots__ = ("toks", "ends", "deps", "stacks", "d_off", "d_line", "c_line", "d_col", "first_line",
                 "last_line", "max_dep")

    def __init__(self, rows: _Rows) -> None:
        toks = self.toks = rows.toks
        self.ends = rows.ends
        deps = self.deps = rows.deps
        self.stacks = rows.stacks
        self.d_off = 0
        self.d_line = 0
        self.c_line = 0
        self.d_col = 0
        self.first_line = toks[0].line
        self.last_line = toks[-1].line
        self.max_dep = max(deps)

    def rows(self) -> _Rows:
        """The lists, materialised."""
        self.materialise()
        return _Rows(self.toks, self.ends, self.deps, self.stacks)

    def materialise(self) -> None:
        if self.d_off == 0 and self.d_line == 0 and self.d_col == 0:
            return
        d = self.d_off
        self.toks = _shift_tokens(self.toks, d, self.d_line, self.c_line, self.d_col)
        if d:
            self.ends = [x + d for x in self.ends]
            self.deps = [x + d for x in self.deps]
            self.max_dep += d
        self.first_line += self.d_line
        self.last_line += self.d_line
        self.d_off = self.d_line = self.c_line = self.d_col = 0

    def move(self, d_off: int, d_line: int, c_line: int, d_col: int) -> None:
        """Adds a move given in current numbering (the column one for current line c_line)."""
        if d_col and not (self.first_line + self.d_line <= c_line <= self.last_line + self.d_line):
            d_col = 0
        if d_col:
            raw = c_line - self.d_line
            if self.d_col and self.c_line != raw:
                self.materialise()
                raw = c_line
            self.c_line = raw
            self.d_col += d_col
        self.d_off += d_off
        self.d_line += d_line

    # Current values, without materialising.
    def end(self, i: int) -> int:
        return self.ends[i] + self.d_off

    def dep(self, i: int) -> int:
        return self.deps[i] + self.d_off

    def start_offset(self) -> int:
        return self.toks[0].offset + self.d_off


class _OldBoundaries:
    """The ends of the old tokens from index k on, read in increasing order: the new run's
    boundaries only grow, so one pass over the old ones answers every question of an edit."""

    __slots__ = ("segs", "si", "j", "index")

    def __init__(self, segs: list[_Segment], starts: list[int], k: int) -> None:
        self.segs = segs
        self.si = max(0, bisect_right(starts, k) - 1)
        if self.si < len(segs) and k >= starts[self.si] + len(segs[self.si].toks):
            self.si += 1  # k is the count: past the last segment
        self.j = k - starts[self.si] if self.si < len(segs) else 0
        self.index = k

    def find(self, b: int, sid: int) -> Optional[int]:
        """The index of an old token that ends at byte b with stack sid, if any."""
        segs = self.segs
        while self.si < len(segs):
            seg = segs[self.si]
            ends = seg.ends
            d = seg.d_off
            cnt = len(ends)
            if ends[cnt - 1] + d < b:
                # Nothing in this segment reaches b: skip it whole.
                self.index += cnt - self.j
                self.si += 1
                self.j = 0
                continue
            j = bisect_left(ends, b - d, self.j)
            self.index += j - self.j
            self.j = j
            # Tokens ending at b (an empty token can share its end with the one before).
            while j < cnt and ends[j] + d == b:
                if seg.stacks[j] == sid:
                    return self.index + (j - self.j)
                j += 1
            if j < cnt:
                return None
            # All the rest of this segment ends at b: go on into the next.
            self.index += cnt - self.j
            self.si += 1
            self.j = 0
        return None


class Document:
    """A text and its tokens, kept equal to ``lexer.tokenize(text)`` across edits.

    Args:
        lexer: A `tessel.Lexer` (or anything with its ``handle``, ``tokenize`` and ``column_unit``).
        text: The initial text; str gives str lexemes and str-index edits, bytes gives bytes
            lexemes and byte-offset edits.

    A Document is not guarded against threads: use each from one thread at a time.

    Raises:
        LexError: Under errors='raise', if the initial text is unlexable.
    """

    def __init__(self, lexer: Any, text: Text) -> None:
        if not isinstance(text, (str, bytes)):
            raise TypeError("expected str or bytes")
        self._lexer = lexer
        self._handle = lexer.handle
        self._unit = lexer.column_unit
        # How far behind a boundary the next step may look: the rules' lookbehind context, and
        # three bytes for the column count of a continuation byte.
        self._context = max(_context_bytes(self._handle), 0 if self._unit == "bytes" else 3)
        # Extents are widened by two bytes in the other units: the column after a token's last
        # byte depends on the bytes that follow it (a lead byte needs its continuation bytes).
        self._slack = 0 if self._unit == "bytes" else 2
        self._is_bytes = isinstance(text, bytes)
        self._stack_ids: dict[tuple[int, ...], int] = {(0,): 0}
        self._stack_list: list[tuple[int, ...]] = [(0,)]
        self._set_text(text)
        self._rebuild()

    # ---- the text -----------------------------------------------------------------------

    def _set_text(self, text: Text) -> None:
        # The text lives as UTF-8 in a bytearray, edited in place (a copy of a large text per
        # keystroke would cost more than the re-lexing); the str or bytes form is made when
        # asked for.  A str document also keeps marks, a (str index, byte offset) pair every
        # _MARK characters or so, to turn indices into offsets without a pass over the text.
        self._buf = bytearray(text.encode("utf-8") if isinstance(text, str) else text)
        self._shown: Optional[Text] = text
        self._marks: list[int] = []
        self._mark_bytes: list[int] = []
        if isinstance(text, str):
            self._remark(text)

    def _remark(self, text: str) -> None:
        marks = list(range(0, len(text), _MARK))
        offsets = []
        at = 0
        prev = 0
        for m in marks:
            at += len(text[prev:m].encode("utf-8"))
            offsets.append(at)
            prev = m
        self._marks = marks or [0]
        self._mark_bytes = offsets or [0]

    def _byte_offset(self, index: int) -> int:
        if self._is_bytes:
            return index
        j = bisect_right(self._marks, index) - 1
        ci, bi = self._marks[j], self._mark_bytes[j]
        if index - ci > 4 * _MARK:
            # Edits removed the marks of a long stretch: lay them out again.
            self._remark(self.text)  # type: ignore[arg-type]
            return self._byte_offset(index)
        piece = self._buf[bi:bi + 4 * (index - ci)].decode("utf-8", "ignore")
        return bi + len(piece[:index - ci].encode("utf-8"))

    def _text_index(self, offset: int) -> int:
        if self._is_bytes:
            return offset
        j = bisect_right(self._mark_bytes, offset) - 1
        return self._marks[j] + len(self._buf[self._mark_bytes[j]:offset].decode("utf-8"))

    def _move_marks(self, s: int, e: int, inserted: bytes) -> None:
        """Marks after an edit of bytes s:e: those inside go, those after move."""
        if self._is_bytes:
            return
        mb = self._mark_bytes
        lo = bisect_right(mb, s)
        hi = bisect_right(mb, e)
        d_chars = len(inserted.decode("utf-8")) - len(self._buf[s:e].decode("utf-8"))
        d_bytes = len(inserted) - (e - s)
        self._marks[lo:] = [x + d_chars for x in self._marks[hi:]]
        mb[lo:] = [x + d_bytes for x in mb[hi:]]

    def _old_slice(self, a: int, b: int, s: int, e: int, removed: bytes, inserted: int) -> bytes:
        """Bytes a:b of the text as it was before the edit of s:e (now `inserted` bytes long),
        read from the edited buffer and the removed bytes."""
        buf = self._buf
        out = bytes(buf[a:min(b, s)]) if a < s else b""
        if b > s and a < e:
            out += removed[max(a, s) - s:min(b, e) - s]
        if b > e:
            d = inserted - (e - s)
            out += bytes(buf[max(a, e) + d:b + d])
        return out

    def _end(self, tok: Token, chunk_of: Any) -> tuple[int, int, int]:
        """Where tok ends: the column count reads up to three bytes around the lexeme."""
        lex = tok.lexeme if isinstance(tok.lexeme, bytes) else tok.lexeme.encode("utf-8")
        a = max(0, tok.offset - 3)
        chunk = chunk_of(a, tok.offset + len(lex) + 3)
        off, line, col = _end_of(self._handle, chunk, lex, tok.offset - a, tok.line, tok.column)
        return off + a, line, col

    @property
    def text(self) -> Text:
        """The current text (str or bytes, as given)."""
        if self._shown is None:
            self._shown = bytes(self._buf) if self._is_bytes else self._buf.decode("utf-8")
        return self._shown

    @property
    def lexer(self) -> Any:
        return self._lexer

    # ---- tokens -------------------------------------------------------------------------

    def _intern(self, modes: tuple[int, ...]) -> int:
        sid = self._stack_ids.get(modes)
        if sid is None:
            sid = len(self._stack_list)
            self._stack_ids[modes] = sid
            self._stack_list.append(modes)
        return sid

    def _segments_of(self, rows: _Rows) -> list[_Segment]:
        return [_Segment(rows.part(i, i + _SEGMENT)) for i in range(0, len(rows), _SEGMENT)]

    def _run(self, offset: int, line: int, column: int, stack: tuple[int, ...], until: int,
             more: int) -> tuple[_Rows, tuple[int, int, int], tuple[int, ...], bool]:
        """One native run: tokens, their ends, widened extents and stack ids, the state after."""
        toks, ends, extents, changes, after, after_stack, finished = _lex_from(
            self._handle, self._buf, offset, line, column, stack, until, more, 0 if self._is_bytes else 1)
        # Whole-list operations only: a run may hold a whole file's tokens.
        if self._slack:
            deps = list(map(max, extents, map(add, ends, repeat(self._slack, len(ends)))))
        else:
            deps = list(map(max, extents, ends))
        stacks: list[int] = []
        sid = self._intern(stack)
        at = 0
        for i, modes in changes:
            stacks += repeat(sid, i - at)
            sid = self._intern(modes)
            at = i
        stacks += repeat(sid, len(toks) - at)
        return _Rows(toks, ends, deps, stacks), after, tuple(e[0] for e in after_stack), finished

    def _rebuild(self) -> None:
        rows = self._run(0, 1, 1, (0,), 0xFFFFFFFF, 0xFFFFFFFF)[0]
        self._segs = self._segments_of(rows)
        self._count = len(rows)
        self._starts: list[int] = []
        # How far past its end any token's extent has reached: bounds the search for the
        # first token an edit affects.  Only grows.
        self._ahead = max(map(sub, rows.deps, rows.ends), default=0)
        self._index_segments(0)
        self._flat: Optional[list[Token]] = None

    @property
    def tokens(self) -> list[Token]:
        """Every token, as ``lexer.tokenize(text)`` gives them (a new list each edit)."""
        if self._flat is None:
            out: list[Token] = []
            for seg in self._segs:
                seg.materialise()
                out.extend(seg.toks)
            self._flat = out
        return list(self._flat)

    def __len__(self) -> int:
        return self._count

    def tokens_in(self, line_from: int, line_to: int) -> list[Token]:
        """The tokens that cover any of the lines line_from to line_to (1-based, inclusive),
        a token spanning several lines included: what a viewport of those lines paints."""
        out: list[Token] = []
        segs = self._segs
        # The first segment that may hold a token starting at or after line_from.
        lo = 0
        hi = len(segs)
        while lo < hi:
            mid = (lo + hi) // 2
            if segs[mid].last_line + segs[mid].d_line < line_from:
                lo = mid + 1
            else:
                hi = mid
        # The token before the first one on line_from may reach into it.
        si = lo
        if si < len(segs):
            seg = segs[si]
            seg.materialise()
            i = bisect_left([t.line for t in seg.toks], line_from)
        else:
            i = 0
        prev = self._previous(si, i)
        if prev is not None:
            t = prev
            lex = t.lexeme
            nl = lex.count(b"\n" if isinstance(lex, bytes) else "\n")
            if nl and t.line + nl >= line_from:
                out.append(t)
        while si < len(segs):
            seg = segs[si]
            seg.materialise()
            toks = seg.toks
            while i < len(toks):
                t = toks[i]
                if t.line > line_to:
                    return out
                out.append(t)
                i += 1
            si += 1
            i = 0
        return out

    def _previous(self, si: int, i: int) -> Optional[Token]:
        if i > 0:
            return self._segs[si].toks[i - 1]
        if si > 0:
            seg = self._segs[si - 1]
            seg.materialise()
            return seg.toks[-1]
        return None

    # ---- locating -----------------------------------------------------------------------

    def _index_segments(self, first: int) -> None:
        """Recounts the index of each segment's first token, from segment `first` on."""
        starts: list[int] = self._starts[:first] if first else []
        if len(self._segs) > first:
            base = starts[-1] + len(self._segs[first - 1].toks) if first else 0
            starts += accumulate([len(seg.toks) for seg in self._segs[first:-1]], initial=base)
        self._starts = starts

    def _seg_of_index(self, k: int) -> tuple[int, int]:
        """(segment, index within it) of token k (k < count)."""
        si = bisect_right(self._starts, k) - 1
        return si, k - self._starts[si]

    def _first_affected(self, start: int) -> int:
        """Index of the first token whose widened extent reaches `start` (count when none)."""
        segs = self._segs
        # Segments from the one holding `start` back to where no token can reach it.
        si = bisect_right(segs, start, key=_Segment.start_offset) - 1
        # Failing all else, the first token that starts after `start`, which reads it.
        found = -1
        after = self._starts[si + 1] if si + 1 < len(segs) else self._count
        while si >= 0:
            seg = segs[si]
            if seg.end(len(seg.ends) - 1) + self._ahead < start:
                break
            if seg.max_dep + seg.d_off >= start:
                found = si
            si -= 1
        if found < 0:
            return after
        seg = segs[found]
        d = seg.d_off
        for j, x in enumerate(seg.deps):
            if x + d >= start:
                return self._starts[found] + j
        raise AssertionError("a segment's largest extent is one of its extents")

    def _token(self, k: int) -> tuple[Token, _Segment, int]:
        si, j = self._seg_of_index(k)
        seg = self._segs[si]
        seg.materialise()
        return seg.toks[j], seg, j

    # ---- editing ------------------------------------------------------------------------

    def edit(self, start: int, end: int, new_text: Text) -> TokenChange:
        """Replace text[start:end] by new_text (str indices for a str document, byte offsets
        for bytes) and re-lex what that can change.

        Returns:
            TokenChange: tokens[start:stop] of the old list were replaced by its tokens; the
            tokens after them moved.

        Raises:
            TypeError: If new_text is not of the document's kind.
            ValueError: If the range is not within the text.
            LexError: Under errors='raise', if the new text is unlexable (the document is
                left unchanged).
        """
        if self._is_bytes != isinstance(new_text, bytes) or not isinstance(new_text, (str, bytes)):
            raise TypeError("new_text must be %s, like the document's text" % ("bytes" if self._is_bytes else "str"))
        n = len(self._buf) if self._is_bytes else self._marks[-1] + len(
            self._buf[self._mark_bytes[-1]:].decode("utf-8"))
        if not (0 <= start <= end <= n):
            raise ValueError("edit range %d:%d is not within the text (length %d)" % (start, end, n))
        s = self._byte_offset(start)
        e = self._byte_offset(end) if end != start else s
        return self._edit_bytes(s, e, new_text)

    def edit_range(self, start_line: int, start_column: int, end_line: int, end_column: int,
                   new_text: Text) -> TokenChange:
        """Replace the text between two (line, column) positions, 1-based, columns in the
        lexer's unit (so a language server passes utf16 ranges as they come, plus one).

        A column past the end of its line means the end of the line.

        Raises:
            ValueError: If a line is past the text, the end is before the start, or a utf16
                column falls inside a character.
        """
        s = self._offset_at(start_line, start_column)
        e = self._offset_at(end_line, end_column)
        if e < s:
            raise ValueError("edit range ends before it starts")
        return self._edit_bytes(s, e, new_text)

    def offset_at(self, line: int, column: int) -> int:
        """The index in the text (str index or byte offset) of a 1-based line and column."""
        return self._text_index(self._offset_at(line, column))

    def _offset_at(self, line: int, column: int) -> int:
        if line < 1 or column < 1:
            raise ValueError("lines and columns are 1-based")
        b = self._buf
        # Anchor: the last token that starts at or before (line, column); else the start.
        pos, ln, col = 0, 1, 1
        segs = self._segs
        lo, hi = 0, len(segs)
        while lo < hi:
            mid = (lo + hi) // 2
            if segs[mid].first_line + segs[mid].d_line <= line:
                lo = mid + 1
            else:
                hi = mid
        for si in (lo - 1, lo - 2):
            if si < 0:
                break
            seg = segs[si]
            seg.materialise()
            keys = [(t.line, t.column) for t in seg.toks]
            j = bisect_right(keys, (line, column)) - 1
            if j >= 0:
                t = seg.toks[j]
                pos, ln, col = t.offset, t.line, t.column
                break
        while ln < line:
            nl = b.find(b"\n", pos)
            if nl < 0:
                raise ValueError("line %d is past the end of the text" % line)
            pos, ln, col = nl + 1, ln + 1, 1
        if col == column:
            return pos
        nl = b.find(b"\n", pos)
        stop = len(b) if nl < 0 else nl
        unit = self._unit
        piece = b[pos:stop].decode("utf-8", "surrogateescape")
        for ch in piece:
            if col >= column:
                break
            cp = ord(ch)
            if 0xDC80 <= cp <= 0xDCFF:
                size, width = 1, 1  # one byte of malformed UTF-8: one column in every unit
            else:
                size = 1 if cp < 0x80 else 2 if cp < 0x800 else 3 if cp < 0x10000 else 4
                width = size if unit == "bytes" else (2 if unit == "utf16" and cp >= 0x10000 else 1)
            if col + width > column:
                raise ValueError("column %d of line %d falls inside a character" % (column, line))
            col += width
            pos += size
        return pos

    def _edit_bytes(self, s: int, e: int, new_text: Text) -> TokenChange:
        if self._is_bytes != isinstance(new_text, bytes) or not isinstance(new_text, (str, bytes)):
            raise TypeError("new_text must be %s, like the document's text" % ("bytes" if self._is_bytes else "str"))
        nb = new_text if isinstance(new_text, bytes) else new_text.encode("utf-8")
        removed = bytes(self._buf[s:e])
        shown = self._shown
        marks = (list(self._marks), list(self._mark_bytes)) if not self._is_bytes else None
        self._move_marks(s, e, nb)
        self._buf[s:e] = nb
        self._shown = None

        def undo() -> None:
            self._buf[s:s + len(nb)] = removed
            self._shown = shown
            if marks is not None:
                self._marks, self._mark_bytes = marks

        try:
            return self._relex(s, e, nb, removed)
        except LexError:
            new_full = self.text
            undo()
        except BaseException:
            undo()
            raise
        # The error tokenize() gives, message and position included: the saved stacks keep
        # the modes, not where each was entered, which the messages name.
        self._lexer.tokenize(new_full)
        # Not reached unless the incremental run and tokenize() disagree; then the whole new
        # text, lexed afresh, is the answer.
        count = self._count
        self._set_text(new_full)
        self._rebuild()
        return TokenChange(0, count, self.tokens)

    def _relex(self, s: int, e: int, nb: bytes, removed: bytes) -> TokenChange:
        inserted = len(nb)
        delta = inserted - (e - s)

        def old_chunk(a: int, b: int) -> bytes:
            return self._old_slice(a, b, s, e, removed, inserted)

        k = self._first_affected(s)
        # The state before token k.
        if k == 0:
            off, line, col = 0, 1, 1
            stack: tuple[int, ...] = (0,)
        else:
            t, seg, j = self._token(k - 1)
            off, line, col = self._end(t, old_chunk)
            stack = self._stack_list[seg.stacks[j]]
        new_end = s + inserted
        sync_from = new_end + self._context
        new = _Rows()
        old = _OldBoundaries(self._segs, self._starts, k)
        more = _FIRST_BATCH
        until = sync_from
        stop = None  # old index after the last replaced token
        shift = None
        while True:
            got, after, after_stack, finished = self._run(off, line, col, stack, until, more)
            base = len(new)
            new.extend(got)
            for i, b2 in enumerate(got.ends):
                if b2 < sync_from:
                    continue
                m = old.find(b2 - delta, got.stacks[i])
                if m is not None:
                    stop = m + 1
                    new = new.part(0, base + i + 1)
                    shift = (m, got.toks[i])
                    break
            if stop is not None or finished:
                break
            off, line, col = after
            stack = after_stack
            until = 0
            more *= 2
        if stop is None:
            stop = self._count
        self._splice(k, stop, new, delta, shift, old_chunk)
        return TokenChange(k, stop, new.toks)

    def _splice(self, k: int, stop: int, new: _Rows, delta: int, shift: Optional[tuple[int, Token]],
                old_chunk: Any) -> None:
        segs = self._segs
        # The segments holding old tokens k .. stop-1 are cut out and rebuilt with the new ones.
        if not segs:
            first, first_index = 0, 0
        elif k == self._count:
            first, first_index = len(segs) - 1, self._starts[-1]
        else:
            first, j = self._seg_of_index(k)
            first_index = k - j
        pieces = _Rows()
        last = first
        m = first_index
        while last < len(segs) and m < stop:
            m += len(segs[last].toks)
            last += 1
        if first < len(segs):
            pieces = segs[first].rows().part(0, k - first_index)
        pieces.extend(new)
        tail: Optional[_Segment] = None
        moved_after = last
        if stop < m:
            # The rest of the last cut segment follows the new tokens, moved.
            tseg = segs[last - 1]
            tail = _Segment(tseg.rows().part(stop - (m - len(tseg.toks))))
        mv = None
        if shift is not None and stop < self._count:
            om, nt = shift
            ot, oseg, oj = self._token(om)
            o_end = self._end(ot, old_chunk)
            n_end = self._end(nt, lambda a, b: bytes(self._buf[a:b]))
            mv = (delta, n_end[1] - o_end[1], o_end[1], n_end[2] - o_end[2])
        rebuilt = self._segments_of(pieces)
        later = segs[moved_after:]
        if tail is not None:
            later.insert(0, tail)
        if mv is not None:
            d_off, d_line, c_line, d_col = mv
            for seg in later:
                seg.move(d_off, d_line, c_line, d_col)
        self._segs = segs[:first] + rebuilt + later
        self._count = self._count - (stop - k) + len(new)
        self._ahead = max(self._ahead, max(map(sub, new.deps, new.ends), default=0))
        self._index_segments(first)
        self._flat = None

    def __repr__(self) -> str:
        return "<tessel.Document %d tokens, %d bytes>" % (self._count, len(self._buf))
