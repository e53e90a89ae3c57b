"""Position and Token: construction, attributes, repr, equality and hashing."""

import subprocess
import sys
import textwrap

import pytest

import _tessel
import tessel
from _tessel import Position, Token

MASK = 0xFFFFFFFF


def as_hash(h):
    # The extension computes in 32 bits and reads the result as signed; -1 is reserved.
    h &= MASK
    if h >= 1 << 31:
        h -= 1 << 32
    return -2 if h == -1 else h


def position_hash(offset, line, column):
    h = (offset & MASK) ^ 0x345678
    h = (h * 1000003 & MASK) ^ (line & MASK)
    h = (h * 1000003 & MASK) ^ (column & MASK)
    return as_hash(h * 1000003)


def token_hash(tok):
    h = (tok.kind & MASK) ^ 0x9E3779B9
    for part in (tok.lexeme, tok.position, tok.mode):
        h = (h * 1000003 & MASK) ^ (hash(part) & MASK)
    return as_hash(h * 1000003)


def test_module_surface():
    assert _tessel.kestrel_version() == "2026.10.10"
    assert _tessel.kestrel_version.__doc__.startswith("kestrel_version() -> str\n")
    assert _tessel.error.__name__ == "error"
    assert _tessel.error.__module__ == "tessel"
    assert _tessel.error.__bases__ == (Exception,)
    assert Position.__name__ == "Position" and Position.__module__ == "tessel"
    assert Token.__name__ == "Token" and Token.__module__ == "tessel"
    for cls in (tessel.LexError, tessel.GrammarError, tessel.LayoutError):
        assert issubclass(cls, _tessel.error)
        assert str(cls("boom")) == "boom"
    assert tessel.Token is Token and tessel.kestrel_version() == _tessel.kestrel_version()


def test_getter_docstrings_in_order():
    assert [n for n in ("offset", "line", "column") if hasattr(Position, n)] == [
        "offset", "line", "column"]
    assert Position.column.__doc__ == (
        "1-based column of the position, in the lexer's column unit (bytes by default)")
    assert Token.offset.__doc__ == "position.offset \u2014 0-based byte offset"
    assert Token.lexeme.__doc__ == "the matched text (str or bytes)"


def test_position_values_and_repr():
    p = Position(7, 2, 3)
    assert (p.offset, p.line, p.column) == (7, 2, 3)
    assert repr(p) == "Position(line=2, column=3, offset=7)"
    assert Position(offset=7, line=2, column=3) == p
    assert Position(-5, 2**62, -(2**63)).column == -(2**63)


def test_token_values_and_repr():
    p = Position(7, 2, 3)
    t = Token(5, "ab", p)
    assert (t.kind, t.lexeme, t.mode) == (5, "ab", "default")
    assert t.position is p
    assert (t.offset, t.line, t.column) == (7, 2, 3)
    assert repr(t) == "Token(kind=5, lexeme='ab', line=2, column=3, mode='default')"
    assert repr(Token(-1, b"x\n", p, "str")) == (
        "Token(kind=-1, lexeme=b'x\\n', line=2, column=3, mode='str')")
    assert Token(kind=1, lexeme="", position=p, mode="m").mode == "m"


class SubStr(str):
    pass


def test_token_mode_is_copied_to_plain_str():
    t = Token(1, "a", Position(0, 1, 1), SubStr("inner"))
    assert type(t.mode) is str and t.mode == "inner"


@pytest.mark.parametrize(
    "args, message",
    [
        ((2**31, "a", Position(0, 1, 1)), "int out of range"),
        ((-(2**31) - 1, "a", Position(0, 1, 1)), "int out of range"),
        ((2**70, "a", Position(0, 1, 1)), "int out of range"),
        (("1", "a", Position(0, 1, 1)), "expected int, got str"),
        ((1, 1, Position(0, 1, 1)), "Token lexeme must be str or bytes"),
        ((1, bytearray(b"a"), Position(0, 1, 1)), "Token lexeme must be str or bytes"),
        ((1, "a", (0, 1, 1)), "expected a tessel.Position"),
        ((1, "a", Position.__new__(Position)), "uninitialized tessel.Position"),
        ((1, "a", Position(0, 1, 1), None), "expected str, got NoneType"),
        # kind is checked before mode, mode before lexeme, lexeme before position.
        (("k", 1, None, None), "expected int, got str"),
        ((1, 1, None, None), "expected str, got NoneType"),
        ((1, 1, None, "m"), "Token lexeme must be str or bytes"),
    ],
)
def test_token_init_errors(args, message):
    with pytest.raises(TypeError) as info:
        Token(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, message",
    [
        (("a", "b", "c"), "expected int, got str"),  # column is converted first...
        (("a", "b", 1), "expected int, got str"),
        ((1, 2, 2**63), "int out of range"),
        ((1.0, 2, 3), "expected int, got float"),
    ],
)
def test_position_init_errors(args, message):
    with pytest.raises(TypeError) as info:
        Position(*args)
    assert str(info.value) == message


def test_position_conversion_order_reports_last_argument():
    # Column, line and offset are converted in that order: with a bad offset and a bad line
    # the error names the line, the later of the two arguments.
    with pytest.raises(TypeError, match="^expected int, got str$"):
        Position(1.5, "x", 3)
    with pytest.raises(TypeError, match="^expected int, got list$"):
        Position(1.5, "x", [])


def test_argument_parser_errors_name_the_type():
    with pytest.raises(TypeError, match=r"tessel\.Position\(\) missing required argument"):
        Position(1, 2)
    with pytest.raises(TypeError, match=r"tessel\.Token\(\)"):
        Token(1, "a")
    with pytest.raises(TypeError):
        Position(1, 2, 3, nonsense=4)


def test_bool_is_an_int():
    assert Position(True, 1, 1).offset == 1


def test_reinit_is_refused_and_keeps_values():
    p = Position(1, 2, 3)
    with pytest.raises(TypeError, match=r"^tessel\.Position cannot be re-initialized$"):
        p.__init__(4, 5, 6)
    assert p == Position(1, 2, 3)
    t = Token(1, "a", p)
    with pytest.raises(TypeError, match=r"^tessel\.Token cannot be re-initialized$"):
        t.__init__(2, "b", p)
    assert t.kind == 1 and t.lexeme == "a"


def test_uninitialized_objects():
    for cls in (Position, Token):
        obj = cls.__new__(cls)
        name = "tessel." + cls.__name__
        assert repr(obj) == "<uninitialized>"
        with pytest.raises(TypeError, match="^uninitialized " + name.replace(".", r"\.") + "$"):
            obj.line
        with pytest.raises(_tessel.error, match="^uninitialized "):
            hash(obj)
        # Comparison gives NotImplemented, so == falls back to identity.
        assert obj == obj
        assert not (obj == cls.__new__(cls))


def test_equality():
    p = Position(0, 1, 1)
    assert Token(1, "a", p) == Token(1, "a", Position(0, 1, 1), "default")
    assert Token(1, "a", p) != Token(1, b"a", p)
    assert Token(1, "a", p) != Token(2, "a", p)
    assert Token(1, "a", p) != Token(1, "a", p, "other")
    assert Token(1, "a", p) != Token(1, "a", Position(1, 1, 1))
    assert Position(0, 1, 1) != Position(0, 1, 2)
    assert not (Position(0, 1, 1) != Position(0, 1, 1))
    assert Position(0, 1, 1) != (0, 1, 1)
    assert Token(1, "a", p) != p


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_is_unsupported(op):
    for a, b in ((Position(0, 1, 1), Position(1, 1, 1)),
                 (Token(1, "a", Position(0, 1, 1)), Token(1, "b", Position(0, 1, 1)))):
        with pytest.raises(TypeError):
            eval("a %s b" % op)


@pytest.mark.parametrize(
    "fields", [(0, 1, 1), (7, 2, 3), (2**40 + 5, 3, 2**33), (-1, -1, -1), (123456, 789, 10)])
def test_position_hash_formula(fields):
    assert hash(Position(*fields)) == position_hash(*fields)


def test_position_hash_is_stable_across_runs():
    code = "import _tessel; print(hash(_tessel.Position(0, 1, 1)))"
    outputs = {
        subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       check=True, env={"PYTHONHASHSEED": seed}).stdout
        for seed in ("1", "2")
    }
    assert outputs == {"%d\n" % position_hash(0, 1, 1)}


def test_hash_never_minus_one():
    # Search a small space for a position whose raw 32-bit hash is -1: it must read as -2.
    for offset in range(0, 1 << 20):
        h = position_hash(offset, 0, 0)
        raw = ((((offset ^ 0x345678) * 1000003 & MASK) * 1000003 & MASK) * 1000003) & MASK
        if raw == MASK:
            assert h == -2 and hash(Position(offset, 0, 0)) == -2
            break
    assert hash(Position(5, 6, 7)) != -1


@pytest.mark.parametrize("lexeme", ["a", b"a", "", "\u00e9\U0001F600"])
def test_token_hash_formula(lexeme):
    t = Token(-3, lexeme, Position(4, 5, 6), "m")
    assert hash(t) == token_hash(t)
    assert hash(t) == hash(Token(-3, lexeme, Position(4, 5, 6), "m"))
    assert len({t, Token(-3, lexeme, Position(4, 5, 6), "m")}) == 1


class BadEq(str):
    def __eq__(self, other):
        raise ValueError("no")

    __hash__ = str.__hash__


class BadHash(bytes):
    def __hash__(self):
        raise ValueError("no")


def test_comparison_and_hash_failures():
    p = Position(0, 1, 1)
    with pytest.raises(_tessel.error, match="^Token comparison failed$"):
        Token(1, BadEq("a"), p) == Token(1, "a", p)
    with pytest.raises(_tessel.error, match="^Token hash failed$"):
        hash(Token(1, BadHash(b"a"), p))


def test_types_cannot_be_subclassed():
    for cls in (Position, Token):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_import_without_the_package_falls_back(tmp_path):
    # Only the extension on the path: no package `tessel` can be imported, and the module
    # must still import and work.
    import os
    ext = os.path.dirname(_tessel.__file__)
    (tmp_path / "_tessel_link").mkdir()
    target = tmp_path / "_tessel_link" / os.path.basename(_tessel.__file__)
    os.symlink(_tessel.__file__, target)
    code = textwrap.dedent("""
        import sys
        import _tessel
        try:
            import tessel
        except ImportError:
            pass
        else:
            raise SystemExit("tessel should not be importable")
        print(_tessel.kestrel_version(), _tessel.Position(1, 2, 3))
    """)
    out = subprocess.run([sys.executable, "-I", "-S", "-c",
                          "import sys; sys.path[:0] = [%r]; exec(%r)"
                          % (str(tmp_path / "_tessel_link"), code)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "2026.10.10 Position(line=2, column=3, offset=1)\n"
    assert ext  # the extension was found in the installed location
