"""DravikSpanProcessor on a real TracerProvider: the capture pipeline, runs per thread and task, failures."""

from __future__ import annotations

import asyncio
import inspect
import subprocess
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from opentelemetry.sdk.trace import SpanProcessor, TracerProvider
from opentelemetry.trace import Status, StatusCode

from dravik_observe import DravikContext
from tracing_support import FakeSpan


def test_class_shape(vintrel):
    cls = vintrel.DravikSpanProcessor
    assert vintrel._HAS_OTEL is True and issubclass(cls, SpanProcessor)
    assert vintrel.SpanProcessor is SpanProcessor and vintrel.ReadableSpan.__name__ == "ReadableSpan"
    assert cls.__doc__ == "Captures completed OTel spans into the active DravikContext._spans buffer."
    assert cls.__module__ == "dravik_observe.tracing.vintrel" and cls.__qualname__ == "DravikSpanProcessor"
    assert cls.on_end.__qualname__ == "DravikSpanProcessor.on_end"
    assert cls.on_end.__doc__ == "Called when a span ends. Convert and buffer it."
    assert str(inspect.signature(cls.on_start)) == "(self, span: \"'ReadableSpan'\", parent_context=None) -> 'None'"
    assert str(inspect.signature(cls.force_flush)) == "(self, timeout_millis: 'int' = 30000) -> 'bool'"
    assert vintrel.logger.name == "dravik_observe.tracing.vintrel"
    names = [n for n in vars(vintrel) if not n.startswith("__")]
    assert names[:4] == ["logger", "SpanProcessor", "ReadableSpan", "_HAS_OTEL"] and names[-1] == "DravikSpanProcessor"
    p = cls()
    assert p.on_start(None) is None and p.shutdown() is None
    assert p.force_flush() is True and p.force_flush(5) is True and p.force_flush(5.9) is True
    with pytest.raises(TypeError, match=r"Argument 'timeout_millis' has incorrect type \(expected int, got str\)"):
        p.force_flush("5")
    with pytest.raises(TypeError):
        p.on_end()


def test_llm_span_recorded_with_integrations(tracer, run):
    with tracer.start_as_current_span("chat gpt-4o", attributes={
        "gen_ai.provider.name": "openai", "gen_ai.request.model": "gpt-4o", "gen_ai.usage.input_tokens": 10,
        "gen_ai.usage.output_tokens": 2, "dravik.llm.cost": 0.5}) as span:
        span.set_status(Status(StatusCode.ERROR))
    (record,) = run._otel_spans
    assert record["kind"] == "llm" and record["status"] == "error" and record["attributes"]["cost"] == 0.5
    assert run.integrations == [("Openai", "llm")]


def test_infrastructure_spans_named_and_noise_dropped(tracer, run):
    attrs = [
        {"http.method": "GET", "url.full": "https://Files.Example.org/a"},
        {"db.system": "postgresql", "db.statement": "select 1"},
        {"rpc.system": "grpc", "rpc.service": "Greeter", "rpc.method": "SayHello"},
        {"messaging.system": "kafka", "messaging.destination.name": "orders"},
        {"http.method": "POST", "url.full": "https://api.anthropic.com/v1/messages", "gen_ai.provider.name": "anthropic"},
        {"http.method": "GET", "url.full": "https://huggingface.co/m/resolve/main/x.bin"},
        {"http.method": "POST", "http.target": "/api/v1/observe/runs/"},
    ]
    for a in attrs:
        tracer.start_span("publish" if "messaging.system" in a else "op", attributes=a).end()
    assert [r["name"] for r in run._otel_spans] == [
        "GET files.example.org", "pg SELECT", "grpc Greeter.SayHello", "kafka publish orders"]
    assert run.integrations == [("Anthropic", "llm")]  # reported before the provider call is dropped


def test_no_run_no_record(tracer, provider):
    calls = []
    tracer.start_span("x", attributes={"gen_ai.provider.name": "openai"}).end()
    for run_id in (None, ""):
        ctx = DravikContext("r", run_id="placeholder")
        ctx.run_id = run_id
        ctx._record_integration = lambda *a: calls.append(a)
        with ctx:
            tracer.start_span("x", attributes={"gen_ai.provider.name": "openai"}).end()
        assert ctx._otel_spans == []
    assert calls == []


def test_tool_span_merges_into_host_record(tracer, run):
    with run.start_tool_span("web_search", tracer=tracer) as span:
        span.set_attribute("dravik.search.results", 3)
        span.set_attribute("gen_ai.usage.input_tokens", 7)
        run.record_tool_call("web_search", input_data="q", attributes={"usage.input_tokens": 1})
    with tracer.start_as_current_span("decide", attributes={"dravik.span_type": "llm_call"}):
        pass
    (entry,) = run._spans
    assert entry["attributes"] == {"usage.input_tokens": 1, "search.results": 3}
    assert entry["_otel_span_id"] == format(span.get_span_context().span_id, "016x")
    assert run._otel_spans == []


ZERO = dict.fromkeys(["captured", "outside_run", "filtered", "merged", "failed"], 0)


def test_counters_say_what_became_of_each_span(vintrel, monkeypatch):
    processor = vintrel.DravikSpanProcessor()
    provider = TracerProvider()
    provider.add_span_processor(processor)
    tracer = provider.get_tracer("counts")
    assert processor.counters == ZERO
    tracer.start_span("outside").end()
    with DravikContext("r") as run:
        tracer.start_span("kept", attributes={"gen_ai.system": "openai"}).end()
        for url in ("https://huggingface.co/m", "https://api.openai.com/v1/chat", "https://o.example/api/health"):
            tracer.start_span("GET", attributes={"http.method": "GET", "url.full": url}).end()
        with run.start_tool_span("search", tracer=tracer):
            run.record_tool_call("search")
        monkeypatch.setattr(vintrel, "_span_to_dict", lambda span: 1 / 0)
        tracer.start_span("lost").end()
    assert processor.counters == {"captured": 1, "outside_run": 1, "filtered": 3, "merged": 1, "failed": 1}
    assert len(run._otel_spans) == 1
    # Each processor counts its own spans; the view is a snapshot that cannot be set.
    other = vintrel.DravikSpanProcessor()
    assert other.counters == ZERO
    snapshot = processor.counters
    snapshot["captured"] = 99
    assert processor.counters["captured"] == 1
    with pytest.raises(AttributeError):
        processor.counters = ZERO
    # An unbound call with a foreign self records the span and counts nothing.
    monkeypatch.undo()
    with DravikContext("r") as run:
        vintrel.DravikSpanProcessor.on_end(object(), FakeSpan())
    assert len(run._otel_spans) == 1
    with pytest.raises(TypeError, match="counters of a DravikSpanProcessor"):
        vintrel.DravikSpanProcessor.counters.fget(object())

    class Sub(vintrel.DravikSpanProcessor):
        pass

    sub = Sub()
    sub.on_end(FakeSpan())
    assert sub.counters["outside_run"] == 1


def test_merged_tool_attributes_are_redacted_with_the_runs_function(tracer):
    masked = []

    def mask(text):
        masked.append(text)
        if "boom" in text:
            raise ValueError(text)
        if "stop" in text:
            raise KeyboardInterrupt
        return f"[{len(text)} chars]"

    with DravikContext("r", content_redact_fn=mask) as run:
        with run.start_tool_span("lookup", tracer=tracer) as span:
            span.set_attribute("dravik.lookup.card", "4111 1111 1111 1111")
            span.set_attribute("dravik.lookup.hits", 3)
            span.set_attribute("gen_ai.tags", ("kept", "as is"))
            span.set_attribute("host", "not mine")
            run.record_tool_call("lookup", input_data="card 4111", attributes={"host": "host text"})
    (entry,) = run._spans
    # The host's own input was redacted once, by the host; its attribute is left alone.
    assert masked == ["card 4111", "4111 1111 1111 1111"]
    assert entry["input_data"] == "[9 chars]"
    assert entry["attributes"] == {"host": "host text", "lookup.card": "[19 chars]", "lookup.hits": 3,
                                   "tags": ("kept", "as is")}
    assert entry["_otel_span_id"] == format(span.get_span_context().span_id, "016x")

    # A failing redaction stops the merge before the value is stored, silently.
    with DravikContext("r", content_redact_fn=mask) as run:
        with run.start_tool_span("lookup", tracer=tracer) as span:
            span.set_attributes({"a": "fine", "b": "boom", "c": "later"})
            run.record_tool_call("lookup")
    (entry,) = run._spans
    assert entry["attributes"] == {"a": "[4 chars]"} and "_otel_span_id" not in entry
    with DravikContext("r", content_redact_fn=mask) as run:
        with pytest.raises(KeyboardInterrupt):
            with run.start_tool_span("lookup", tracer=tracer) as span:
                span.set_attribute("a", "stop")
                run.record_tool_call("lookup")
    assert run._spans[0]["attributes"] == {}


def test_redaction_with_the_runs_function(tracer):
    with DravikContext("r", content_redact_fn=lambda s: "[redacted]") as run:
        tracer.start_span("execute_tool t", attributes={
            "dravik.tool.name": "t", "dravik.tool.input": '["a", {"b": "c"}, 1]', "dravik.tool.output": '"out"',
            "note": "free text"}).end()
    (record,) = run._otel_spans
    assert record["input_data"] == ["[redacted]", {"b": "[redacted]"}, 1]
    assert record["output_data"] == "[redacted]" and record["attributes"]["note"] == "[redacted]"


def test_spans_land_on_the_run_of_their_thread(tracer):
    runs, barrier = {}, threading.Barrier(4)

    def work(i):
        with DravikContext(f"t{i}") as run:
            barrier.wait()
            for j in range(50):
                tracer.start_span(f"s{i}-{j}").end()
            runs[i] = run

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    tracer.start_span("outside").end()
    for i, run in runs.items():
        assert [r["name"] for r in run._otel_spans] == [f"s{i}-{j}" for j in range(50)]


def test_spans_land_on_the_run_of_their_task(tracer):
    async def task(i):
        with DravikContext(f"a{i}") as run:
            for j in range(20):
                tracer.start_span(f"a{i}-{j}").end()
                await asyncio.sleep(0)
            return run

    async def main():
        return await asyncio.gather(*(task(i) for i in range(5)))

    for i, run in enumerate(asyncio.run(main())):
        assert [r["name"] for r in run._otel_spans] == [f"a{i}-{j}" for j in range(20)]


class Odd:
    def __str__(self):
        raise ValueError("no str")

    def __eq__(self, other):
        raise ValueError("no eq")

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "span",
    [
        FakeSpan(attributes={"dravik.span_type": Odd(), "x": b"\xff"}),
        FakeSpan(attributes={"db.system": "x", "db.statement": 10**400}),
        FakeSpan(attributes={"gen_ai.system": "x", "gen_ai.usage.input_tokens": "1", "gen_ai.usage.output_tokens": 2}),
        FakeSpan(attributes={"http.method": "GET", "url.full": Odd()}),
        FakeSpan(attributes={"rpc.system": Odd(), "rpc.service": "a", "rpc.method": "b"}),
        FakeSpan(attributes=[("not", "a mapping")]),
        object(),
    ],
)
def test_bad_spans_never_escape(vintrel, run, span):
    assert vintrel.DravikSpanProcessor().on_end(span) is None
    assert run._otel_spans == []


def test_odd_values_that_convert_are_kept(vintrel, run):
    attrs = {"a": None, "b": [1, None], "c": 10**400, "d": b"x", 7: "int key", "e": Odd()}
    vintrel.DravikSpanProcessor().on_end(FakeSpan(attributes=attrs))
    (record,) = run._otel_spans
    assert list(record["attributes"]) == ["a", "b", "c", "d", 7, "e"]


def test_failures_keep_earlier_effects(vintrel, monkeypatch):
    processor = vintrel.DravikSpanProcessor()

    class Ctx:
        run_id = "r"
        _content_redact_fn = None

        def __init__(self):
            self.seen = []

        def _record_integration(self, name, category):
            self.seen.append((name, category))

    ctx = Ctx()  # no _otel_spans: the append fails after integrations were recorded
    from dravik_observe.instrumentors._context_var import _current_context

    token = _current_context.set(ctx)
    try:
        processor.on_end(FakeSpan(attributes={"gen_ai.provider.name": "openai"}))
        assert ctx.seen == [("Openai", "llm")]
        monkeypatch.setattr(vintrel, "_extract_integrations_from_attrs",
                            lambda a: [("A", "x"), ("B", "y", "z"), ("C", "w")])
        processor.on_end(FakeSpan())
        assert ctx.seen[-1] == ("A", "x")
        monkeypatch.setattr(vintrel, "_extract_integrations_from_attrs", lambda a: 5)
        processor.on_end(FakeSpan())
        monkeypatch.setattr(vintrel, "_extract_integrations_from_attrs", lambda a: [])
        monkeypatch.setattr(vintrel, "_span_to_dict", lambda span: (_ for _ in ()).throw(KeyboardInterrupt))
        with pytest.raises(KeyboardInterrupt):
            processor.on_end(FakeSpan())
    finally:
        _current_context.reset(token)


def test_rebinding_a_filter_changes_the_next_span(vintrel, tracer, run, monkeypatch):
    monkeypatch.setattr(vintrel, "_is_noisy_infra_call", lambda attrs: attrs.get("drop") == 1)
    tracer.start_span("kept", attributes={"drop": 0}).end()
    tracer.start_span("dropped", attributes={"drop": 1}).end()
    monkeypatch.setattr(vintrel, "_OTEL_KIND_MAP", {0: "agent"})
    tracer.start_span("agent").end()
    assert [(r["name"], r["kind"]) for r in run._otel_spans] == [("kept", "chain"), ("agent", "agent")]


def test_host_names_are_imported_again_at_each_span(tracer, monkeypatch):
    """The run's context variable and the status class are found at each
    span, as the import statement finds them, also after earlier spans."""
    import contextvars

    from dravik_observe.instrumentors import _context_var

    with DravikContext("first") as first:
        for _ in range(3):
            tracer.start_span("warm").end()
        other = contextvars.ContextVar("other")
        second = DravikContext("second")
        other.set(second)
        monkeypatch.setattr(_context_var, "_current_context", other)
        tracer.start_span("to the second run").end()
        # The module replaced in the module cache: its own variable is read.
        stand_in = type(sys)("stand_in")
        stand_in._current_context = contextvars.ContextVar("none", default=None)
        monkeypatch.setitem(sys.modules, "dravik_observe.instrumentors._context_var", stand_in)
        tracer.start_span("outside any run").end()
        monkeypatch.undo()
        tracer.start_span("back to the first run").end()
    assert [r["name"] for r in first._otel_spans] == ["warm"] * 3 + ["back to the first run"]
    assert [r["name"] for r in second._otel_spans] == ["to the second run"]

    # StatusCode is read from opentelemetry.trace at the span that needs it.
    import opentelemetry.trace as otel_trace

    with DravikContext("status") as run:
        span = tracer.start_span("failed")
        span.set_status(Status(StatusCode.ERROR))
        span.end()

        class Codes:
            ERROR = object()

        monkeypatch.setattr(otel_trace, "StatusCode", Codes)
        span = tracer.start_span("no longer an error")
        span.set_status(Status(StatusCode.ERROR))
        span.end()
        monkeypatch.undo()
        span = tracer.start_span("failed again")
        span.set_status(Status(StatusCode.ERROR))
        span.end()
    assert [(r["name"], r["status"]) for r in run._otel_spans] == [
        ("failed", "error"), ("no longer an error", "ok"), ("failed again", "error")]


def test_otel_spans_buffer_of_another_type(vintrel):
    class Buffer:
        def __init__(self):
            self.items = []

        def append(self, record):
            self.items.append(record)

    with DravikContext("r") as run:
        run._otel_spans = Buffer()
        vintrel.DravikSpanProcessor().on_end(FakeSpan(name="n"))
    assert [r["name"] for r in run._otel_spans.items] == ["n"]


NOOP_SCRIPT = r"""
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name == "opentelemetry" or name.startswith("opentelemetry."):
            raise ImportError("blocked: " + name)
sys.meta_path.insert(0, Block())
import inspect
from dravik_observe.tracing import vintrel
assert vintrel._HAS_OTEL is False
assert not hasattr(vintrel, "SpanProcessor") and not hasattr(vintrel, "ReadableSpan")
cls = vintrel.DravikSpanProcessor
assert cls.__mro__[1:] == (object,), cls.__mro__
assert cls.__doc__ == "No-op processor when OTel is not installed."
p = cls()
assert p.on_start("s") is None and p.on_start("s", parent_context=1) is None
assert p.on_end(object()) is None and p.shutdown() is None
assert p.force_flush() is True and p.force_flush("5") is True
assert p.counters == dict.fromkeys(["captured", "outside_run", "filtered", "merged", "failed"], 0)
assert cls.on_end.__doc__ is None and cls.on_end.__annotations__ == {}
assert str(inspect.signature(cls.force_flush)) == "(self, timeout_millis=30000)"
assert vintrel._display_name("a_b") == "A B"
print("noop ok")
"""


def test_noop_variant_without_opentelemetry():
    out = subprocess.run([sys.executable, "-c", NOOP_SCRIPT], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "noop ok"


def test_other_import_errors_fail_the_module():
    script = NOOP_SCRIPT.split("import inspect")[0].replace("ImportError", "RuntimeError") + (
        "try:\n    import dravik_observe.tracing.vintrel\nexcept RuntimeError:\n    print('failed')\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "failed", out.stderr


def test_no_leak_on_the_capture_path(tracer):
    import gc

    def rounds():
        with DravikContext("leak") as run:
            for _ in range(200):
                tracer.start_span("chat", attributes={"gen_ai.system": "openai", "dravik.deepgram.x": 1}).end()
            run._otel_spans.clear()
        for _ in range(200):
            tracer.start_span("outside").end()

    rounds()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(5):
        rounds()
    gc.collect()
    assert len(gc.get_objects()) - before < 50


def test_flush_and_shutdown_through_the_provider_leave_the_records_where_they_are(provider, tracer, run):
    """Records go straight to the run: flushing and shutting down hold back, move or drop nothing."""
    tracer.start_span("chat one", attributes={"gen_ai.request.model": "gpt-4o"}).end()
    assert provider.force_flush(timeout_millis=1000) is True
    assert [r["name"] for r in run._otel_spans] == ["chat one"]
    tracer.start_span("chat two", attributes={"gen_ai.request.model": "gpt-4o"}).end()
    assert [r["name"] for r in run._otel_spans] == ["chat one", "chat two"]
    provider.shutdown()
    assert [r["name"] for r in run._otel_spans] == ["chat one", "chat two"]


KNOWN_KEYS = [
    "dravik.span_type", "dravik.tool.name", "dravik.tool", "dravik.tool.input", "dravik.tool.output",
    "dravik.tool.status", "gen_ai.system", "gen_ai.request.model", "gen_ai.provider.name", "gen_ai.usage.input_tokens",
    "gen_ai.usage.output_tokens", "gen_ai.response.model", "gen_ai.response.finish_reasons", "dravik.llm.model",
    "dravik.llm.cost", "dravik.framework", "dravik.retrieval.source", "dravik.embedding.model",
    "dravik.guardrail.name", "dravik.moderation.flagged", "dravik.deepgram.x", "db.system", "db.statement",
    "http.method", "http.request.method", "url.full", "http.url", "http.target", "server.address", "rpc.system",
    "rpc.service", "rpc.method", "messaging.system", "messaging.destination.name",
]
VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True), st.text(max_size=12),
    st.sampled_from(["tool_call", "llm_call", "openai", "crewai", "postgresql", "GET", "https://api.openai.com/x",
                     "/api/v1/observe/", "gpt-4o", '{"a": 1}', "[1, 2]"]),
    st.binary(max_size=4), st.lists(st.integers(), max_size=3), st.tuples(st.text(max_size=3)),
)


@given(attrs=st.dictionaries(st.sampled_from(KNOWN_KEYS), VALUES, max_size=10),
       name=st.one_of(st.text(max_size=8), st.integers()), kind=st.one_of(st.integers(), st.none()))
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_any_attributes_never_escape(vintrel, attrs, name, kind):
    processor = vintrel.DravikSpanProcessor()
    with DravikContext("fuzz", content_redact_fn=lambda s: s[::-1]) as run:
        run.record_tool_call("t")
        assert processor.on_end(FakeSpan(attributes=attrs, name=name, kind=kind, start_time=1, end_time=9)) is None
    for record in run._otel_spans:
        assert len(record) == 13 and record["_from_processor"] is True
