"""tessel: a mode-aware lexer toolkit over its own linear-time regex engine, kestrel.

The compiled extension ``_tessel`` does the work; this package re-exports its public names and
defines the exception classes the extension raises for lexing, layout and grammar errors.
"""

import _tessel
from _tessel import Position, Token, error, kestrel_version

from . import _build_info

__all__ = [
    "GrammarError",
    "LayoutError",
    "LexError",
    "Position",
    "Token",
    "error",
    "kestrel_version",
]

if kestrel_version() != _build_info.KESTREL_VERSION:
    raise ImportError(
        "tessel: the _tessel extension was built with kestrel %s but this package with %s; "
        "reinstall tessel" % (kestrel_version(), _build_info.KESTREL_VERSION)
    )


class LexError(error):
    """Raised where some position is matched by no rule.

    Attributes set by the extension: ``offset`` (0-based byte offset), ``line`` (1-based),
    ``column`` (1-based, in the lexer's column unit) and, for streams, ``tokens`` (the list of
    Tokens decided earlier in the same call, before the error).
    """

    def __init__(self, message):
        super().__init__(message)


class LayoutError(error):
    """Raised by layout() on inconsistent indentation.

    Attributes set by the extension: ``offset``, ``line`` and ``column`` of the offending token.
    """

    def __init__(self, message):
        super().__init__(message)


class GrammarError(error):
    """Raised by parse_grammar() on a malformed .lex text.

    Attributes set by the extension: ``line`` and ``column`` (1-based) and ``cause`` (the
    bare reason, without the origin and position that the message starts with).
    """

    def __init__(self, message):
        super().__init__(message)


def _reexport():
    # Later versions of the extension add functions; re-export every public one.
    for name in dir(_tessel):
        if not name.startswith("_") and name not in globals():
            globals()[name] = getattr(_tessel, name)
            __all__.append(name)


_reexport()
del _reexport


def _bundled_grammars():
    from importlib.resources import files

    folder = files(__name__) / "grammars"
    return sorted(p.name[:-4] for p in folder.iterdir() if p.name.endswith(".lex"))


def grammar_text(name):
    """Return the text of a grammar bundled with tessel, for example ``"json"`` or ``"python"``.

    The grammars live in the package's ``grammars`` folder as ``<name>.lex`` files.

    Raises:
        ValueError: If no bundled grammar has this name.
    """
    from importlib.resources import files

    known = _bundled_grammars()
    if not isinstance(name, str) or name not in known:
        raise ValueError(
            "no bundled grammar named %r (bundled: %s)" % (name, ", ".join(known))
        )
    return (files(__name__) / "grammars" / f"{name}.lex").read_text(encoding="utf-8")


def load_grammar(name):
    """Parse a bundled grammar, with ``<name>.lex`` as the origin its errors name.

    Returns the ``(rules, names)`` pair; ``compile(rules)`` gives the lexer and ``names[kind]``
    the rule name of a token's kind.
    """
    return _tessel.parse_grammar(grammar_text(name), f"{name}.lex")


__all__ += ["grammar_text", "load_grammar"]
