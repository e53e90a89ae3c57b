"""python -m tessel: lex a file with a bundled grammar and print its tokens.

    python -m tessel                      the bundled example, with python.lex
    python -m tessel FILE [-g GRAMMAR]    FILE with a bundled grammar (python or json)

With the python grammar the tokens go through the layout pass, so NEWLINE, INDENT and
DEDENT appear where Python's own tokenizer puts them.
"""

import argparse
import sys
from importlib.resources import files

import tessel

LAYOUT_NAMES = {
    -2147483648: "END",
    -2147483647: "NEWLINE",
    -2147483646: "INDENT",
    -2147483645: "DEDENT",
    -2147483644: "ERROR",
}


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(prog="python -m tessel", description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", help="the text to lex (default: a bundled example)")
    parser.add_argument("-g", "--grammar", default=None, help="bundled grammar: python or json")
    args = parser.parse_args(argv)

    if args.file is None:
        text = (files("tessel") / "examples" / "sample.py").read_text(encoding="utf-8")
        origin, grammar = "<bundled example sample.py>", args.grammar or "python"
    else:
        with open(args.file, encoding="utf-8") as f:
            text = f.read()
        origin = args.file
        grammar = args.grammar or ("json" if args.file.endswith(".json") else "python")

    rules, names = tessel.load_grammar(grammar)
    lexer = tessel.compile(rules, (), "raise", "codepoints")
    try:
        tokens = tessel.tokenize(lexer, text, True)
        if grammar == "python":
            plain = [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in tokens]
            tokens = tessel.layout(plain, ["bracket", "continued"], text, "python")
    except (tessel.LexError, tessel.LayoutError) as e:
        print("%s:%d:%d: %s" % (origin, e.line, e.column, e), file=sys.stderr)
        return 1

    print("%s: %d tokens (grammar %s.lex, kestrel %s)"
          % (origin, len(tokens), grammar, tessel.kestrel_version()))
    for t in tokens:
        kind = LAYOUT_NAMES.get(t.kind) or names[t.kind]
        print("%4d:%-3d %-8s %r" % (t.line, t.column, kind, t.lexeme))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
