"""Every Python example in the README and docs/ runs: the blocks of one file, in order, as one
program in a fresh interpreter (so that process pools and clusters see a real __main__)."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
BLOCK = re.compile(r"^```python\n(.*?)^```", re.M | re.S)


def program(page):
    return "\n".join(BLOCK.findall(page.read_text(encoding="utf-8")))


def test_every_page_has_examples():
    missing = [p.name for p in PAGES if p.name != "cli.md" and not program(p)]
    assert missing == []


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_examples_run(page, tmp_path):
    code = program(page)
    if not code:
        pytest.skip("no Python examples in " + page.name)
    if "distributed" in code:
        pytest.importorskip("distributed")
    script = tmp_path / (page.stem.replace("-", "_") + "_examples.py")
    script.write_text(code, encoding="utf-8")
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr


def test_typed_example_runs(tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text("def f(x):\n    return [x,\n  1]\n", encoding="utf-8")
    run = subprocess.run([sys.executable, str(ROOT / "docs" / "examples" / "typed_example.py"),
                          str(sample)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    counts = dict(line.split() for line in run.stdout.splitlines())
    assert counts["INDENT"] == "1" and counts["open"] == counts["close"] == "2"
