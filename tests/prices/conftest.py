"""Fixtures for the price catalogue tests: restored cost tables and made-up catalogues."""

from __future__ import annotations

import sys
import types
from typing import Any, Callable, Iterator

import pytest

from dravik_observe import cost


@pytest.fixture
def tables() -> Iterator[None]:
    """The cost tables (and their record objects) as they were, after the test."""
    saved = [(table, dict(table)) for table in (cost.MODEL_COSTS, cost.EMBEDDING_COSTS)]
    unknowns = set(cost._UNKNOWN_MODELS_LOGGED)
    yield
    for table, content in saved:
        table.clear()
        table.update(content)
    cost._UNKNOWN_MODELS_LOGGED.clear()
    cost._UNKNOWN_MODELS_LOGGED.update(unknowns)


@pytest.fixture
def gp() -> Any:
    """The catalogue's own types module."""
    pytest.importorskip("genai_prices")
    from genai_prices import types as gp_types

    return gp_types


@pytest.fixture
def fake_catalogue(monkeypatch: pytest.MonkeyPatch, gp: Any, tables: None) -> Callable[..., Any]:
    """Installs a catalogue package serving the given providers, built from the real types."""

    def install(providers: Any, version: str = "7.7.7") -> Any:
        module = types.ModuleType("genai_prices")
        module.__version__ = version  # type: ignore[attr-defined]
        snapshot = types.SimpleNamespace(providers=providers)
        module.data_snapshot = types.SimpleNamespace(get_snapshot=lambda: snapshot)  # type: ignore[attr-defined]
        monkeypatch.setitem(sys.modules, "genai_prices", module)
        return module

    return install
