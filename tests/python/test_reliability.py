"""Faults found by outside testing, seen from Python: bytes in a .lex text that are not text,
stream refusals, and compile memory for many small modes."""

import os

import pytest

import _tessel
import tessel

NUL_NAME = "a rule name cannot hold a NUL character"
NUL_OPTION = "an option cannot hold a NUL character"
NUL_PATTERN = "a pattern cannot hold a NUL character (write it as \\x00)"


@pytest.mark.parametrize("text, line, column, cause", [
    (b"n\xffme\ta\n", 1, 2, "invalid UTF-8 (byte 0xff)"),
    (b"x\ta\tin=\xc3(\n", 1, 8, "invalid UTF-8 (byte 0xc3)"),
    (b"# fine\nx\ta\tpush=\xed\xa0\x80\n", 2, 10, "invalid UTF-8 (byte 0xed)"),
    (b"na\0me\ta\n", 1, 3, NUL_NAME),
    (b"na\0\xff\ta\n", 1, 4, "invalid UTF-8 (byte 0xff)"),
    (b"x\ta\0\xff\n", 1, 4, NUL_PATTERN),
    (b"x\ta\tpush=\0q\n", 1, 10, NUL_OPTION),
    (b"x\ta\tset=s\0\nq\tr\tin=s\n", 1, 10, NUL_OPTION),
    (b"x\ta\tin=\0\n", 1, 8, NUL_OPTION),
])
def test_bytes_that_are_not_text_raise_grammar_error_at_their_column(text, line, column, cause):
    with pytest.raises(tessel.GrammarError) as info:
        _tessel.parse_grammar(text, "g.lex")
    e = info.value
    assert (e.line, e.column, e.cause) == (line, column, cause)
    assert str(e) == "g.lex:%d:%d: %s" % (line, column, cause)


def test_what_parse_grammar_returns_compiles():
    rules, names = _tessel.parse_grammar("caf\u00e9\t\u00e9+\tpush=m\u00f6de\nend\t;\tin=m\u00f6de pop\n")
    assert names == ["caf\u00e9", "end"]
    lx = _tessel.compile(rules)
    assert [(t.lexeme, t.mode) for t in _tessel.tokenize(lx, "\u00e9\u00e9;")] == [
        ("\u00e9\u00e9", "default"), (";", "m\u00f6de")]


@pytest.mark.parametrize("setup, feed_message, finish_message", [
    ("finish", "stream_feed: the stream is finished", "stream_finish: the stream is finished"),
    ("error", "stream_feed: the stream ended with an error",
     "stream_finish: the stream ended with an error"),
])
def test_stream_refusals_say_what_happened(setup, feed_message, finish_message):
    s = _tessel.stream_start(_tessel.compile([(1, "a", False)]))
    _tessel.stream_feed(s, "aa")
    if setup == "finish":
        _tessel.stream_finish(s)
    else:
        with pytest.raises(tessel.LexError):
            _tessel.stream_feed(s, "a!")
    buffered = _tessel.stream_buffered(s)
    for _ in range(3):
        with pytest.raises(_tessel.error) as info:
            _tessel.stream_feed(s, "a" * 1000)
        assert str(info.value) == feed_message
        assert _tessel.stream_buffered(s) == buffered
    with pytest.raises(_tessel.error) as info:
        _tessel.stream_finish(s)
    assert str(info.value) == finish_message


def test_a_refused_feed_leaves_the_window_as_it_was():
    s = _tessel.stream_start(_tessel.compile([(1, "a", False)]))
    _tessel.stream_feed(s, "a")
    _tessel.stream_finish(s)
    window = _tessel.stream_window(s)
    for _ in range(10):
        with pytest.raises(_tessel.error):
            _tessel.stream_feed(s, "a" * 100_000)
    assert _tessel.stream_window(s) == window


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer pads every allocation; resident memory says nothing")
def test_many_small_modes_compile_in_small_memory():
    # Each mode used to cost about 7 KiB of dispatch tables, so these 30,000 one-rule modes
    # held over 200 MB; the rules themselves take about 1 KiB each.
    modes = 30_000
    rules = [(i, "a", False, ["m%d" % i]) for i in range(modes)]
    before = resident_bytes()
    lx = _tessel.compile(rules)
    grown = resident_bytes() - before
    assert grown < 2048 * modes, "the lexer holds %d bytes per mode" % (grown // modes)
    # Every mode got its automaton; the per-rule set of each holds only its own rules (a set
    # over all the lexer's rules would cost modes x rules bits).
    assert "m29999" in _tessel.dfa_modes_active(lx)
    assert _tessel.pike_rules(lx, "m29999") == []


def heap_in_use():
    """Bytes the C heap holds in use (glibc), or None where that cannot be asked."""
    import ctypes

    class mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
    try:
        call = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    call.restype = mallinfo2
    info = call()
    return info.uordblks + info.hblkhd


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps its own heap")
@pytest.mark.parametrize("shape, limit", [
    # One rule named in every mode: what a mode costs by itself.  Names used to be held
    # three times, and each mode kept a placement record (209 bytes a mode; 6.4 KB before
    # the dispatch tables were shared).
    ("one rule in every mode", 150),
    # A rule of its own in every mode, all with the same pattern: the program and the
    # automaton are held once (1.9 KB a mode when each rule kept its own).
    ("same pattern in every mode", 900),
])
def test_compiled_modes_cost_what_they_hold(shape, limit):
    modes = 100_000
    if shape == "one rule in every mode":
        rules = [(1, "a", False, ["m%d" % i for i in range(modes)])]
    else:
        rules = [(i + 1, "a", False, ["m%d" % i]) for i in range(modes)]
    before = heap_in_use()
    if before is None:
        pytest.skip("the C library does not report its heap")
    lx = _tessel.compile(rules)
    per_mode = (heap_in_use() - before) / modes
    assert per_mode < limit, "%s: %.0f bytes a mode" % (shape, per_mode)
    assert _tessel.pike_rules(lx, "m%d" % (modes - 1)) == []
