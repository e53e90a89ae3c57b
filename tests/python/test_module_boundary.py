"""Faults at the module's boundary: sequences that claim absurd lengths, and a module
initialised a second time while functions of the first are still in use."""

import subprocess
import sys
import textwrap

import pytest

import _tessel


class Claims:
    """A sequence that claims n items and returns item for every index asked."""

    def __init__(self, n, item):
        self.n, self.item = n, item

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        return self.item


TOO_LONG = "(%d items) is longer than tessel accepts (at most 2147483647)"
HUGE = 2**62


@pytest.mark.parametrize("call, message", [
    (lambda: _tessel.compile(Claims(HUGE, (1, "a", False))), "compile: the rule sequence " + TOO_LONG % HUGE),
    (lambda: _tessel.compile(Claims(2**31, (1, "a", False))), "compile: the rule sequence " + TOO_LONG % 2**31),
    (lambda: _tessel.compile([(1, "a", False, Claims(HUGE, "m"))]), "in_mode " + TOO_LONG % HUGE),
    (lambda: _tessel.compile([(1, "a", False)], Claims(HUGE, "m")), "dfa_modes " + TOO_LONG % HUGE),
    (lambda: _tessel.layout(Claims(HUGE, (1, "a", 0, 1, 1))), "layout: the token sequence " + TOO_LONG % HUGE),
    (lambda: _tessel.layout([], Claims(HUGE, "m")), "insignificant_modes " + TOO_LONG % HUGE),
], ids=["rules", "rules-2**31", "in_mode", "dfa_modes", "layout", "insignificant"])
def test_a_huge_claimed_length_is_refused_before_any_item_is_read(call, message):
    with pytest.raises(_tessel.error) as info:
        call()
    assert type(info.value) is _tessel.error
    assert str(info.value) == message


@pytest.mark.parametrize("n", [2**31 - 1, 10**9, 5000])
def test_a_long_claim_that_runs_out_raises_the_sequences_own_error(n):
    # Accepted lengths are read item by item: a sequence that ends early raises its own error
    # at once, without first reserving room for everything it claimed.
    class Short(Claims):
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError("only three")
            return self.item

    with pytest.raises(IndexError, match="only three"):
        _tessel.compile(Short(n, (1, "a", False)))
    with pytest.raises(IndexError, match="only three"):
        _tessel.layout(Short(n, (1, "a", 0, 1, 1)))
    with pytest.raises(IndexError, match="only three"):
        _tessel.compile([(1, "a", False, Short(n, "m"))])


def test_functions_of_an_earlier_initialisation_keep_working():
    # Initialising the extension again (as a second interpreter would) must leave the function
    # objects of the first module valid: they point into the method table, which is kept.
    code = textwrap.dedent("""
        import ctypes, gc, _tessel
        first = [getattr(_tessel, n) for n in ("compile", "tokenize", "layout", "scan_next")]
        docs = [f.__doc__ for f in first]
        lib = ctypes.PyDLL(_tessel.__file__)
        lib.PyInit__tessel.restype = ctypes.py_object
        modules = []
        for _ in range(3):
            modules.append(lib.PyInit__tessel())
            # Take back whatever the initialisation freed, zeroed, at many sizes: a freed table
            # would then hold null names and the old functions would crash.
            junk = [bytearray(n) for n in range(300, 1500, 8) for _ in range(4)]
        gc.collect()
        compile_, tokenize, layout, scan_next = first
        lx = compile_([(1, "[a-z]+", False), (2, " ", True)])
        print([t.lexeme for t in tokenize(lx, "ab cd")])
        print([f.__name__ for f in first], [f.__doc__ for f in first] == docs)
        print(modules[-1].tokenize is not tokenize, modules[-1].TokenIterator is _tessel.TokenIterator)
        print([t.lexeme for t in modules[-1].TokenIterator(lx, "ef gh")])
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "['ab', 'cd']",
        "['compile', 'tokenize', 'layout', 'scan_next'] True",
        "True True",
        "['ef', 'gh']",
    ]
