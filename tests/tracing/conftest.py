"""Fixtures for the span-capture tests: real SDK spans, a run, loopback servers."""

from __future__ import annotations

import threading
from typing import Iterator

import pytest
from opentelemetry.sdk.trace import TracerProvider

from dravik_observe import DravikContext
from dravik_observe.tracing import vintrel as vintrel_module
from tracing_support import LoopbackServer


@pytest.fixture(scope="session")
def vintrel():
    return vintrel_module


@pytest.fixture(autouse=True)
def _no_observe_service(monkeypatch: pytest.MonkeyPatch) -> None:
    """Runs flush to nowhere: no client is configured."""
    monkeypatch.delenv("DRAVIK_OBSERVE_URL", raising=False)


@pytest.fixture
def run() -> Iterator[DravikContext]:
    with DravikContext("test-run") as ctx:
        yield ctx


@pytest.fixture
def provider() -> TracerProvider:
    tp = TracerProvider()
    tp.add_span_processor(vintrel_module.DravikSpanProcessor())
    return tp


@pytest.fixture
def tracer(provider: TracerProvider):
    return provider.get_tracer("tests")


@pytest.fixture(scope="module")
def loopback() -> Iterator[LoopbackServer]:
    server = LoopbackServer()
    thread = threading.Thread(target=server.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield server
    server.httpd.shutdown()
    server.httpd.server_close()
