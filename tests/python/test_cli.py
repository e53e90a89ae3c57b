"""The tessel console script, run in a subprocess: every subcommand, its output, and every
error path with its exit status and its one-line message."""

import json
import os
import shutil
import subprocess
import sys

import pytest

import tessel

SCRIPT = shutil.which("tessel", path=os.path.dirname(sys.executable)) or shutil.which("tessel")


def run(*args, stdin=None, cwd=None):
    cmd = [SCRIPT] if SCRIPT else [sys.executable, "-m", "tessel"]
    return subprocess.run(cmd + list(args), input=stdin, capture_output=True, cwd=cwd,
                          timeout=120)


@pytest.fixture
def files(tmp_path):
    (tmp_path / "a.py").write_text("x = [1,\n  2]\nif x:\n    y = 'é'\n", encoding="utf-8")
    (tmp_path / "bad.py").write_text("x = $\n", encoding="utf-8")
    (tmp_path / "latin.py").write_bytes(b"x = 1\n# caf\xe9\n")
    (tmp_path / "a.unknown").write_text("x", encoding="utf-8")
    (tmp_path / "kv.lex").write_text("key\t[a-z]+\nsp\t[ =\\n]+\tskip\n", encoding="utf-8")
    (tmp_path / "bad.lex").write_text("a\tb\n\nc\t[x\n", encoding="utf-8")
    return tmp_path


def test_tokens_table_json_jsonl_and_stdin(files):
    r = run("tokens", str(files / "a.py"), "--columns", "codepoints")
    assert r.returncode == 0 and r.stderr == b""
    lines = r.stdout.decode().splitlines()
    assert lines[0] == "1:1-1:2\t@0\tname\t'x'"
    assert lines[-1] == "4:9-4:12\t@27\tstring\t\"'é'\""
    rows = json.loads(run("tokens", str(files / "a.py"), "--format", "json", "--layout",
                          "--eof").stdout)
    names = [r["name"] for r in rows]
    assert names.count("INDENT") == 1 and names[-1] == "END_OF_INPUT"
    assert rows[-2]["name"] == "DEDENT" and rows[-2]["lexeme"] == ""
    jl = run("tokens", "-g", "json", "--format", "jsonl", stdin=b'{"a": [1]}')
    assert [json.loads(x)["name"] for x in jl.stdout.splitlines()] == [
        "open.object", "string", "punct.name_separator", "open.array", "number", "close.array",
        "close.object"]
    own = run("tokens", str(files / "a.unknown"), "-g", str(files / "kv.lex"))
    assert own.returncode == 0 and own.stdout.decode().split("\t")[2] == "key"


@pytest.mark.parametrize("args,status,message", [
    (["tokens", "missing.py"], 2, "tessel: missing.py: no such file"),
    (["tokens", "a.py", "-g", "cobol"], 2, "tessel: unknown grammar 'cobol'"),
    (["tokens", "a.py", "-g", "nowhere.lex"], 2, "tessel: nowhere.lex: no such grammar file"),
    (["tokens", "a.unknown"], 2, "tessel: a.unknown: cannot tell the grammar"),
    (["tokens", "latin.py"], 2, "tessel: latin.py: not UTF-8 text (byte offset 11)"),
    (["tokens", "a.py", "--format", "xml"], 2, "invalid choice: 'xml'"),
    (["bench", "missing.py"], 2, "tessel: missing.py: no such file"),
    (["highlight", "latin.py"], 2, "tessel: latin.py: not UTF-8 text (byte offset 11)"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
])
def test_usage_errors_are_one_line(files, args, status, message):
    r = run(*args, cwd=files)
    assert r.returncode == status and r.stdout == b""
    err = r.stderr.decode()
    assert message in err and "Traceback" not in err
    if not args[0] == "frobnicate" and "invalid choice" not in message:
        assert len(err.splitlines()) == 1


def test_lex_error_is_shown_in_its_line(files):
    r = run("tokens", "bad.py", cwd=files)
    assert r.returncode == 1
    assert r.stderr.decode().splitlines() == [
        "bad.py:1:5: no rule matches in mode 'default' (entered at 1:1)", "    x = $",
        "        ^", "unexpected '$' (U+0024)"]


def test_check(files):
    grammar = os.path.join(os.path.dirname(tessel.__file__), "grammars", "python.lex")
    r = run("check", grammar)
    out = r.stdout.decode()
    rules = len(tessel.Lexer.from_file(grammar).rules)
    assert r.returncode == 0 and "%d rules, 3 modes" % rules in out
    assert "mode default: DFA" in out and "mode bracket: DFA" in out and "mode continued: DFA" in out
    # Each rule kept off the DFA says why.
    assert "lookaround, which no DFA can represent" in out
    bad = run("check", "bad.lex", cwd=files)
    assert bad.returncode == 1
    assert bad.stderr.decode().splitlines() == [
        "bad.lex:3:3: invalid regex: unterminated character class", "    c\t[x", "     \t^"]
    assert run("check", "nothere.lex", cwd=files).returncode == 2


def test_highlight_html_and_ansi(files):
    out = files / "a.html"
    r = run("highlight", "a.py", "-o", str(out), cwd=files)
    assert r.returncode == 0
    page = out.read_text(encoding="utf-8")
    assert "<html" in page or '<pre class="tessel">' in page
    assert "&#39;é&#39;" in page or "&#x27;é&#x27;" in page
    ansi = run("highlight", "a.py", "--format", "ansi", cwd=files).stdout.decode()
    assert "\x1b[" in ansi and "".join(
        __import__("re").sub(r"\x1b\[[0-9;]*m", "", ansi)) == (files / "a.py").read_text()


def test_bench_prints_rates(files):
    r = run("bench", str(files), "-g", "python", "--runs", "3")
    out = r.stdout.decode()
    assert r.returncode == 0
    assert "MB/s" in out and "tokens/s" in out and "median of 3 runs" in out
    assert "per-rule rules:" in out and "modes on the DFA:" in out


def test_closed_pipe_ends_quietly(files):
    big = files / "big.py"
    big.write_text("x = 1\n" * 200000, encoding="utf-8")
    cmd = [SCRIPT] if SCRIPT else [sys.executable, "-m", "tessel"]
    p = subprocess.Popen(cmd + ["tokens", str(big)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    p.stdout.readline()
    p.stdout.close()
    err = p.stderr.read()
    assert p.wait(timeout=120) == 0 and b"Traceback" not in err and b"Error" not in err


def test_progress_on_stderr_for_large_inputs(files):
    big = files / "big.py"
    big.write_text("x = 1\n" * 1500000, encoding="utf-8")
    r = run("bench", str(big), "--runs", "2")
    assert r.returncode == 0 and b"tessel: " in r.stderr and b"MB" in r.stderr


def test_default_lexes_the_bundled_example():
    r = run()
    assert r.returncode == 0 and b"bundled example" in r.stdout and b"INDENT" in r.stdout


def test_tokens_over_a_folder_takes_the_files_the_grammars_are_for(files):
    r = run("tokens", str(files), "--format", "jsonl")
    assert r.returncode == 1  # bad.py is among them, and stops the run with its error
    assert b"bad.py:1:5:" in r.stderr
    (files / "bad.py").unlink()
    (files / "latin.py").unlink()
    out = run("tokens", str(files), "--format", "jsonl").stdout
    rows = [json.loads(x) for x in out.splitlines()]
    assert {os.path.basename(r["file"]) for r in rows} == {"a.py"}   # a.unknown is not lexed


def test_check_says_why_a_rule_stays_off_the_dfa(files):
    (files / "look.lex").write_text("word\t[a-z]+\nnum\t[0-9]+(?=x)\n", encoding="utf-8")
    r = run("check", "look.lex", cwd=files)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.decode().splitlines()
    assert "mode default: DFA" in lines
    assert "  on the DFA: 0 word" in lines
    assert "  per-rule: 1 num: pattern has a lookaround, which no DFA can represent" in lines
    # A Unicode identifier rule is on the DFA for ASCII text only, and check says so.
    (files / "ident.lex").write_text("name\t\\p{XID_Start}\\p{XID_Continue}*\nblank\t \tskip\n",
                                     encoding="utf-8")
    lines = run("check", "ident.lex", cwd=files).stdout.decode().splitlines()
    assert "  on the DFA: 0 name, 1 blank" in lines
    assert any(line.startswith("  on the DFA: 0 name: on the DFA for ASCII text, per rule past a "
                               "non-ASCII byte (pattern's byte expansion is too large") for line in lines), lines


def test_a_bad_grammar_file_is_shown_in_its_line(files):
    r = run("tokens", "a.py", "-g", "bad.lex", cwd=files)
    assert r.returncode == 1 and r.stdout == b""
    assert r.stderr.decode().splitlines()[0] == (
        "bad.lex:3:3: invalid regex: unterminated character class")
    (files / "modes.lex").write_text("a\tx\tset=m\nb\ty\tin=m\n", encoding="utf-8")
    ok = run("tokens", "-g", "modes.lex", "--format", "jsonl", stdin=b"xy", cwd=files)
    assert [json.loads(x)["mode"] for x in ok.stdout.splitlines()] == ["default", "m"]


def test_module_and_script_agree(files):
    script = run("tokens", "a.py", "--format", "json", cwd=files)
    module = subprocess.run([sys.executable, "-m", "tessel", "tokens", "a.py", "--format",
                             "json"], capture_output=True, cwd=files, timeout=60)
    assert module.returncode == script.returncode == 0 and module.stdout == script.stdout


@pytest.mark.parametrize("unit,column", [("bytes", 8), ("codepoints", 7), ("utf16", 7)])
def test_columns_option(files, unit, column):
    (files / "u.json").write_text('["é", "😀"]', encoding="utf-8")
    rows = [json.loads(x) for x in run("tokens", "u.json", "--columns", unit, "--format",
                                       "jsonl", cwd=files).stdout.splitlines()]
    assert rows[3]["column"] == column
    assert rows[3]["end_column"] - rows[3]["column"] == {"bytes": 6, "codepoints": 3,
                                                         "utf16": 4}[unit]
