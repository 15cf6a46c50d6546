"""The README's Python snippets run as pasted, each in a fresh interpreter."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S) if README.exists() else []


@pytest.mark.skipif(not BLOCKS, reason="no README beside the tests")
@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_snippet_runs(block):
    proc = subprocess.run([sys.executable, "-c", block], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip(), "a snippet shows what it does"
