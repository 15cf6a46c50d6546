"""Real OpenTelemetry instrumentations feeding the processor: urllib, sqlite3 and the OpenAI client."""

from __future__ import annotations

import sqlite3
import urllib.request

import openai
import pytest
from opentelemetry.instrumentation.openai_v2 import OpenAIInstrumentor
from opentelemetry.instrumentation.sqlite3 import SQLite3Instrumentor
from opentelemetry.instrumentation.urllib import URLLibInstrumentor
from opentelemetry.sdk.trace import TracerProvider

from dravik_observe import DravikContext
from dravik_observe.tracing.vintrel import DravikSpanProcessor


@pytest.fixture(scope="module")
def instrumented():
    provider = TracerProvider()
    provider.add_span_processor(DravikSpanProcessor())
    instrumentors = [URLLibInstrumentor(), SQLite3Instrumentor(), OpenAIInstrumentor()]
    for instrumentor in instrumentors:
        instrumentor.instrument(tracer_provider=provider)
    yield provider
    for instrumentor in instrumentors:
        instrumentor.uninstrument()


def test_http_client_span_named_method_and_host(instrumented, loopback):
    with DravikContext("http") as run:
        assert urllib.request.urlopen(loopback.url + "/status?x=1", timeout=10).read() == b"ok"
    (record,) = run._otel_spans
    assert record["name"] == "GET 127.0.0.1" and record["kind"] == "chain" and record["status"] == "ok"
    assert record["attributes"]["http.status_code"] == 200
    assert record["_otel_trace_id"] and record["duration_ms"] is not None
    urllib.request.urlopen(loopback.url + "/outside", timeout=10).read()  # no run: nothing recorded
    assert len(run._otel_spans) == 1


def test_own_api_traffic_is_dropped(instrumented, loopback):
    with DravikContext("own") as run:
        urllib.request.urlopen(loopback.url + "/api/v1/observe/runs/", timeout=10).read()
        urllib.request.urlopen(loopback.url + "/api/health", timeout=10).read()
    assert run._otel_spans == []


def test_sqlite_spans_get_database_names(instrumented):
    with DravikContext("db") as run:
        connection = sqlite3.connect(":memory:")
        cursor = connection.cursor()
        cursor.execute("CREATE TABLE docs (id INTEGER, body TEXT)")
        cursor.execute("insert into docs values (1, 'a')")
        cursor.execute("  select body from docs where id = ?", (1,))
        assert cursor.fetchall() == [("a",)]
        connection.close()
    names = [r["name"] for r in run._otel_spans]
    assert names == ["sqlite CREATE", "sqlite INSERT", "sqlite SELECT"]
    assert run._otel_spans[2]["attributes"]["db.system"] == "sqlite"


def test_openai_client_call_becomes_an_llm_record(instrumented, loopback):
    client = openai.OpenAI(base_url=loopback.url + "/v1", api_key="test-key", max_retries=0)
    with DravikContext("llm") as run:
        answer = client.chat.completions.create(
            model="gpt-4o-mini", messages=[{"role": "user", "content": "Capital of France?"}])
    assert answer.choices[0].message.content == "Paris."
    (record,) = [r for r in run._otel_spans if r["kind"] == "llm"]
    attrs = record["attributes"]
    assert (attrs["model"], attrs["tokens_in"], attrs["tokens_out"], attrs["total_tokens"]) == ("gpt-4o-mini", 21, 4, 25)
    assert attrs["response_model"] == "gpt-4o-mini-2024-07-18"
    assert ("Openai", "llm") in run.integrations
    assert loopback.requests[-1][2]["model"] == "gpt-4o-mini"
