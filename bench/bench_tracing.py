"""Cost of the span processor next to the OpenTelemetry SDK's own cost.

Measures, in one run:

* starting and ending a typical LLM span (15 attributes) with the SDK alone,
  with the SDK's SimpleSpanProcessor + InMemorySpanExporter, and with
  DravikSpanProcessor inside an active run;
* ``DravikSpanProcessor.on_end`` alone for spans dropped early: no active run,
  a model-download (noise) host, the observe service's own API.

Times are CPU time of this process (steadier than wall time on a shared
machine). Prints a table of nanoseconds per span and the added cost as a ratio to the
SDK's own start-and-end cost.  Plain script: ``python bench/bench_tracing.py``.
"""

from __future__ import annotations

import gc
import sys
import time
from typing import Callable

from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

from dravik_observe import DravikContext
from dravik_observe.tracing.vintrel import DravikSpanProcessor

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
ROUNDS = 15


def per_span_ns(body: Callable[[int], None], rounds: int = ROUNDS, n: int = SPANS_PER_ROUND) -> float:
    """Best per-iteration time over several rounds of ``body(n)``."""
    best = float("inf")
    body(n // 4)  # warm-up
    for _ in range(rounds):
        gc.collect()
        t0 = time.process_time_ns()
        body(n)
        best = min(best, (time.process_time_ns() - t0) / n)
    return best


def span_loop(provider: TracerProvider, after_round: Callable[[], None] = lambda: None) -> Callable[[int], None]:
    tracer = provider.get_tracer("bench")
    start_span = tracer.start_span

    def body(n: int) -> None:
        for _ in range(n):
            start_span("chat gpt-4o-mini", attributes=LLM_ATTRIBUTES).end()
        after_round()

    return body


def ended_span(attributes: dict) -> object:
    provider = TracerProvider()
    span = provider.get_tracer("bench").start_span("span", attributes=attributes)
    span.end()
    return span._readable_span()


def on_end_loop(processor: DravikSpanProcessor, span: object) -> Callable[[int], None]:
    on_end = processor.on_end

    def body(n: int) -> None:
        for _ in range(n):
            on_end(span)

    return body


class _Empty:
    def on_end(self, span: object) -> None:
        pass


def main() -> None:
    sdk_alone = per_span_ns(span_loop(TracerProvider()))

    exporter = InMemorySpanExporter()
    simple = TracerProvider()
    simple.add_span_processor(SimpleSpanProcessor(exporter))
    with_simple = per_span_ns(span_loop(simple, exporter.clear))

    dravik = TracerProvider()
    dravik.add_span_processor(DravikSpanProcessor())
    run = DravikContext("bench", client=None)
    with run:
        with_dravik = per_span_ns(span_loop(dravik, run._otel_spans.clear))
        records = len(run._otel_spans)
    assert records == 0, records

    # on_end alone, for spans that stop early.
    processor = DravikSpanProcessor()
    llm_span = ended_span(LLM_ATTRIBUTES)
    noise_span = ended_span({"http.method": "GET", "url.full": "https://cdn-lfs.huggingface.co/x/model.bin"})
    own_api_span = ended_span({"http.method": "POST", "url.full": "https://observe.example/api/v1/observe/runs/"})
    n = 20000
    empty_call = per_span_ns(on_end_loop(_Empty(), llm_span), n=n)  # type: ignore[arg-type]
    no_run = per_span_ns(on_end_loop(processor, llm_span), n=n)
    with DravikContext("bench-drop", client=None) as drop_run:
        noise = per_span_ns(on_end_loop(processor, noise_span), n=n)
        own_api = per_span_ns(on_end_loop(processor, own_api_span), n=n)
        full = per_span_ns(on_end_loop(processor, llm_span), n=n)
        drop_run._otel_spans.clear()

    print(f"Python {sys.version.split()[0]}; best of {ROUNDS} rounds")
    print()
    print(f"{'start + end of a 15-attribute LLM span':<52}{'ns/span':>10}{'added':>10}{'ratio':>9}")
    rows = [
        ("SDK alone (no processor)", sdk_alone),
        ("SimpleSpanProcessor + InMemorySpanExporter", with_simple),
        ("DravikSpanProcessor, inside a run", with_dravik),
    ]
    for label, value in rows:
        added = value - sdk_alone
        print(f"{label:<52}{value:>10.0f}{added:>10.0f}{added / sdk_alone:>9.1%}")
    print()
    print(f"{'on_end alone (call overhead included)':<52}{'ns/call':>10}{'-empty':>10}")
    for label, value in [
        ("empty Python method (reference)", empty_call),
        ("no active run", no_run),
        ("inside a run: noise host, dropped", noise),
        ("inside a run: own API, dropped", own_api),
        ("inside a run: LLM span, recorded", full),
    ]:
        print(f"{label:<52}{value:>10.0f}{value - empty_call:>10.0f}")
    print()
    print(f"DravikSpanProcessor adds {with_dravik - sdk_alone:.0f} ns per span "
          f"({(with_dravik - sdk_alone) / sdk_alone:.1%} of the SDK's own {sdk_alone:.0f} ns); "
          f"SimpleSpanProcessor adds {with_simple - sdk_alone:.0f} ns "
          f"({(with_simple - sdk_alone) / sdk_alone:.1%}).")


if __name__ == "__main__":
    main()
