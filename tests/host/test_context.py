"""DravikContext: activation, the records the compiled modules write, posting."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import threading

import pytest

from dravik_observe import DravikContext, record_tool_call, start_tool_span
from dravik_observe.client import DravikObserveClient
from dravik_observe.instrumentors._context_var import _current_context


class TestActivation:
    def test_nested_runs_restore_the_outer_one(self):
        with DravikContext("outer") as outer:
            with pytest.raises(KeyError):
                with DravikContext("inner") as inner:
                    assert _current_context.get() is inner
                    raise KeyError("boom")
            assert inner.ended and not outer.ended
            assert _current_context.get() is outer
        assert _current_context.get() is None

    def test_each_thread_sees_its_own_run(self):
        barrier = threading.Barrier(2)
        seen = {}

        def work(label):
            with DravikContext(label) as ctx:
                barrier.wait()  # both runs are active at once
                seen[label] = _current_context.get() is ctx
                barrier.wait()

        threads = [threading.Thread(target=work, args=(label,)) for label in "ab"]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert seen == {"a": True, "b": True}

    def test_each_task_sees_its_own_run(self):
        inside = []

        async def work(label):
            with DravikContext(label) as ctx:
                inside.append(label)
                while len(inside) < 2:  # both runs are active at once
                    await asyncio.sleep(0)
                return _current_context.get() is ctx

        async def main():
            with DravikContext("parent") as parent:
                results = await asyncio.gather(work("a"), work("b"))
                return results, _current_context.get() is parent

        assert asyncio.run(main()) == ([True, True], True)


class TestRecords:
    def test_integrations_and_decisions(self):
        ctx = DravikContext()
        for pair in [("OpenAI", "llm"), ("Pinecone", "vector_db"), ("OpenAI", "llm"), ("OpenAI", "embedding")]:
            ctx._record_integration(*pair)
        assert ctx.integrations == [("OpenAI", "llm"), ("Pinecone", "vector_db"), ("OpenAI", "embedding")]
        assert ctx.to_payload()["integrations"][0] == {"name": "OpenAI", "category": "llm", "count": 2}

        offered = ["web_search", "calculator"]
        ctx.record_decision(name="tool_call:web_search", options=offered, chosen="web_search",
                            reasoning="Auto-detected", instrumentation_type="auto")
        offered.append("later")
        assert ctx.decisions[0]["options"] == ["web_search", "calculator"]
        assert ctx.decisions[0]["instrumentation_type"] == "auto"

    def test_tool_call_entry_is_redacted_and_owns_its_attributes(self):
        attributes = {"url": "https://example.test"}
        with DravikContext(content_redact_fn=lambda s: s.replace("secret", "[X]")) as ctx:
            entry = record_tool_call("lookup", input_data={"q": "secret plan", "n": 3, "tags": ["secret"]},
                                     output_preview="the secret", attributes=attributes)
        entry["attributes"]["merged"] = 1  # the span processor merges in place

        assert ctx._spans == [entry] and (entry["kind"], entry["name"]) == ("tool", "lookup")
        assert entry["input_data"] == {"q": "[X] plan", "n": 3, "tags": ["[X]"]}
        assert entry["output_preview"] == "the [X]"
        assert attributes == {"url": "https://example.test"}

    def test_helpers_without_a_run_do_nothing(self):
        assert record_tool_call("lookup") is None
        with start_tool_span("lookup") as span:
            assert span is None

    def test_tool_span_and_entry_leave_the_two_traces(self):
        sdk_trace = pytest.importorskip("opentelemetry.sdk.trace")
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor
        from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

        exporter = InMemorySpanExporter()
        provider = sdk_trace.TracerProvider()
        provider.add_span_processor(SimpleSpanProcessor(exporter))

        with DravikContext() as ctx:
            with start_tool_span("web_search", tool_type="api", tracer=provider.get_tracer("t")) as span:
                span.set_attribute("dravik.firecrawl.scrape_id", "s1")
                record_tool_call("web_search", tool_type="api")

        (finished,) = exporter.get_finished_spans()
        assert finished.name == "execute_tool web_search"
        assert dict(finished.attributes) == {
            "dravik.span_type": "tool_call", "dravik.tool": "web_search",
            "dravik.tool.type": "api", "dravik.firecrawl.scrape_id": "s1",
        }
        assert [(e["kind"], e["name"], e["attributes"]) for e in ctx._spans] == [("tool", "web_search", {})]


    def test_tool_span_on_the_global_tracer_provider_is_merged(self):
        """Without a tracer the kit's own tracer of the process-wide provider is used (a child
        interpreter: the global provider can be set only once)."""
        code = """
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
from dravik_observe import DravikContext, current_context, record_tool_call, start_tool_span
from dravik_observe.tracing.vintrel import DravikSpanProcessor
provider = TracerProvider()
provider.add_span_processor(DravikSpanProcessor())
trace.set_tracer_provider(provider)
with DravikContext("global") as ctx:
    assert current_context() is ctx and repr(ctx) == f"DravikContext(name='global', run_id={ctx.run_id!r})"
    with start_tool_span("web_search") as span:
        assert span.instrumentation_scope.name == "dravik_observe"
        span.set_attribute("dravik.firecrawl.scrape_id", "s1")
        record_tool_call("web_search")
assert current_context() is None
assert ctx._spans[0]["attributes"] == {"firecrawl.scrape_id": "s1"}, ctx._spans
print("ok")
"""
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                              env={k: v for k, v in os.environ.items() if k != "DRAVIK_OBSERVE_URL"})
        assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


class TestFlush:
    def test_run_is_posted_on_exit(self, observe_server):
        DravikObserveClient.configure(base_url=observe_server.url)
        with DravikContext("demo", run_id="run-1") as ctx:
            ctx._otel_spans.append({"name": "chat gpt-4o"})
            ctx.record_tool_call("lookup", attributes={"obj": object()})  # not JSON: sent as text
            ctx._governance_blocked, ctx._governance_reason = True, "policy"

        (request,) = observe_server.requests
        body = request["json"]
        assert request["path"] == "/api/v1/observe/runs/"
        assert (body["run_id"], body["name"], body["otel_spans"]) == ("run-1", "demo", [{"name": "chat gpt-4o"}])
        assert body["spans"][0]["name"] == "lookup"
        assert body["governance"] == {"blocked": True, "reason": "policy"}

    def test_post_failure_never_escapes_exit(self, observe_server):
        observe_server.status = 500
        DravikObserveClient.configure(base_url=observe_server.url)
        with DravikContext(client=DravikObserveClient()) as ctx:
            pass
        assert len(observe_server.requests) == 1 and ctx.ended
