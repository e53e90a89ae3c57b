"""The tessel command (also python -m tessel).

    tessel tokens [FILE|-] [-g NAME|PATH.lex] [--format table|json|jsonl] [--columns UNIT]
                  [--layout] [--eof]
    tessel check GRAMMAR.lex
    tessel highlight FILE [-g ...] [--format html|ansi] [-o OUT]
    tessel bench FILE|FOLDER [-g ...] [--runs N]

Without a subcommand it lexes a bundled example program with the Python grammar. Usage
mistakes, missing files and undecodable input end with one line on stderr and exit status 2;
lexing, layout and grammar errors are shown in their line, with exit status 1.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from collections.abc import Iterator, Sequence
from typing import Any, Optional

import _tessel

from . import (ERROR, GrammarError, LayoutError, LexError, Lexer, bundled_grammars, error,
               format_error, grammar_text)
from ._lexer import _grammar_meta

PROGRESS_BYTES = 8 << 20  # inputs larger than this report progress on stderr


class UsageError(Exception):
    """A mistake of the command line or its inputs: one line, exit status 2."""


class ShownError(Exception):
    """An error already written out in context (a grammar's line and caret): exit status 1."""


def read_text(path: str) -> str:
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except FileNotFoundError:
        raise UsageError("%s: no such file" % path) from None
    except IsADirectoryError:
        raise UsageError("%s: is a folder" % path) from None
    except OSError as e:
        raise UsageError("%s: %s" % (path, e.strerror or e)) from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise UsageError("%s: not UTF-8 text (byte offset %d)" % (path, e.start)) from None


def extensions_of(grammar: str) -> tuple[str, ...]:
    """The file endings a bundled grammar is for, read without compiling it."""
    return tuple(_grammar_meta(grammar_text(grammar)).get("extensions", "").split())


def guess_grammar(path: str) -> str:
    name = os.path.basename(path).lower()
    for grammar in bundled_grammars():
        if name.endswith(extensions_of(grammar)):
            return grammar
    raise UsageError("%s: cannot tell the grammar from the file name; give -g NAME or -g "
                     "PATH.lex (bundled: %s)" % (path, ", ".join(bundled_grammars())))


def make_lexer(grammar: Optional[str], path: str, **options: Any) -> Lexer:
    if grammar is None:
        grammar = guess_grammar(path)
    if grammar.endswith(".lex") or os.sep in grammar:
        if not os.path.isfile(grammar):
            raise UsageError("%s: no such grammar file" % grammar)
        text = read_text(grammar)
        try:
            return Lexer.from_grammar(text, origin=grammar, **options)
        except GrammarError as e:
            raise ShownError(format_error(e, text)) from None
        except error as e:
            raise ShownError("%s: %s" % (grammar, e)) from None
    if grammar not in bundled_grammars():
        raise UsageError("unknown grammar %r (bundled: %s; or give a PATH.lex)"
                         % (grammar, ", ".join(bundled_grammars())))
    return Lexer.bundled(grammar, **options)


SKIPPED_FOLDERS = ("site-packages", "dist-packages", "__pycache__", ".git", "node_modules")


def files_of(path: str, grammar: Optional[str]) -> list[str]:
    """The files to lex: the path itself, or the files of a folder (walked in sorted order,
    past installed-package and cache folders) that the grammar is for."""
    if path == "-" or not os.path.isdir(path):
        return [path]
    if grammar is not None and (grammar.endswith(".lex") or os.sep in grammar):
        endings: Optional[tuple[str, ...]] = None
    elif grammar is not None:
        endings = make_lexer(grammar, path).extensions
    else:
        endings = tuple(e for g in bundled_grammars() for e in extensions_of(g))
    out = []
    for folder, dirs, files in os.walk(path):
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_FOLDERS)
        out += [os.path.join(folder, f) for f in sorted(files)
                if endings is None or f.lower().endswith(endings)]
    if not out:
        raise UsageError("%s: no files to lex in this folder" % path)
    return out


class Progress:
    """Counts bytes done against a total, and says so on stderr when the total is large."""

    def __init__(self, total: int) -> None:
        self.total, self.done, self.last = total, 0, time.monotonic()
        self.on = total >= PROGRESS_BYTES

    def add(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if self.on and now - self.last >= 1.0:
            self.last = now
            print("tessel: %.0f%% of %.1f MB" % (100 * self.done / self.total, self.total / 1e6),
                  file=sys.stderr, flush=True)


# --- tokens -----------------------------------------------------------------------------------

def token_rows(lexer: Lexer, text: str, layout: bool, eof: bool) -> Iterator[dict[str, Any]]:
    tokens = lexer.tokenize(text, eof=eof or layout)
    if layout:
        tokens = lexer.layout(tokens, source=text)
        if not eof:
            tokens = tokens[:-1]
    for t in tokens:
        end = lexer.end(t, text) if t.lexeme else t.position
        yield {"kind": t.kind, "name": lexer.kind_name(t.kind), "lexeme": t.lexeme,
               "mode": t.mode, "offset": t.offset, "line": t.line, "column": t.column,
               "end_offset": end.offset, "end_line": end.line, "end_column": end.column}


def cmd_tokens(args: argparse.Namespace) -> int:
    paths = files_of(args.file, args.grammar)
    sizes = [os.path.getsize(p) if p != "-" and os.path.isfile(p) else 0 for p in paths]
    progress = Progress(sum(sizes))
    out = sys.stdout
    rows_all: list[dict[str, Any]] = []
    multi = args.file != "-" and os.path.isdir(args.file)  # rows then say their file
    for path in paths:
        text = read_text(path)
        lexer = make_lexer(args.grammar, path if path != "-" else "<stdin>",
                           columns=args.columns)
        origin = "<stdin>" if path == "-" else path
        try:
            rows = list(token_rows(lexer, text, args.layout, args.eof))
        except (LexError, LayoutError) as e:
            print(format_error(e, text, origin=origin), file=sys.stderr)
            return 1
        if args.format == "json":
            rows_all += [dict(r, file=origin) for r in rows] if multi else rows
        elif args.format == "jsonl":
            for r in rows:
                out.write(json.dumps(dict(r, file=origin) if multi else r,
                                     ensure_ascii=False) + "\n")
        else:
            if multi:
                out.write("== %s\n" % origin)
            for r in rows:
                out.write("%d:%d-%d:%d\t@%d\t%s\t%r\n" % (
                    r["line"], r["column"], r["end_line"], r["end_column"], r["offset"],
                    r["name"], r["lexeme"]))
        progress.add(len(text.encode("utf-8")))
    if args.format == "json":
        json.dump(rows_all, out, ensure_ascii=False, indent=1)
        out.write("\n")
    return 0


# --- check ------------------------------------------------------------------------------------

def modes_of(lexer: Lexer) -> list[str]:
    modes = ["default"]
    for _, _, _, in_mode, action in lexer.rules:
        for m in list(in_mode) + ([action[1]] if action and len(action) == 2 else []):
            if m not in modes:
                modes.append(m)
    return modes


def cmd_check(args: argparse.Namespace) -> int:
    text = read_text(args.grammar)
    try:
        lexer = Lexer.from_grammar(text, origin=args.grammar)
    except GrammarError as e:
        print(format_error(e, text), file=sys.stderr)
        return 1
    except error as e:
        print("%s: %s" % (args.grammar, e), file=sys.stderr)
        return 1
    modes = modes_of(lexer)
    print("%s: %d rules, %d modes; it parses and compiles" % (args.grammar, len(lexer.rules),
                                                              len(modes)))
    # Why each rule runs where it does, where the extension can say.
    report = getattr(_tessel, "dfa_report", None)
    reasons = {}
    if report is not None:
        for mode_name, placed in report(lexer.handle):
            for index, where, reason in placed:
                if reason:
                    reasons[(mode_name, index)] = reason
    active = set(lexer.dfa_modes_active)
    for mode in modes:
        rules = [i for i, r in enumerate(lexer.rules)
                 if (mode in r[3]) or (not r[3] and mode == "default")]
        pike = set(lexer.pike_rules(mode))
        on_dfa = [i for i in rules if i not in pike]
        print("mode %s: %s" % (mode, "DFA" if mode in active else "no DFA"))
        if on_dfa:
            print("  on the DFA: " + ", ".join("%d %s" % (i, lexer.kind_name(lexer.rules[i][0]))
                                               for i in on_dfa))
            # Rules there only for ASCII text say so, with why the whole rule cannot be.
            for i in on_dfa:
                if (mode, i) in reasons:
                    print("  on the DFA: %d %s: %s" % (i, lexer.kind_name(lexer.rules[i][0]),
                                                       reasons[(mode, i)]))
        for i in sorted(pike):
            why = reasons.get((mode, i)) or ("the mode has no DFA" if mode not in active
                                             else "its pattern cannot join the mode's DFA")
            print("  per-rule: %d %s: %s" % (i, lexer.kind_name(lexer.rules[i][0]), why))
    return 0


# --- highlight --------------------------------------------------------------------------------

def cmd_highlight(args: argparse.Namespace) -> int:
    from . import highlight

    text = read_text(args.file)
    lexer = make_lexer(args.grammar, args.file, errors="token")
    fmt = args.format or ("html" if args.output and args.output.endswith(".html") else "ansi")
    try:
        import pygments  # type: ignore[import-untyped, unused-ignore]
        from pygments.formatters import (  # type: ignore[import-untyped, unused-ignore]
            get_formatter_by_name)
    except ImportError:
        result = highlight.render(lexer, text, fmt)
    else:
        cls = highlight.pygments_lexer(lexer)
        formatter = get_formatter_by_name("html" if fmt == "html" else "terminal",
                                          **({"full": True} if fmt == "html" else {}))
        result = pygments.highlight(text, cls(), formatter)
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(result)
    else:
        sys.stdout.write(result)
    return 0


# --- bench ------------------------------------------------------------------------------------

def cmd_bench(args: argparse.Namespace) -> int:
    paths = files_of(args.file, args.grammar)
    texts = []
    lexer = None
    for path in paths:
        try:
            text = read_text(path)
        except UsageError:
            if len(paths) == 1:
                raise
            continue
        if lexer is None:
            # Unlexable runs become error tokens (counted below) rather than ending the run.
            lexer = make_lexer(args.grammar, path, columns=args.columns, errors="token")
        if len(paths) > 1 and lexer.extensions and not path.lower().endswith(lexer.extensions):
            continue  # a folder of several languages: time the first file's grammar only
        texts.append(text)
        if args.limit_mb and sum(len(t.encode("utf-8")) for t in texts) >= args.limit_mb * 1e6:
            break
    if lexer is None or not texts:
        raise UsageError("%s: nothing to lex" % args.file)
    size = sum(len(t.encode("utf-8")) for t in texts)
    progress = Progress(size * args.runs)
    times, count = [], 0
    tokenize = lexer.tokenize
    for _ in range(args.runs):
        t0 = time.perf_counter()
        count = 0
        for t in texts:
            count += len(tokenize(t))
        times.append(time.perf_counter() - t0)
        progress.add(size)
    median = statistics.median(times)
    errors = sum(t.kind == ERROR for text in texts for t in tokenize(text))
    print("%s: %d files, %.2f MB, %d tokens (%d error tokens); median of %d runs %.3f s"
          % (args.file, len(texts), size / 1e6, count, errors, args.runs, median))
    print("  %.1f MB/s, %.0f tokens/s (grammar %s, columns %s)"
          % (size / 1e6 / median, count / median, lexer.origin, lexer.column_unit))
    modes = modes_of(lexer)
    active = lexer.dfa_modes_active
    print("  modes on the DFA: %s" % (", ".join(active) or "none"))
    pike = set().union(*(lexer.pike_rules(m) for m in modes))
    print("  per-rule rules: %d of %d" % (len(pike), len(lexer.rules)))
    return 0


# --- the default: the bundled example ---------------------------------------------------------

def cmd_example() -> int:
    from importlib.resources import files

    text = (files("tessel") / "examples" / "sample.py").read_text(encoding="utf-8")
    lexer = Lexer.bundled("python", columns="codepoints")
    tokens = lexer.layout(lexer.tokenize(text, eof=True), source=text)
    print("<bundled example sample.py>: %d tokens (grammar python.lex, kestrel %s)"
          % (len(tokens), _tessel.kestrel_version()))
    for t in tokens:
        print("%4d:%-3d %-12s %r" % (t.line, t.column, lexer.kind_name(t.kind), t.lexeme))
    return 0


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="tessel", description="Lex, check, highlight and time "
                                "text with tessel grammars (bundled: %s)."
                                % ", ".join(bundled_grammars()))
    sub = p.add_subparsers(dest="command")
    g_help = "a bundled grammar name or a PATH.lex (default: guessed from the file name)"
    t = sub.add_parser("tokens", help="print the tokens of a file")
    t.add_argument("file", nargs="?", default="-", help="the file, a folder, or - for stdin")
    t.add_argument("-g", "--grammar", help=g_help)
    t.add_argument("--format", choices=("table", "json", "jsonl"), default="table")
    t.add_argument("--columns", choices=("bytes", "codepoints", "utf16"), default="bytes")
    t.add_argument("--layout", action="store_true", help="insert NEWLINE/INDENT/DEDENT")
    t.add_argument("--eof", action="store_true", help="end with the END_OF_INPUT token")
    c = sub.add_parser("check", help="parse and compile a grammar, and say how it runs")
    c.add_argument("grammar", metavar="GRAMMAR.lex")
    h = sub.add_parser("highlight", help="highlight a file (through Pygments when installed)")
    h.add_argument("file")
    h.add_argument("-g", "--grammar", help=g_help)
    h.add_argument("--format", choices=("html", "ansi"))
    h.add_argument("-o", "--output", help="write here instead of stdout")
    b = sub.add_parser("bench", help="time the lexing of a file or folder")
    b.add_argument("file")
    b.add_argument("-g", "--grammar", help=g_help)
    b.add_argument("--runs", type=int, default=5)
    b.add_argument("--limit-mb", type=float, default=0,
                   help="of a folder, take only the first files up to M MB")
    b.add_argument("--columns", choices=("bytes", "codepoints", "utf16"), default="codepoints")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(sys.argv[1:] if argv is None else argv)
    commands = {"tokens": cmd_tokens, "check": cmd_check, "highlight": cmd_highlight,
                "bench": cmd_bench}
    try:
        if args.command is None:
            return cmd_example()
        return commands[args.command](args)
    except UsageError as e:
        print("tessel: %s" % e, file=sys.stderr)
        return 2
    except ShownError as e:
        print(e, file=sys.stderr)
        return 1
    except (LexError, LayoutError) as e:
        print("tessel: %s" % e, file=sys.stderr)
        return 1
    except GrammarError as e:
        print(str(e), file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, and keep Python from complaining
        # about the unflushed stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
