"""The type stub agrees with the module and type-checks a small user of it."""

from __future__ import annotations

import ast
import inspect
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


def stub_signature(node: ast.FunctionDef) -> list:
    """(name, default) of each parameter; the default as its source text, or None."""
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + [ast.unparse(d) for d in node.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults)]


def runtime_signature(fn: object) -> list:
    return [
        (p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
        for p in inspect.signature(fn).parameters.values()
    ]


def test_stub_declares_exactly_the_module_names_with_their_parameters():
    tree = ast.parse(STUB.read_text())
    declared = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            declared[node.target.id] = node
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname is not None:  # re-exported names
                    declared[alias.asname] = node
    assert set(declared) == {n for n in vars(vintrel) if not n.startswith("__")}
    for name, node in declared.items():
        if isinstance(node, ast.FunctionDef):
            assert stub_signature(node) == runtime_signature(getattr(vintrel, name)), name
    processor = declared["DravikSpanProcessor"]
    methods = {n.name: n for n in processor.body if isinstance(n, ast.FunctionDef)}
    assert set(methods) == {"on_start", "on_end", "shutdown", "force_flush", "counters"}
    for name, node in methods.items():
        member = getattr(vintrel.DravikSpanProcessor, name)
        if isinstance(member, property):  # declared with @property, read-only
            assert [d.id for d in node.decorator_list] == ["property"] and member.fset is None, name
            member = member.fget
        assert stub_signature(node) == runtime_signature(member), name


def test_stub_type_checks(tmp_path):
    pytest.importorskip("mypy")
    program = tmp_path / "uses_vintrel.py"
    program.write_text(PROGRAM)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--ignore-missing-imports", str(program)],
        capture_output=True, text=True, timeout=300,
    )
    assert out.returncode == 0, out.stdout + out.stderr
