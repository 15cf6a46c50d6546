"""Integrations reported to the run: the run's own method, evaluated without entering it, counts alike.

While the run class holds the host layer's `_record_integration`, the span
capture does what its body does without a Python frame; a profile hook tells
which way was taken.  Every other run (a subclass with its own method, a
patched class or code, an instance attribute, an unusual table) has the
method called.
"""

from __future__ import annotations

import sys
from contextlib import contextmanager
from typing import Any, Iterator, List

import pytest

import dravik_observe.context as context_module
from dravik_observe import DravikContext

SPANS = [
    {"gen_ai.provider.name": "openai"},
    {"gen_ai.provider.name": "anthropic", "dravik.framework": "langchain"},
    {"gen_ai.provider.name": "openai"},
    {"db.system": "postgresql"},
]


@contextmanager
def method_calls() -> Iterator[List[str]]:
    calls: List[str] = []

    def hook(frame: Any, event: str, arg: Any) -> None:
        if event == "call" and frame.f_code.co_name == "_record_integration":
            calls.append(frame.f_code.co_filename)

    sys.setprofile(hook)
    try:
        yield calls
    finally:
        sys.setprofile(None)


def noted(self: Any, name: str, category: str) -> None:
    self.noted = (name, category)  # no globals: it runs as the class's method


class Counted(DravikContext):
    """Its own method (other code): always called."""

    def _record_integration(self, name: str, category: str) -> None:
        DravikContext._record_integration(self, name, category)


def capture(tracer: Any, run: DravikContext, spans: List[dict] = SPANS) -> List[str]:
    with run, method_calls() as calls:
        for attributes in spans:
            tracer.start_span("op", attributes=attributes).end()
    return calls


def test_the_host_method_is_evaluated_in_place_with_the_same_counts(tracer):
    own, other = DravikContext("own"), Counted("other")
    assert capture(tracer, own) == []
    assert capture(tracer, other) != []
    assert own.integrations == other.integrations and len(own.integrations) >= 3
    assert own._integration_counts() == other._integration_counts()
    assert dict(own._integration_counts())[("Openai", "llm")] == 2


def test_changed_classes_code_and_instances_have_the_method_called(tracer, monkeypatch):
    run = DravikContext("shadowed")
    seen: list = []
    run._record_integration = lambda *pair: seen.append(pair)
    capture(tracer, run)
    assert seen and run.integrations == []

    original = DravikContext._record_integration
    monkeypatch.setattr(DravikContext, "_record_integration", lambda self, *pair: seen.append(pair))
    seen.clear()
    run = DravikContext("patched class")
    capture(tracer, run)
    assert seen and run.integrations == []
    monkeypatch.setattr(DravikContext, "_record_integration", original)

    code = original.__code__
    try:
        original.__code__ = noted.__code__
        run = DravikContext("patched code")
        capture(tracer, run)
        assert run.noted and run.integrations == []
    finally:
        original.__code__ = code
    run = DravikContext("restored")
    assert capture(tracer, run) == [] and run.integrations


class CountingDict(dict):
    pass


def test_tables_and_globals_are_the_ones_the_method_would_use(tracer, monkeypatch):
    run = DravikContext("table")
    run._integrations = CountingDict()
    assert capture(tracer, run) != []  # not a plain dict: the method runs
    assert dict(run._integration_counts())[("Openai", "llm")] == 2

    # The method's global names are looked up when it runs, in place too.
    nexts: list = []
    monkeypatch.setattr(context_module, "next", lambda it: nexts.append(it) or 0, raising=False)
    run = DravikContext("globals")
    assert capture(tracer, run) == []
    assert len(nexts) == len(run.integrations) + 1  # one per report
    monkeypatch.delattr(context_module, "next")
    monkeypatch.delattr(context_module, "itertools")
    for run in (DravikContext("no itertools"), Counted("no itertools, called")):
        capture(tracer, run)  # NameError: the spans reporting one fail
        assert run.integrations == [] and [r["name"] for r in run._otel_spans] == ["pg op"]


def test_a_missing_table_fails_the_span_as_the_method_does(tracer):
    run = DravikContext("missing")
    del run._integrations
    with run:
        tracer.start_span("op", attributes={"gen_ai.provider.name": "openai"}).end()
        assert run._otel_spans == []
    with pytest.raises(AttributeError):
        run._record_integration("A", "b")


def test_counters_and_next_are_found_anew_after_changes(tracer, monkeypatch):
    import builtins
    import itertools

    key = ("Openai", "llm")
    one = [{"gen_ai.provider.name": "openai"}]
    run = DravikContext("changes")
    with run:
        for _ in range(3):
            capture(tracer, run, one)
        # The host replaces the counter, then the whole table.
        run._integrations[key] = itertools.count(100)
        capture(tracer, run, one)
        assert next(run._integrations[key]) == 101
        run._integrations = {}
        capture(tracer, run, one)
        assert next(run._integrations[key]) == 1
        # `next` rebound in the builtins: the method would call that one.
        calls: list = []
        real_next = builtins.next
        monkeypatch.setattr(builtins, "next", lambda it, *d: calls.append(it) or real_next(it, *d))
        capture(tracer, run, one)
        monkeypatch.undo()
        counted = [c for c in calls if isinstance(c, itertools.count)]
        assert counted == [run._integrations[key]]
        capture(tracer, run, one)
    assert len(counted) == 1 and next(run._integrations[key]) == 4
