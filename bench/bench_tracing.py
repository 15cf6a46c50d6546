"""Cost of the span processor next to the OpenTelemetry SDK's own cost.

Measures, in one run, with the variants of each table interleaved round by
round (so that a change in the machine's load hits them alike):

* starting and ending spans with the SDK alone, and what a processor adds to
  that: DravikSpanProcessor inside an active run, the same rules in plain
  Python (bench/plain_span_processor.py, checked to make the same records),
  and the SDK's SimpleSpanProcessor with an in-memory exporter;
* for two kinds of span: a synthetic LLM span with 15 attributes, and the
  chat spans that the OpenTelemetry OpenAI instrumentation makes against a
  loopback server (recorded once at start, then replayed through the SDK);
* ``DravikSpanProcessor.on_end`` alone, for spans dropped early and recorded.

Times are CPU time of this process (steadier than wall time on a shared
machine), best of several rounds, in ns per span; the load average is printed
with them.  Plain script: ``python bench/bench_tracing.py [--rounds N]``.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

from dravik_observe import DravikContext
from dravik_observe.tracing.vintrel import DravikSpanProcessor

sys.path.insert(0, str(Path(__file__).parent))
from plain_span_processor import PlainSpanProcessor  # noqa: E402

LLM_ATTRIBUTES = {
    "gen_ai.system": "openai",
    "gen_ai.provider.name": "openai",
    "gen_ai.operation.name": "chat",
    "gen_ai.request.model": "gpt-4o-mini",
    "gen_ai.request.temperature": 0.2,
    "gen_ai.request.max_tokens": 512,
    "gen_ai.response.model": "gpt-4o-mini-2024-07-18",
    "gen_ai.response.id": "chatcmpl-123",
    "gen_ai.response.finish_reasons": ("stop",),
    "gen_ai.usage.input_tokens": 120,
    "gen_ai.usage.output_tokens": 48,
    "server.address": "llm.internal",
    "server.port": 443,
    "dravik.llm.cost": 0.00042,
    "dravik.llm.model": "gpt-4o-mini",
}

SPANS_PER_ROUND = 2000
# A run's records stay in memory until it is posted: 2000 of them (about 4 MB
# on 3.10) outgrow the core's cache, a run of 50 does not.
SHORT_RUN = 50
ROUNDS = 15

# A recorded span: name, kind, attributes.
Shape = Tuple[str, Any, Dict[str, Any]]


def record_openai_spans() -> List[Shape]:
    """Chat spans of the OpenAI instrumentation against a loopback server, or [] without it."""
    try:
        import openai
        from opentelemetry.instrumentation.openai_v2 import OpenAIInstrumentor
    except ImportError:
        return []
    sys.path.insert(0, str(Path(__file__).parents[1] / "tests" / "tracing"))
    from tracing_support import LoopbackServer

    server = LoopbackServer()
    thread = threading.Thread(target=server.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    instrumentor = OpenAIInstrumentor()
    instrumentor.instrument(tracer_provider=provider)
    try:
        client = openai.OpenAI(base_url=server.url + "/v1", api_key="bench", max_retries=0)
        question = [{"role": "user", "content": "Capital of France?"}]
        client.chat.completions.create(model="gpt-4o-mini", messages=question)
        client.chat.completions.create(
            model="gpt-4o", messages=[{"role": "system", "content": "Answer in one word."}] + question,
            temperature=0.2, max_tokens=64, top_p=0.9, seed=7, stop=["\n"], presence_penalty=0.1)
        client.chat.completions.create(
            model="gpt-4o-mini", messages=question, tool_choice="auto",
            tools=[{"type": "function", "function": {"name": "lookup", "parameters": {"type": "object"}}}])
    finally:
        instrumentor.uninstrument()
        server.httpd.shutdown()
        server.httpd.server_close()
    return [(s.name, s.kind, dict(s.attributes)) for s in exporter.get_finished_spans()]


def best_of(variants: Dict[str, Callable[[int], None]], rounds: int, n: int) -> Dict[str, float]:
    """Best ns per iteration of each ``body(n)``, the variants taking turns within each round."""
    best = dict.fromkeys(variants, float("inf"))
    for body in variants.values():
        body(n // 4)  # warm-up
    for _ in range(rounds):
        for name, body in variants.items():
            gc.collect()
            t0 = time.process_time_ns()
            body(n)
            best[name] = min(best[name], (time.process_time_ns() - t0) / n)
    return best


def span_loop(shapes: List[Shape], processor: Any = None, in_run: bool = False,
              run_length: int = SPANS_PER_ROUND) -> Callable[[int], None]:
    """Starts and ends spans of the given shapes in turn, on a provider with
    `processor`; the run's records are dropped every `run_length` spans, as
    when a run of that many spans is posted."""
    provider = TracerProvider()
    exporter = None
    if processor == "simple":
        exporter = InMemorySpanExporter()
        provider.add_span_processor(SimpleSpanProcessor(exporter))
    elif processor is not None:
        provider.add_span_processor(processor)
    start_span = provider.get_tracer("bench").start_span
    cycle = [shapes[i % len(shapes)] for i in range(SPANS_PER_ROUND)]

    def body(n: int) -> None:
        run = DravikContext("bench", client=None) if in_run else None
        if run is not None:
            run.__enter__()
        for i in range(n):
            name, kind, attributes = cycle[i % SPANS_PER_ROUND]
            start_span(name, kind=kind, attributes=attributes).end()
            if run is not None and (i + 1) % run_length == 0:
                run._otel_spans.clear()
        if run is not None:
            run._otel_spans.clear()  # freeing the records is part of the cost
            run.__exit__(None, None, None)
        if exporter is not None:
            exporter.clear()

    return body


def ended_span(name: str, attributes: Dict[str, Any], kind: Any = None) -> Any:
    """What the SDK hands a processor: the ReadableSpan of an ended span."""
    tracer = TracerProvider().get_tracer("bench")
    span = tracer.start_span(name, attributes=attributes) if kind is None else tracer.start_span(
        name, attributes=attributes, kind=kind)
    span.end()
    return span._readable_span()


def on_end_loop(processor: Any, span: Any, run: Any = None) -> Callable[[int], None]:
    on_end = processor.on_end

    def body(n: int) -> None:
        if run is not None:
            run.__enter__()
        for _ in range(n):
            on_end(span)
        if run is not None:
            run._otel_spans.clear()
            run.__exit__(None, None, None)

    return body


class _Empty:
    def on_end(self, span: object) -> None:
        pass


def same_records(shapes: List[Shape]) -> None:
    """The plain-Python baseline makes the records and integrations the native processor makes."""
    spans = [ended_span(name, attrs, kind) for name, kind, attrs in shapes]
    results = []
    for processor in (DravikSpanProcessor(), PlainSpanProcessor()):
        with DravikContext("check", client=None) as run:
            for span in spans:
                processor.on_end(span)
        results.append((run._otel_spans, run.integrations))
    assert results[0] == results[1], "the plain-Python baseline disagrees with the native processor"
    assert len(results[0][0]) == len(spans)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    rounds = parser.parse_args().rounds
    load_before = os.getloadavg()

    synthetic: List[Shape] = [("chat gpt-4o-mini", None, LLM_ATTRIBUTES)]
    synthetic = [(name, _internal(), attrs) for name, _, attrs in synthetic]
    replayed = record_openai_spans()
    same_records(synthetic + replayed)

    tables: List[Tuple[str, Dict[str, float]]] = []
    for label, shapes in (("synthetic 15-attribute LLM span", synthetic),
                          (f"replayed OpenAI chat spans ({len(replayed)} shapes)", replayed)):
        if not shapes:
            continue
        variants = {
            "SDK alone (no processor)": span_loop(shapes),
            "+ DravikSpanProcessor, inside a run": span_loop(shapes, DravikSpanProcessor(), in_run=True),
            f"  the same, records dropped every {SHORT_RUN} spans": span_loop(
                shapes, DravikSpanProcessor(), in_run=True, run_length=SHORT_RUN),
            "+ the same rules in plain Python, inside a run": span_loop(shapes, PlainSpanProcessor(), in_run=True),
            "+ SimpleSpanProcessor + InMemorySpanExporter": span_loop(shapes, "simple"),
        }
        tables.append((label, best_of(variants, rounds, SPANS_PER_ROUND)))

    processor = DravikSpanProcessor()
    llm_span = ended_span(*synthetic[0][::2])
    noise_span = ended_span("GET", {"http.method": "GET", "url.full": "https://cdn-lfs.huggingface.co/x/model.bin"})
    own_api_span = ended_span("POST", {"http.method": "POST", "url.full": "https://observe.example/api/v1/observe/runs/"})
    run = DravikContext("bench-on-end", client=None)
    alone = {
        "empty Python method (reference)": on_end_loop(_Empty(), llm_span),
        "no active run": on_end_loop(processor, llm_span),
        "inside a run: noise host, dropped": on_end_loop(processor, noise_span, run),
        "inside a run: own API, dropped": on_end_loop(processor, own_api_span, run),
        "inside a run: synthetic LLM span, recorded": on_end_loop(processor, llm_span, run),
    }
    if replayed:
        alone["inside a run: replayed chat span, recorded"] = on_end_loop(
            processor, ended_span(replayed[0][0], replayed[0][2], replayed[0][1]), run)
    on_end_alone = best_of(alone, rounds, 20000)
    load_after = os.getloadavg()

    print(f"Python {sys.version.split()[0]}; best of {rounds} rounds; load average "
          f"{load_before[0]:.1f} before, {load_after[0]:.1f} after")
    summary = []
    for label, results in tables:
        sdk = results["SDK alone (no processor)"]
        print()
        print(f"start + end, {label:<46}{'ns/span':>10}{'added':>10}{'of SDK':>9}")
        for name, value in results.items():
            added = value - sdk
            print(f"  {name:<56}{value:>10.0f}{added:>10.0f}{added / sdk:>9.1%}")
        native = results["+ DravikSpanProcessor, inside a run"] - sdk
        short = results[f"  the same, records dropped every {SHORT_RUN} spans"] - sdk
        plain = results["+ the same rules in plain Python, inside a run"] - sdk
        if min(native, short, plain) <= 0:
            # A baseline slower than the variants: the load changed during the run.
            summary.append(f"{label}: not measurable in this run (the SDK alone measured slower than with "
                           f"a processor: the machine's load changed)")
            continue
        summary.append(f"{label}: DravikSpanProcessor adds {native:.0f} ns = {native / sdk:.1%} of the SDK's "
                       f"{sdk:.0f} ns (aim <= 10%: {'met' if native <= 0.1 * sdk else 'missed'}); "
                       f"plain Python adds {plain:.0f} ns, {plain / native:.1f}x the native cost "
                       f"(aim >= 10x: {'met' if plain >= 10 * native else 'missed'}); in runs of {SHORT_RUN} "
                       f"spans it adds {short:.0f} ns = {short / sdk:.1%}")
    print()
    empty = on_end_alone["empty Python method (reference)"]
    print(f"{'on_end alone (call overhead included)':<58}{'ns/call':>10}{'-empty':>10}")
    for name, value in on_end_alone.items():
        print(f"  {name:<56}{value:>10.0f}{value - empty:>10.0f}")
    outside = on_end_alone["no active run"] - empty
    summary.append(f"outside a run: {outside:.0f} ns over an empty Python method "
                   f"(aim < 60 ns: {'met' if outside < 60 else 'missed'})")
    print()
    for line in summary:
        print(line)


def _internal() -> Any:
    from opentelemetry.trace import SpanKind

    return SpanKind.INTERNAL


if __name__ == "__main__":
    main()
