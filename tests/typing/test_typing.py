"""The type stubs and annotations hold up under mypy --strict."""

import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent


def test_example_program_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         str(HERE / "example_app.py")],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_example_program_runs():
    proc = subprocess.run([sys.executable, str(HERE / "example_app.py")], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, DRAVIK_SURFACE_GATE="off"))
    assert proc.returncode == 0, proc.stderr
