"""Every module function called with bad arguments: each call raises the stated exception class.

The table lists wrong types, capsules of the wrong kind, out-of-range and huge integers, None,
empty values and objects whose protocol methods raise. Where the failure comes from the
interpreter's own argument parser or capsule lookup only the class is asserted; where the
message is tessel's own it is asserted exactly. Every call is repeated and must leave the
reference counts of the handle, cursor and stream it touched unchanged, and the objects usable.
"""

import datetime
import sys

import pytest

import _tessel
import tessel
from _tessel import Position, Token

RULES = [(1, "[a-z]+", False), (2, "[0-9]+", False), (3, " +", True)]

ACTION_MESSAGE = 'action must be None or a tuple ("push", mode) / ("set", mode) / ("pop",)'
NOT_LEXED = "end_of: the token was not lexed from this source"
END_PAST_LIMIT = "end_of: the token would end past line or column 4294967295"
NOT_A_HANDLE = "expected a tessel.lexer handle"
LAYOUT_RANGE = "layout: token 0 has a negative or too large offset, line or column"
U32_MAX = 2**32 - 1


class Env:
    """The objects the calls are made with: a fresh set for every case."""

    def __init__(self):
        self.lx = _tessel.compile(RULES)
        self.cur = _tessel.scan_start(self.lx, "ab 12")
        self.st = _tessel.stream_start(self.lx)
        _tessel.stream_feed(self.st, "ab ")
        self.done = _tessel.stream_start(self.lx)
        _tessel.stream_finish(self.done)
        self.foreign = datetime.datetime_CAPI  # a capsule of another module
        self.pos = Position(0, 1, 1)

    def objects(self):
        return [self.lx, self.cur, self.st, self.done, self.pos]


class RaisingBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


class LyingSequence:
    """Claims two items but fails on the second."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return (1, "a", False)
        raise KeyError(i)


class RaisingLen:
    def __len__(self):
        raise ZeroDivisionError("no length")


class HugeSequence:
    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return (1, "a", False)


# (id, call, exception class, exact message or None when the message is the interpreter's)
CASES = [
    # --- compile -----------------------------------------------------------------------------
    ("compile/no-arguments", lambda e: _tessel.compile(), TypeError, None),
    ("compile/too-many-arguments", lambda e: _tessel.compile(RULES, (), None, None, None, 1),
     TypeError, None),
    ("compile/keywords", lambda e: _tessel.compile(RULES, errors="token"), TypeError, None),
    ("compile/rules-None", lambda e: _tessel.compile(None), TypeError, None),
    ("compile/rules-int", lambda e: _tessel.compile(7), TypeError, None),
    ("compile/rules-dict", lambda e: _tessel.compile({0: (1, "a", False)}), TypeError, None),
    ("compile/rules-len-raises", lambda e: _tessel.compile(RaisingLen()), ZeroDivisionError,
     "no length"),
    ("compile/rules-getitem-raises", lambda e: _tessel.compile(LyingSequence()), KeyError, None),
    ("compile/rules-huge-length", lambda e: _tessel.compile(HugeSequence()), _tessel.error, None),
    ("compile/rule-None", lambda e: _tessel.compile([None]), TypeError,
     "rule 0 must be a tuple (kind, pattern, skip[, in_mode[, action]]), not NoneType"),
    ("compile/rule-list", lambda e: _tessel.compile([(1, "a", False), [2, "b", False]]), TypeError,
     "rule 1 must be a tuple (kind, pattern, skip[, in_mode[, action]]), not list"),
    ("compile/rule-empty-tuple", lambda e: _tessel.compile([()]), TypeError, None),
    ("compile/rule-two-fields", lambda e: _tessel.compile([(1, "a")]), TypeError, None),
    ("compile/rule-six-fields", lambda e: _tessel.compile([(1, "a", False, None, None, None)]),
     TypeError, None),
    ("compile/kind-2**31", lambda e: _tessel.compile([(2**31, "a", False)]), OverflowError, None),
    ("compile/kind-below-int32", lambda e: _tessel.compile([(-(2**31) - 1, "a", False)]),
     OverflowError, None),
    ("compile/kind-2**63", lambda e: _tessel.compile([(2**63, "a", False)]), OverflowError, None),
    ("compile/kind-2**100", lambda e: _tessel.compile([(2**100, "a", False)]), OverflowError, None),
    ("compile/kind-None", lambda e: _tessel.compile([(None, "a", False)]), TypeError, None),
    ("compile/kind-str", lambda e: _tessel.compile([("1", "a", False)]), TypeError, None),
    ("compile/kind-end-of-input", lambda e: _tessel.compile([(1, "a", False), (-(2**31), "b", False)]),
     _tessel.error, "rule 1: kind -2147483648 is reserved (tessel::end_of_input to tessel::error)"),
    ("compile/pattern-None", lambda e: _tessel.compile([(1, None, False)]), TypeError, None),
    ("compile/pattern-bytes", lambda e: _tessel.compile([(1, b"a", False)]), TypeError, None),
    ("compile/pattern-nul", lambda e: _tessel.compile([(1, "a\0", False)]), ValueError, None),
    ("compile/pattern-surrogate", lambda e: _tessel.compile([(1, "\ud800", False)]),
     UnicodeEncodeError, None),
    ("compile/pattern-huge", lambda e: _tessel.compile([(1, "a" * 1_000_000, False)]),
     _tessel.error, "rule 0: regex_error at 0: program too large"),
    ("compile/pattern-deep", lambda e: _tessel.compile([(1, "(" * 100_000 + "a" + ")" * 100_000, False)]),
     _tessel.error, "rule 0: regex_error at 200: pattern nesting too deep"),
    ("compile/skip-bool-raises", lambda e: _tessel.compile([(1, "a", RaisingBool())]),
     ZeroDivisionError, "no truth value"),
    ("compile/in_mode-int", lambda e: _tessel.compile([(1, "a", False, 5)]), _tessel.error,
     "in_mode must be a sequence of str"),
    ("compile/in_mode-bytes-entry", lambda e: _tessel.compile([(1, "a", False, [b"x"])]),
     _tessel.error, "in_mode entries must be str"),
    ("compile/in_mode-surrogate", lambda e: _tessel.compile([(1, "a", False, ["\udcff"])]),
     UnicodeEncodeError, None),
    ("compile/action-empty-tuple", lambda e: _tessel.compile([(1, "a", False, None, ())]),
     _tessel.error, ACTION_MESSAGE),
    ("compile/action-int", lambda e: _tessel.compile([(1, "a", False, None, 5)]), _tessel.error,
     ACTION_MESSAGE),
    ("compile/action-three-items", lambda e: _tessel.compile([(1, "a", False, None, ("push", "x", "y"))]),
     _tessel.error, ACTION_MESSAGE),
    ("compile/action-bytes", lambda e: _tessel.compile([(1, "a", False, None, (b"pop",))]),
     _tessel.error, ACTION_MESSAGE),
    ("compile/action-empty-name", lambda e: _tessel.compile([(1, "a", False, None, ("",))]),
     _tessel.error, "unknown action '' (expected push, pop or set)"),
    ("compile/dfa_modes-int", lambda e: _tessel.compile(RULES, 5), _tessel.error,
     "dfa_modes must be a sequence of str"),
    ("compile/dfa_modes-entry-None", lambda e: _tessel.compile(RULES, ["default", None]),
     _tessel.error, "dfa_modes entries must be str"),
    # Messages travel as C strings: a NUL in a mode name is shown as \x00, not cut off.
    ("compile/dfa_modes-nul", lambda e: _tessel.compile(RULES, ["x\0y"]), _tessel.error,
     "dfa_modes names an unknown mode: x\\x00y"),
    ("compile/dfa_modes-empty-name", lambda e: _tessel.compile(RULES, [""]), _tessel.error,
     "dfa_modes names an unknown mode: "),
    ("compile/errors-int", lambda e: _tessel.compile(RULES, (), 5), TypeError, None),
    ("compile/errors-empty", lambda e: _tessel.compile(RULES, (), ""), ValueError,
     "errors must be 'raise' or 'token', not ''"),
    ("compile/errors-nul", lambda e: _tessel.compile(RULES, (), "raise\0"), ValueError, None),
    ("compile/columns-bytes-object", lambda e: _tessel.compile(RULES, (), None, b"bytes"),
     TypeError, None),
    ("compile/columns-case", lambda e: _tessel.compile(RULES, (), None, "UTF16"), ValueError,
     "columns must be 'bytes', 'codepoints', or 'utf16', not 'UTF16'"),
    ("compile/dfa-empty", lambda e: _tessel.compile(RULES, (), None, None, ""), ValueError,
     "dfa must be 'auto' or 'requested', not ''"),
    ("compile/dfa-bool", lambda e: _tessel.compile(RULES, (), None, None, True), TypeError, None),

    # --- the typed wrappers ------------------------------------------------------------------
    ("dfa_modes_active/no-arguments", lambda e: _tessel.dfa_modes_active(), TypeError,
     "expected 1 argument(s), got 0"),
    ("dfa_modes_active/two-arguments", lambda e: _tessel.dfa_modes_active(e.lx, e.lx), TypeError,
     "expected 1 argument(s), got 2"),
    ("dfa_modes_active/keyword", lambda e: _tessel.dfa_modes_active(handle=e.lx), TypeError, None),
    ("dfa_modes_active/None", lambda e: _tessel.dfa_modes_active(None), TypeError, NOT_A_HANDLE),
    ("dfa_modes_active/cursor", lambda e: _tessel.dfa_modes_active(e.cur), TypeError, NOT_A_HANDLE),
    ("dfa_modes_active/stream", lambda e: _tessel.dfa_modes_active(e.st), TypeError, NOT_A_HANDLE),
    ("dfa_modes_active/foreign-capsule", lambda e: _tessel.dfa_modes_active(e.foreign), TypeError,
     NOT_A_HANDLE),
    ("pike_rules/one-argument", lambda e: _tessel.pike_rules(e.lx), TypeError,
     "expected 2 argument(s), got 1"),
    ("pike_rules/three-arguments", lambda e: _tessel.pike_rules(e.lx, "default", "x"), TypeError,
     "expected 2 argument(s), got 3"),
    ("pike_rules/cursor", lambda e: _tessel.pike_rules(e.cur, "default"), TypeError, NOT_A_HANDLE),
    ("pike_rules/handle-second", lambda e: _tessel.pike_rules("default", e.lx), TypeError,
     NOT_A_HANDLE),
    ("pike_rules/mode-None", lambda e: _tessel.pike_rules(e.lx, None), TypeError,
     "expected str, got NoneType"),
    ("pike_rules/mode-bytes", lambda e: _tessel.pike_rules(e.lx, b"default"), TypeError,
     "expected str, got bytes"),
    ("pike_rules/mode-empty", lambda e: _tessel.pike_rules(e.lx, ""), _tessel.error,
     "pike_rules names an unknown mode: "),
    ("pike_rules/mode-nul", lambda e: _tessel.pike_rules(e.lx, "default\0"), _tessel.error,
     "pike_rules names an unknown mode: default\\x00"),
    ("pike_rules/mode-surrogate", lambda e: _tessel.pike_rules(e.lx, "\ud800"), UnicodeEncodeError,
     None),
    ("column_unit/no-arguments", lambda e: _tessel.column_unit(), TypeError,
     "expected 1 argument(s), got 0"),
    ("column_unit/stream", lambda e: _tessel.column_unit(e.st), TypeError, NOT_A_HANDLE),
    ("column_unit/int", lambda e: _tessel.column_unit(0), TypeError, NOT_A_HANDLE),

    # --- end_of ------------------------------------------------------------------------------
    ("end_of/five-arguments", lambda e: _tessel.end_of(e.lx, "ab", "a", 0, 1), TypeError, None),
    ("end_of/seven-arguments", lambda e: _tessel.end_of(e.lx, "ab", "a", 0, 1, 1, 1), TypeError,
     None),
    ("end_of/cursor", lambda e: _tessel.end_of(e.cur, "ab", "a", 0, 1, 1), ValueError, None),
    ("end_of/None-handle", lambda e: _tessel.end_of(None, "ab", "a", 0, 1, 1), ValueError, None),
    ("end_of/foreign-capsule", lambda e: _tessel.end_of(e.foreign, "ab", "a", 0, 1, 1), ValueError,
     None),
    ("end_of/text-None", lambda e: _tessel.end_of(e.lx, None, "a", 0, 1, 1), TypeError,
     "expected str or bytes"),
    ("end_of/text-bytearray", lambda e: _tessel.end_of(e.lx, bytearray(b"ab"), "a", 0, 1, 1),
     TypeError, "expected str or bytes"),
    ("end_of/lexeme-memoryview", lambda e: _tessel.end_of(e.lx, "ab", memoryview(b"a"), 0, 1, 1),
     TypeError, "expected str or bytes"),
    ("end_of/text-surrogate", lambda e: _tessel.end_of(e.lx, "a\ud800", "a", 0, 1, 1),
     UnicodeEncodeError, None),
    ("end_of/offset-float", lambda e: _tessel.end_of(e.lx, "ab", "a", 0.0, 1, 1), TypeError, None),
    ("end_of/offset-None", lambda e: _tessel.end_of(e.lx, "ab", "a", None, 1, 1), TypeError, None),
    ("end_of/offset-2**63", lambda e: _tessel.end_of(e.lx, "ab", "a", 2**63, 1, 1), OverflowError,
     None),
    ("end_of/line-below-int64", lambda e: _tessel.end_of(e.lx, "ab", "a", 0, -(2**63) - 1, 1),
     OverflowError, None),
    ("end_of/offset-2**62", lambda e: _tessel.end_of(e.lx, "ab", "b", 2**62, 1, 1), ValueError,
     NOT_LEXED),
    ("end_of/offset-minus-one", lambda e: _tessel.end_of(e.lx, "ab", "", -1, 1, 1), ValueError,
     NOT_LEXED),
    ("end_of/empty-lexeme-past-end", lambda e: _tessel.end_of(e.lx, "ab", "", 3, 1, 1), ValueError,
     NOT_LEXED),
    ("end_of/empty-text", lambda e: _tessel.end_of(e.lx, "", "a", 0, 1, 1), ValueError, NOT_LEXED),
    ("end_of/line-zero", lambda e: _tessel.end_of(e.lx, "ab", "", 0, 0, 1), ValueError, NOT_LEXED),
    ("end_of/column-minus-one", lambda e: _tessel.end_of(e.lx, "ab", "a", 0, 1, -1), ValueError,
     NOT_LEXED),
    ("end_of/line-2**32", lambda e: _tessel.end_of(e.lx, "ab", "b", 1, 2**32, 2), ValueError,
     NOT_LEXED),
    ("end_of/column-2**40", lambda e: _tessel.end_of(e.lx, "ab", "b", 1, 1, 2**40), ValueError,
     NOT_LEXED),
    # A start so close to the 32-bit limits that the end would wrap is refused.
    ("end_of/column-wraps", lambda e: _tessel.end_of(e.lx, "ab", "b", 1, 1, U32_MAX), ValueError,
     END_PAST_LIMIT),
    ("end_of/line-wraps", lambda e: _tessel.end_of(e.lx, "a\nb", "a\n", 0, U32_MAX, 1),
     ValueError, END_PAST_LIMIT),

    # --- tokenize and the scan ---------------------------------------------------------------
    ("tokenize/one-argument", lambda e: _tessel.tokenize(e.lx), TypeError, None),
    ("tokenize/four-arguments", lambda e: _tessel.tokenize(e.lx, "a", False, 1), TypeError, None),
    ("tokenize/keyword", lambda e: _tessel.tokenize(e.lx, "a", eof=True), TypeError, None),
    ("tokenize/None-handle", lambda e: _tessel.tokenize(None, "a"), ValueError, None),
    ("tokenize/cursor", lambda e: _tessel.tokenize(e.cur, "a"), ValueError, None),
    ("tokenize/stream", lambda e: _tessel.tokenize(e.st, "a"), ValueError, None),
    ("tokenize/foreign-capsule", lambda e: _tessel.tokenize(e.foreign, "a"), ValueError, None),
    ("tokenize/text-None", lambda e: _tessel.tokenize(e.lx, None), TypeError, "expected str or bytes"),
    ("tokenize/text-int", lambda e: _tessel.tokenize(e.lx, 2**63), TypeError, "expected str or bytes"),
    ("tokenize/text-memoryview", lambda e: _tessel.tokenize(e.lx, memoryview(b"a")), TypeError,
     "expected str or bytes"),
    ("tokenize/text-list", lambda e: _tessel.tokenize(e.lx, ["a"]), TypeError, "expected str or bytes"),
    ("tokenize/text-surrogate", lambda e: _tessel.tokenize(e.lx, "ab\udcff"), UnicodeEncodeError,
     None),
    ("tokenize/eof-bool-raises", lambda e: _tessel.tokenize(e.lx, "a", RaisingBool()),
     ZeroDivisionError, "no truth value"),
    ("tokenize/unlexable", lambda e: _tessel.tokenize(e.lx, "ab\n $"), tessel.LexError,
     "no rule matches in mode 'default' (entered at 1:1)"),
    ("scan_start/no-text", lambda e: _tessel.scan_start(e.lx), TypeError, None),
    ("scan_start/cursor", lambda e: _tessel.scan_start(e.cur, "a"), ValueError, None),
    ("scan_start/stream", lambda e: _tessel.scan_start(e.st, "a"), ValueError, None),
    ("scan_start/text-bytearray", lambda e: _tessel.scan_start(e.lx, bytearray(b"a")), TypeError,
     "expected str or bytes"),
    ("scan_start/text-surrogate", lambda e: _tessel.scan_start(e.lx, "\ud800"), UnicodeEncodeError,
     None),
    ("scan_start/eof-bool-raises", lambda e: _tessel.scan_start(e.lx, "a", RaisingBool()),
     ZeroDivisionError, "no truth value"),
    ("scan_start/empty-lexer", lambda e: _tessel.scan_start(_tessel.compile([]), "a"),
     tessel.LexError, "no rule matches in mode 'default' (entered at 1:1)"),
    ("scan_next/no-arguments", lambda e: _tessel.scan_next(), TypeError, None),
    ("scan_next/two-arguments", lambda e: _tessel.scan_next(e.cur, e.cur), TypeError, None),
    ("scan_next/handle", lambda e: _tessel.scan_next(e.lx), ValueError, None),
    ("scan_next/stream", lambda e: _tessel.scan_next(e.st), ValueError, None),
    ("scan_next/None", lambda e: _tessel.scan_next(None), ValueError, None),
    ("scan_next/foreign-capsule", lambda e: _tessel.scan_next(e.foreign), ValueError, None),

    # --- streams -----------------------------------------------------------------------------
    ("stream_start/no-arguments", lambda e: _tessel.stream_start(), TypeError, None),
    ("stream_start/cursor", lambda e: _tessel.stream_start(e.cur), ValueError, None),
    ("stream_start/stream", lambda e: _tessel.stream_start(e.st), ValueError, None),
    ("stream_start/None", lambda e: _tessel.stream_start(None), ValueError, None),
    ("stream_feed/one-argument", lambda e: _tessel.stream_feed(e.st), TypeError, None),
    ("stream_feed/handle", lambda e: _tessel.stream_feed(e.lx, "a"), ValueError, None),
    ("stream_feed/cursor", lambda e: _tessel.stream_feed(e.cur, "a"), ValueError, None),
    ("stream_feed/chunk-None", lambda e: _tessel.stream_feed(e.st, None), TypeError,
     "expected str or bytes"),
    ("stream_feed/chunk-bytearray", lambda e: _tessel.stream_feed(e.st, bytearray(b"a")), TypeError,
     "expected str or bytes"),
    ("stream_feed/chunk-bytes-after-str", lambda e: _tessel.stream_feed(e.st, b""), TypeError,
     "stream fed bytes after str"),
    ("stream_feed/chunk-surrogate", lambda e: _tessel.stream_feed(e.st, "\ud800"),
     UnicodeEncodeError, None),
    ("stream_feed/after-finish", lambda e: _tessel.stream_feed(e.done, "a"), _tessel.error,
     "stream_feed: the stream is finished"),
    ("stream_feed/after-finish-empty-chunk", lambda e: _tessel.stream_feed(e.done, ""),
     _tessel.error, "stream_feed: the stream is finished"),
    ("stream_finish/twice", lambda e: _tessel.stream_finish(e.done), _tessel.error,
     "stream_finish: the stream is finished"),
    ("stream_finish/cursor", lambda e: _tessel.stream_finish(e.cur), ValueError, None),
    ("stream_finish/handle", lambda e: _tessel.stream_finish(e.lx), ValueError, None),
    ("stream_buffered/cursor", lambda e: _tessel.stream_buffered(e.cur), ValueError, None),
    ("stream_buffered/two-arguments", lambda e: _tessel.stream_buffered(e.st, 1), TypeError, None),
    ("stream_window/handle", lambda e: _tessel.stream_window(e.lx), ValueError, None),
    ("stream_window/foreign-capsule", lambda e: _tessel.stream_window(e.foreign), ValueError, None),
    ("stream_window/None", lambda e: _tessel.stream_window(None), ValueError, None),

    # --- parse_grammar -----------------------------------------------------------------------
    ("parse_grammar/no-arguments", lambda e: _tessel.parse_grammar(), TypeError, None),
    ("parse_grammar/None", lambda e: _tessel.parse_grammar(None), TypeError, None),
    ("parse_grammar/int", lambda e: _tessel.parse_grammar(5), TypeError, None),
    ("parse_grammar/bytearray", lambda e: _tessel.parse_grammar(bytearray(b"A\ta\n")), TypeError,
     None),
    ("parse_grammar/surrogate", lambda e: _tessel.parse_grammar("A\t\ud800\n"), UnicodeEncodeError,
     None),
    ("parse_grammar/origin-None", lambda e: _tessel.parse_grammar("A\ta\n", None), TypeError, None),
    ("parse_grammar/origin-nul", lambda e: _tessel.parse_grammar("A\ta\n", "g\0"), ValueError, None),
    ("parse_grammar/keyword", lambda e: _tessel.parse_grammar("A\ta\n", origin="g"), TypeError, None),
    ("parse_grammar/empty", lambda e: _tessel.parse_grammar(""), tessel.GrammarError,
     "<string>: no rules (the grammar is empty)"),
    ("parse_grammar/empty-bytes", lambda e: _tessel.parse_grammar(b"", ""), tessel.GrammarError,
     ": no rules (the grammar is empty)"),
    ("parse_grammar/malformed-utf8", lambda e: _tessel.parse_grammar(b"A\t\xff\n"),
     tessel.GrammarError, "<string>:1:3: invalid regex: invalid UTF-8 byte in pattern"),

    # --- layout ------------------------------------------------------------------------------
    ("layout/no-arguments", lambda e: _tessel.layout(), TypeError, None),
    ("layout/None", lambda e: _tessel.layout(None), TypeError, None),
    ("layout/iterator", lambda e: _tessel.layout(iter([])), TypeError, None),
    ("layout/item-None", lambda e: _tessel.layout([None]), TypeError,
     "layout: token 0 must be a tuple (kind, lexeme, offset, line, column[, mode]), not NoneType"),
    ("layout/item-too-short", lambda e: _tessel.layout([(1, "a", 0, 1)]), TypeError, None),
    ("layout/item-too-long", lambda e: _tessel.layout([(1, "a", 0, 1, 1, "m", "x")]), TypeError,
     None),
    ("layout/kind-2**31", lambda e: _tessel.layout([(2**31, "a", 0, 1, 1)]), OverflowError, None),
    ("layout/offset-2**63", lambda e: _tessel.layout([(1, "a", 2**63, 1, 1)]), OverflowError, None),
    ("layout/offset-minus-one", lambda e: _tessel.layout([(1, "a", -1, 1, 1)]), ValueError,
     LAYOUT_RANGE),
    ("layout/line-minus-one", lambda e: _tessel.layout([(1, "a", 0, -1, 1)]), ValueError,
     LAYOUT_RANGE),
    ("layout/offset-2**32", lambda e: _tessel.layout([(1, "a", 2**32, 1, 1)]), ValueError,
     LAYOUT_RANGE),
    ("layout/column-2**32", lambda e: _tessel.layout([(1, "a", 0, 1, 2**32)]), ValueError,
     LAYOUT_RANGE),
    ("layout/lexeme-int", lambda e: _tessel.layout([(1, 5, 0, 1, 1)]), TypeError, None),
    ("layout/lexeme-bytearray", lambda e: _tessel.layout([(1, bytearray(b"a"), 0, 1, 1)]),
     TypeError, None),
    ("layout/lexeme-malformed-utf8", lambda e: _tessel.layout([(1, b"\xff", 0, 1, 1)]),
     UnicodeDecodeError, None),
    ("layout/mode-None", lambda e: _tessel.layout([(1, "a", 0, 1, 1, None)]), TypeError, None),
    ("layout/insignificant-int", lambda e: _tessel.layout([], 5), _tessel.error,
     "insignificant_modes must be a sequence of str"),
    ("layout/insignificant-entry", lambda e: _tessel.layout([], [None]), _tessel.error,
     "insignificant_modes entries must be str"),
    ("layout/source-int", lambda e: _tessel.layout([], (), 5), TypeError, None),
    ("layout/tabs-None", lambda e: _tessel.layout([], (), None, None), TypeError, None),
    ("layout/tabs-empty", lambda e: _tessel.layout([], (), None, ""), ValueError,
     "tabs must be 'columns' or 'python', not ''"),
    ("layout/offset-beyond-source", lambda e: _tessel.layout([(1, "a", 2, 1, 3)], (), "a", "python"),
     ValueError, "tessel::layout: a token's offset lies beyond the source it was given"),

    # --- Position and Token (the cases test_value_types.py does not already have) -------------
    ("Position/no-arguments", lambda e: Position(), TypeError, None),
    ("Position/four-arguments", lambda e: Position(1, 1, 1, 1), TypeError, None),
    ("Position/offset-None", lambda e: Position(None, 1, 1), TypeError, "expected int, got NoneType"),
    ("Position/offset-below-int64", lambda e: Position(-(2**63) - 1, 1, 1), TypeError,
     "int out of range"),
    ("Position/line-2**64", lambda e: Position(0, 2**64, 1), TypeError, "int out of range"),
    ("Position/keyword-unknown", lambda e: Position(0, 1, col=1), TypeError, None),
    ("Token/five-arguments", lambda e: Token(1, "a", e.pos, "m", 5), TypeError, None),
    ("Token/keyword-unknown", lambda e: Token(1, "a", e.pos, bogus=1), TypeError, None),
    ("Token/kind-None", lambda e: Token(None, "a", e.pos), TypeError, "expected int, got NoneType"),
    ("Token/kind-2**63", lambda e: Token(2**63, "a", e.pos), TypeError, "int out of range"),
    ("Token/mode-bytes", lambda e: Token(1, "a", e.pos, b"m"), TypeError, "expected str, got bytes"),
    ("Token/mode-surrogate", lambda e: Token(1, "a", e.pos, "\ud800"), UnicodeEncodeError, None),
    ("Token/position-is-token", lambda e: Token(1, "a", Token(1, "a", e.pos)), TypeError,
     "expected a tessel.Position"),
    ("Token/position-None", lambda e: Token(1, "a", None), TypeError, "expected a tessel.Position"),
    ("Token/lexeme-memoryview", lambda e: Token(1, memoryview(b"a"), e.pos), TypeError,
     "Token lexeme must be str or bytes"),
    ("Token/lexeme-None", lambda e: Token(1, None, e.pos), TypeError,
     "Token lexeme must be str or bytes"),
]


def params():
    for case in CASES:
        if hasattr(case, "marks"):  # already a pytest.param, with its marks
            yield pytest.param(*case.values, id=case.values[0], marks=case.marks)
        else:
            yield pytest.param(*case, id=case[0])


def attempt(call, env):
    try:
        result = call(env)
    except BaseException as exc:  # noqa: B902 - any class may be the stated one
        return None, type(exc), str(exc)
    return result, None, None


@pytest.mark.parametrize("name, call, cls, message", list(params()))
def test_bad_call_raises(name, call, cls, message):
    env = Env()
    # Reference counts of what the calls touch: repeating a failing call must leak nothing.
    counts = [sys.getrefcount(o) for o in env.objects()]
    for _ in range(3):
        result, raised, text = attempt(call, env)
        assert raised is not None, "%s succeeded and returned %r" % (name, result)
        assert raised is cls, "%s raised %s(%r), not %s" % (name, raised.__name__, text, cls.__name__)
        if message is not None:
            assert text == message
    assert [sys.getrefcount(o) for o in env.objects()] == counts
    # The objects still work after the failed calls.
    assert [t.lexeme for t in _tessel.tokenize(env.lx, "ab 12")] == ["ab", "12"]
    assert _tessel.scan_next(env.cur).lexeme == "ab"
    assert [t.lexeme for t in _tessel.stream_feed(env.st, "cd ")] == ["cd"]


def test_capsules_checked_before_the_text():
    # With a wrong capsule and a wrong text at once, the capsule error comes first.
    lx = _tessel.compile(RULES)
    cur = _tessel.scan_start(lx, "a")
    with pytest.raises(ValueError):
        _tessel.tokenize(cur, None)
    with pytest.raises(ValueError):
        _tessel.stream_feed(lx, None)


def test_grammar_patterns_with_a_nul_are_refused():
    # compile() takes patterns without NUL characters, so the grammar reader refuses them
    # where they stand rather than hand back a rule compile() would refuse.
    with pytest.raises(tessel.GrammarError) as info:
        _tessel.parse_grammar("A\ta\0b\n")
    assert (info.value.line, info.value.column) == (1, 4)
    assert info.value.cause == "a pattern cannot hold a NUL character (write it as \\x00)"
