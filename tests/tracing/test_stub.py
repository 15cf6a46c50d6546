"""The type stub agrees with the module and type-checks a small user of it."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import dravik_observe.tracing.vintrel as vintrel

STUB = Path(vintrel.__file__).with_name("vintrel.pyi")

PROGRAM = textwrap.dedent(
    """
    from opentelemetry.sdk.trace import TracerProvider

    from dravik_observe.tracing.vintrel import DravikSpanProcessor, _build_display_name, _derive_llm_provider

    provider = TracerProvider()
    provider.add_span_processor(DravikSpanProcessor())
    name: str = _build_display_name("GET", {"http.method": "GET"})
    provider_name: str | None = _derive_llm_provider("gpt-4o")
    flushed: bool = DravikSpanProcessor().force_flush(100)
    failed: int = DravikSpanProcessor().counters["failed"]
    """
)


def test_stub_names_every_public_and_internal_name():
    text = STUB.read_text()
    for name in vars(vintrel):
        if not name.startswith("__"):
            assert name in text, name


def test_stub_type_checks(tmp_path):
    pytest.importorskip("mypy")
    program = tmp_path / "uses_vintrel.py"
    program.write_text(PROGRAM)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--ignore-missing-imports", str(program)],
        capture_output=True, text=True, timeout=300,
    )
    assert out.returncode == 0, out.stdout + out.stderr
