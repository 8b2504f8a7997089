"""The examples and the README's snippets run as users run them: each in a fresh interpreter."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


def _run(args, **kwargs):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300,
                          cwd=ROOT, **kwargs)


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_example_runs(example):
    done = _run([str(example)])
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip()


def test_section_check_road_reports_every_extreme_of_every_section():
    done = _run([str(ROOT / "examples" / "section_check_road.py")])
    assert done.returncode == 0, done.stderr[-2000:]
    rows = re.findall(r"^\s+(\d+)\s+(\d+)\s+([\d.]+)\s+(OK|NotOK)$", done.stdout, re.M)
    assert [(s, e) for s, e, *_ in rows] == [("1", "1"), ("2", "1"), ("2", "2"), ("3", "1"),
                                              ("3", "2")]
    assert "section 2: highest check value 1.125" in done.stdout


def test_readme_snippets_run_in_order():
    text = (ROOT / "README.md").read_text()
    snippets = re.findall(r"```python\n(.*?)```", text, re.S)
    assert len(snippets) >= 5
    done = _run(["-c", "\n\n".join(snippets)])
    assert done.returncode == 0, done.stderr[-2000:]


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_readme_says_what_each_example_needs(example):
    text = (ROOT / "README.md").read_text()
    row = re.search(rf"^\| `examples/{re.escape(example.name)}` \| (.+) \|$", text, re.M)
    assert row, f"{example.name} is missing from the README's table of examples"
    # An example that imports the local worker's libraries needs their extra.
    uses_extra = re.search(r"^import openpyxl|^from openpyxl", example.read_text(), re.M)
    assert ("local-workers" in row.group(1)) == bool(uses_extra), row.group(0)
