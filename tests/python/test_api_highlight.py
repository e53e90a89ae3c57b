"""The Pygments bridge and the fallback writer: every character of the input comes out, in
the token type its kind name maps to."""

import re
import subprocess
import sys

import pytest

import tessel
from tessel.highlight import pygments_lexer, render, showing_everything, spans, token_type_name

SAMPLE = 'def f(x):\n    """doc"""\n    return x + 1  # é\n$\n'


@pytest.mark.parametrize("kind_name,ttype", [
    ("comment", "Comment"), ("keyword.true", "Keyword.Constant"), ("keyword", "Keyword"),
    ("open.array", "Punctuation"), ("string.url", "String"), ("name.key", "Name.Attribute"),
    ("ERROR", "Error"), ("whitespace", "Text.Whitespace"), ("unheard.of", "Text"),
])
def test_token_types_of_kind_names(kind_name, ttype):
    assert token_type_name(kind_name) == ttype


@pytest.mark.parametrize("name", tessel.bundled_grammars())
def test_spans_cover_the_text(name):
    lexer = tessel.Lexer.bundled(name, errors="token")
    pieces = list(spans(lexer, SAMPLE))
    assert "".join(p for _, _, p in pieces) == SAMPLE
    pieces = list(spans(showing_everything(lexer), SAMPLE))
    assert "".join(p for _, _, p in pieces) == SAMPLE
    if name == "python":
        assert ("comment", "# é") in {(k, p) for _, k, p in pieces}
    assert "".join(p for _, _, p in pieces) == SAMPLE
    assert [i for i, _, _ in pieces] == [sum(len(p) for _, _, p in pieces[:k])
                                         for k in range(len(pieces))]


def test_pygments_html_on_a_sample():
    pygments = pytest.importorskip("pygments")
    from pygments.formatters import HtmlFormatter
    from pygments.token import Name

    lexer = tessel.Lexer.bundled("python", errors="token")
    cls = pygments_lexer(lexer, kinds={"name": Name.Function})
    assert cls.filenames == ["*.py", "*.pyi", "*.pyw"]
    tokens = list(cls().get_tokens(SAMPLE))
    assert "".join(v for _, v in tokens) == SAMPLE
    html = pygments.highlight(SAMPLE, cls(), HtmlFormatter(nowrap=True))
    assert '<span class="nf">def</span>' in html       # the custom map won
    assert '<span class="s">&quot;&quot;&quot;doc&quot;&quot;&quot;</span>' in html
    assert '<span class="c"># é</span>' in html
    assert '<span class="err">$</span>' in html
    assert re.sub(r"<[^>]+>", "", html).replace("&quot;", '"') == SAMPLE


def test_fallback_writer():
    lexer = tessel.Lexer.bundled("python", errors="token")
    page = render(lexer, SAMPLE, "html")
    assert page.startswith('<pre class="tessel">')
    assert '<span class="comment"># é</span>' in page and '<span class="error">$</span>' in page
    ansi = render(lexer, SAMPLE, "ansi")
    assert re.sub(r"\x1b\[[0-9;]*m", "", ansi) == SAMPLE


def test_highlight_command_without_pygments(tmp_path):
    path = tmp_path / "s.py"
    path.write_text(SAMPLE, encoding="utf-8")
    code = ("import sys; sys.modules['pygments'] = None\n"
            "from tessel.__main__ import main\n"
            "sys.exit(main(['highlight', sys.argv[1], '--format', 'html']))\n")
    r = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith('<pre class="tessel">') and "keyword" not in r.stderr
