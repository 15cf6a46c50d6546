"""Demo section: span capture on a short traced agent run.

A local OpenTelemetry tracer provider gets a ``DravikSpanProcessor``; inside a
``DravikContext`` the "agent" makes an LLM call, runs a tool through the
host's tool helpers, queries a database and makes a raw HTTP call to an LLM
provider.  The processor turns the spans into records on the run, merges the
tool span into the hand-recorded tool call, drops the provider HTTP call and
notes the integrations it saw.
"""

from __future__ import annotations

import json
import sqlite3
from typing import Any, Callable, Dict, List, Optional

from dravik_observe import DravikContext


def _instrument_sqlite(provider: Any) -> Optional[Callable[[], None]]:
    """Instrument sqlite3 when the instrumentation is installed; returns the undo, or None."""
    try:
        from opentelemetry.instrumentation.sqlite3 import SQLite3Instrumentor
    except ImportError:
        return None
    instrumentor = SQLite3Instrumentor()
    instrumentor.instrument(tracer_provider=provider)
    return instrumentor.uninstrument


def _query_documents(tracer: Any, instrumented: bool) -> List[Any]:
    connection = sqlite3.connect(":memory:")
    try:
        cursor = connection.cursor()
        cursor.execute("CREATE TABLE documents (id INTEGER, title TEXT)")
        cursor.execute("INSERT INTO documents VALUES (1, 'Refund policy'), (2, 'Shipping times')")
        statement = "SELECT title FROM documents WHERE id = ?"
        if instrumented:
            cursor.execute(statement, (1,))
        else:  # the span an instrumentation would have made
            with tracer.start_as_current_span("SELECT", attributes={"db.system": "sqlite", "db.statement": statement}):
                cursor.execute(statement, (1,))
        return cursor.fetchall()
    finally:
        connection.close()


MESSAGES = [
    {"role": "system", "content": "You are the support agent of an online shop."},
    {"role": "user", "content": "Where is order A-1042? Reply to me at dana@example.com."},
]
TOOLS = [{"type": "function", "function": {"name": "lookup_order"}},
         {"type": "function", "function": {"name": "refund_order"}}]


def _guard_and_price(report: Dict[str, Any]) -> List[Dict[str, Any]]:
    """The instrumentor's work around the model call: guard first, price after."""
    from dravik_observe.cost import estimate_cost
    from dravik_observe.instrumentors._guard import check_prompt, configure

    configure(enabled=True, server=False, action="redact")
    result = check_prompt(MESSAGES, "gpt-4o-mini", "")
    report["guard"] = result
    messages = MESSAGES if result is None or result.redacted_messages is None else result.redacted_messages
    report["sent"] = messages
    report["cost"] = estimate_cost("gpt-4o-mini-2024-07-18", 412, 37)
    return messages


def _agent_run(tracer: Any, instrumented: bool, report: Dict[str, Any]) -> DravikContext:
    from dravik_observe.instrumentors._pelrow import extract_tool_names_from_request, record_tool_decisions

    with DravikContext("support-agent") as run:
        _guard_and_price(report)
        with tracer.start_as_current_span("chat gpt-4o-mini", attributes={
            "gen_ai.operation.name": "chat",
            "gen_ai.provider.name": "openai",
            "gen_ai.request.model": "gpt-4o-mini",
            "gen_ai.response.model": "gpt-4o-mini-2024-07-18",
            "gen_ai.response.finish_reasons": ("tool_calls",),
            "gen_ai.usage.input_tokens": 412,
            "gen_ai.usage.output_tokens": 37,
            "dravik.llm.cost": report["cost"],
        }):
            # The provider SDK's own HTTP call: dropped, the LLM span says it all.
            tracer.start_span("POST", attributes={
                "http.request.method": "POST",
                "url.full": "https://api.openai.com/v1/chat/completions",
            }).end()

        # The response asked for a tool: one decision on the run.
        offered = extract_tool_names_from_request({"model": "gpt-4o-mini", "tools": TOOLS})
        record_tool_decisions([{"name": "lookup_order", "arguments": '{"order_id": "A-1042"}'}], offered)

        with run.start_tool_span("lookup_order", tracer=tracer) as span:
            result = {"order": "A-1042", "status": "shipped"}
            span.set_attribute("dravik.tool.input", json.dumps({"order_id": "A-1042"}))
            span.set_attribute("dravik.tool.output", json.dumps(result))
            span.set_attribute("dravik.orders.backend", "erp")
            run.record_tool_call("lookup_order", input_data={"order_id": "A-1042"}, output_preview=result)

        _query_documents(tracer, instrumented)
    return run


def _print_record(record: Dict[str, Any]) -> None:
    duration = "-" if record["duration_ms"] is None else f"{record['duration_ms']} ms"
    print(f"  [{record['kind']:<5}] {record['name']:<28} status={record['status']:<5} duration={duration}")
    for key, value in record["attributes"].items():
        print(f"           {key} = {value!r}")


def main() -> None:
    try:
        from opentelemetry.sdk.trace import TracerProvider
    except ImportError:
        print("Span capture needs opentelemetry-sdk (pip install 'dravik_observe[otel]').")
        return
    from dravik_observe.tracing.vintrel import DravikSpanProcessor

    provider = TracerProvider()
    provider.add_span_processor(DravikSpanProcessor())
    tracer = provider.get_tracer("dravik_observe.demo")
    undo = _instrument_sqlite(provider)
    report: Dict[str, Any] = {}
    try:
        run = _agent_run(tracer, instrumented=undo is not None, report=report)
    finally:
        if undo is not None:
            undo()
        provider.shutdown()

    print("A traced agent run: the prompt is guarded, an LLM call is made (with the")
    print("provider's HTTP call under it) and priced, the model's tool choice is")
    print("recorded, the tool runs through the tool helpers, and a database is queried.")
    print()
    guard = report["guard"]
    print(f"Guard before the call: action={guard.action!r} passed={guard.passed} violations={guard.violations}")
    print(f"  sent instead: {report['sent'][1]['content']!r}")
    print(f"Cost of the call (412 in, 37 out): {report['cost']:.6f} USD")
    for decision in run.decisions:
        print(f"Decision {decision['name']!r}: chose {decision['chosen']!r} from {decision['options']}")
    print()
    print(f"Span records captured on the run ({len(run._otel_spans)}; the provider HTTP call was dropped):")
    for record in run._otel_spans:
        _print_record(record)
    print()
    print("The hand-recorded tool call, with the tool span's attributes merged in:")
    for entry in run._spans:
        print(f"  [{entry['kind']}] {entry['name']}  input={entry['input_data']!r}")
        for key, value in entry["attributes"].items():
            print(f"           {key} = {value!r}")
    print()
    print("Integrations seen:")
    for name, category in run.integrations:
        print(f"  {name} ({category})")


if __name__ == "__main__":
    main()
