"""Tool-decision recording on live run contexts."""

import asyncio
import contextvars
import threading
import types

import pytest

from dravik_observe import DravikContext
from dravik_observe.instrumentors import _pelrow
from dravik_observe.instrumentors._context_var import _current_context

extract = _pelrow.extract_tool_names_from_request
record = _pelrow.record_tool_decisions


def test_module_namespace():
    assert _pelrow._current_context is _current_context
    assert _pelrow.logger.name == "dravik_observe.instrumentors._pelrow"
    assert extract.__annotations__ == {"kwargs": "dict", "return": "list[str]"}
    assert record.__annotations__ == {"tool_calls": "list[dict[str, Any]]",
                                      "available_tools": "list[str] | None", "return": "None"}


def test_offered_tool_shapes():
    fn_obj = types.SimpleNamespace(function=types.SimpleNamespace(name="lookup"))
    named = types.SimpleNamespace(name="plain")
    fn_without_name = types.SimpleNamespace(function=object(), name="fallback")

    class Tool(dict):
        def get(self, key, default=None):  # subclasses are read through their own get
            return {"name": "via-get"} if key == "function" else default

    tools = [
        {"type": "function", "function": {"name": "web_search"}},
        {"name": "calculator"},
        {"function": "not-a-dict", "name": "top-level"},
        {"type": "function"},
        fn_obj, named, fn_without_name, object(), None,
        {"name": None},
        {"function": {"name": "web_search"}},
        Tool(),
    ]
    assert extract({"tools": tools}) == ["web_search", "calculator", "top-level", "lookup", "plain",
                                         "fallback", None, "web_search", "via-get"]
    for kwargs in ({}, {"tools": None}, {"tools": []}, {"tools": "abc"}, {"tools": {"name": "x"}}):
        assert extract(kwargs) == []


def test_extract_errors_reach_the_caller():
    class Exploding:
        @property
        def function(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError):
        extract({"tools": [Exploding()]})
    with pytest.raises(TypeError) as info:
        extract(None)
    assert str(info.value) == ("Argument 'kwargs' has incorrect type (expected dict, got NoneType)")
    with pytest.raises(TypeError):
        extract({"tools": 5})  # not iterable


def test_single_and_parallel_decisions():
    offered = ["web_search", "calculator"]
    with DravikContext() as run:
        assert record([{"name": "web_search", "arguments": "{}"}], offered) is None
        record(tool_calls=[{"name": "web_search"}, {"name": "calculator"}], available_tools=None)
        record([{"name": "a"}, {"name": "b"}], [])
        record([{"name": 5}])
    got = [{k: d[k] for k in ("name", "options", "chosen", "reasoning", "instrumentation_type")}
           for d in run.decisions]
    assert got == [
        {"name": "tool_call:web_search", "options": offered, "chosen": "web_search",
         "reasoning": "Auto-detected from LLM tool_calls response", "instrumentation_type": "auto"},
        {"name": "tool_calls", "options": ["web_search", "calculator"], "chosen": "web_search, calculator",
         "reasoning": "Auto-detected 2 parallel tool calls from LLM response", "instrumentation_type": "auto"},
        {"name": "tool_calls", "options": ["a", "b"], "chosen": "a, b",
         "reasoning": "Auto-detected 2 parallel tool calls from LLM response", "instrumentation_type": "auto"},
        {"name": "tool_call:5", "options": [5], "chosen": 5,
         "reasoning": "Auto-detected from LLM tool_calls response", "instrumentation_type": "auto"},
    ]


class Recorder:
    run_id = "r"

    def __init__(self, fail=None):
        self.calls, self.fail = [], fail

    def record_decision(self, *args, **kwargs):
        self.calls.append((args, list(kwargs)))
        if self.fail:
            raise self.fail


def test_exact_call_shape_and_swallowed_failures():
    ctx = Recorder()
    token = _current_context.set(ctx)
    try:
        record([{"name": "x"}])
        assert ctx.calls == [((), ["name", "options", "chosen", "reasoning", "instrumentation_type"])]
        for bad in ([{"nam": "x"}], [{"name": "x"}, "y"], [None], [{"name": 1}, {"name": 2}]):
            record(bad)
        assert len(ctx.calls) == 1
        ctx.fail = ValueError("host failure")
        assert record([{"name": "x"}]) is None
        ctx.fail = KeyboardInterrupt()
        with pytest.raises(KeyboardInterrupt):
            record([{"name": "x"}])
    finally:
        _current_context.reset(token)


def test_nothing_recorded_without_run_or_calls():
    assert record([{"name": "x"}]) is None
    with DravikContext() as run:
        record([])
    assert run.decisions == []
    with pytest.raises(TypeError, match="'tool_calls' has incorrect type"):
        record(({"name": "x"},))
    with pytest.raises(TypeError, match="'available_tools' has incorrect type"):
        record([], ("a",))


def test_context_variable_read_errors_propagate(monkeypatch):
    class BadVar:
        def get(self):
            raise LookupError("no context")

    monkeypatch.setattr(_pelrow, "_current_context", BadVar())
    with pytest.raises(LookupError):
        record([{"name": "x"}])
    # A context variable without a default and without a value fails as its get() does.
    unset = contextvars.ContextVar("unset")
    monkeypatch.setattr(_pelrow, "_current_context", unset)
    with pytest.raises(LookupError) as caught:
        record([{"name": "x"}])
    assert caught.value.args == (unset,)


def test_context_read_through_any_object_with_get(monkeypatch):
    class Var:
        def __init__(self, value):
            self.value = value

        def get(self):
            return self.value

    with DravikContext("other") as run:
        pass
    monkeypatch.setattr(_pelrow, "_current_context", Var(run))
    record([{"name": "x"}])
    assert [d["chosen"] for d in run.decisions] == ["x"]
    monkeypatch.setattr(_pelrow, "_current_context", Var(None))
    record([{"name": "y"}])
    assert [d["chosen"] for d in run.decisions] == ["x"]


def test_decisions_land_on_their_own_run_across_threads_and_tasks():
    def worker(i, out):
        with DravikContext(f"t{i}") as run:
            for _ in range(50):
                record([{"name": f"tool{i}"}])
        out[i] = run

    runs = {}
    threads = [threading.Thread(target=worker, args=(i, runs)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, run in runs.items():
        assert [d["chosen"] for d in run.decisions] == [f"tool{i}"] * 50

    async def task(i):
        with DravikContext(f"a{i}") as run:
            for _ in range(20):
                record([{"name": f"t{i}"}, {"name": "shared"}])
                await asyncio.sleep(0)
        return run

    async def main():
        return await asyncio.gather(*(task(i) for i in range(10)))

    for i, run in enumerate(asyncio.run(main())):
        assert [d["chosen"] for d in run.decisions] == [f"t{i}, shared"] * 20


def test_odd_objects_raise_cleanly_and_nothing_is_mutated():
    class RaisingGet(dict):
        def get(self, *args):
            raise ValueError("get failed")

    class RaisingIter:
        def __iter__(self):
            yield {"name": "first"}
            raise OSError("stream broke")

    class RaisingAttr:
        def __getattr__(self, name):
            raise KeyError(name)

    for tools, exc in ((RaisingGet(name="x"), None), ([RaisingGet(name="x")], ValueError),
                       (RaisingIter(), OSError), ([RaisingAttr()], KeyError)):
        kwargs = {"tools": tools}
        if exc is None:
            assert extract(kwargs) == []
        else:
            with pytest.raises(exc):
                extract(kwargs)
    tools = [{"function": {"name": "a"}}, {"name": "b"}]
    snapshot = repr(tools)
    kwargs = {"tools": tools, "model": "m"}
    extract(kwargs)
    assert repr(tools) == snapshot and list(kwargs) == ["tools", "model"]
    calls, offered = [{"name": "a"}, {"name": "b"}], ["a", "b", "c"]
    with DravikContext() as run:
        record(calls, offered)
    assert calls == [{"name": "a"}, {"name": "b"}] and offered == ["a", "b", "c"]
    assert run.decisions[0]["chosen"] == "a, b"
